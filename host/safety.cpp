#include "safety.h"

#include <comcat.h>
#include <objsafe.h>
#include <ocidl.h>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/com/text.h"

namespace host {
namespace {

const CATID kSafeForScripting = {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
const CATID kSafeForInitializing = {0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};

// The object agrees to be driven by untrusted script (through IDispatch) and fed
// untrusted data (through its property bag loader).
SafetyVerdict AskObject(IObjectSafety* safety) {
  struct Need {
    const IID* iid;
    DWORD option;
    const wchar_t* what;
  } needs[] = {{&IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER, L"scripting"},
               {&IID_IPersistPropertyBag, INTERFACESAFE_FOR_UNTRUSTED_DATA, L"initialising"}};
  for (const auto& n : needs) {
    DWORD supported = 0, enabled = 0;
    HRESULT hr = safety->GetInterfaceSafetyOptions(*n.iid, &supported, &enabled);
    if (SUCCEEDED(hr) && (supported & n.option))
      hr = safety->SetInterfaceSafetyOptions(*n.iid, n.option, n.option);
    else if (SUCCEEDED(hr))
      hr = E_FAIL;
    if (FAILED(hr))
      return {false, std::wstring(L"the control does not agree to be safe for ") + n.what + L" (" +
                         com::StatusText(hr) + L")"};
  }
  return {true, {}};
}

}  // namespace

SafetyVerdict CheckSafety(REFCLSID clsid, IUnknown* object) {
  com::ComPtr<IObjectSafety> safety;
  if (object && SUCCEEDED(object->QueryInterface(IID_IObjectSafety, safety.ReceiveVoid())) && safety)
    return AskObject(safety.Get());

  com::ComPtr<ICatInformation> categories;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                categories.ReceiveVoid());
  if (FAILED(hr)) return {false, L"the component category manager is not available (" + com::StatusText(hr) + L")"};
  CATID script[] = {kSafeForScripting}, init[] = {kSafeForInitializing};
  // No required categories: 0 with no list (Wine refuses a null list even with -1).
  hr = categories->IsClassOfCategories(clsid, 1, script, 0, nullptr);
  if (hr != S_OK) return {false, L"the class is not marked safe for scripting"};
  hr = categories->IsClassOfCategories(clsid, 1, init, 0, nullptr);
  if (hr != S_OK) return {false, L"the class is not marked safe for initialising"};
  return {true, {}};
}

}  // namespace host
