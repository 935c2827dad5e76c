#include "registration.h"

#include <comcat.h>
#include <objsafe.h>

#include <string>
#include <vector>

#include "../com/ptr.h"
#include "../com/registry.h"
#include "../com/result.h"
#include "ovtransfer_idl.h"

namespace registration {
namespace {

using com::RegEntry;

constexpr wchar_t kAppId[] = L"{2F1E34C6-32EC-46DC-95BE-AFFA3B5B2724}";
constexpr wchar_t kClassKey[] = L"CLSID\\{33CA74CD-E214-41d1-9E2D-507E7C17079E}";
constexpr wchar_t kProgId[] = L"ovtransfer.OvTransferControl.1";
constexpr wchar_t kVersionIndependentProgId[] = L"ovtransfer.OvTransferControl";
// recompose on resize | cannot link inside | inside-out | activate when visible | set client site first
constexpr DWORD kMiscStatus = 0x20191;

const std::vector<RegEntry> kAppIdEntries = {
    {L"AppID\\%APPID%", nullptr, L"ovtransfer"},
    {L"AppID\\ovtransfer.dll", L"AppID", L"%APPID%"},
};

const std::vector<RegEntry> kClassEntries = {
    {L"ovtransfer.OvTransferControl.1", nullptr, L"Ov Transfer Class"},
    {L"ovtransfer.OvTransferControl.1\\CLSID", nullptr, L"{33CA74CD-E214-41d1-9E2D-507E7C17079E}"},
    {L"ovtransfer.OvTransferControl", nullptr, L"Ov Transfer Class"},
    {L"ovtransfer.OvTransferControl\\CLSID", nullptr, L"{33CA74CD-E214-41d1-9E2D-507E7C17079E}"},
    {L"ovtransfer.OvTransferControl\\CurVer", nullptr, L"ovtransfer.OvTransferControl.1"},
    {L"%CLASS%", nullptr, L"Ov Transfer Class"},
    {L"%CLASS%", L"AppID", L"%APPID%"},
    {L"%CLASS%\\ProgID", nullptr, L"ovtransfer.OvTransferControl.1"},
    {L"%CLASS%\\VersionIndependentProgID", nullptr, L"ovtransfer.OvTransferControl"},
    {L"%CLASS%\\Programmable", nullptr, nullptr},
    {L"%CLASS%\\InprocServer32", nullptr, L"%MODULE%"},
    {L"%CLASS%\\InprocServer32", L"ThreadingModel", L"Apartment"},
    {L"%CLASS%\\Control", nullptr, nullptr},
    {L"%CLASS%\\ToolboxBitmap32", nullptr, L"%MODULE%, 102"},
    {L"%CLASS%\\MiscStatus", nullptr, L"0"},
    {L"%CLASS%\\MiscStatus\\1", nullptr, L"%OLEMISC%"},
    {L"%CLASS%\\TypeLib", nullptr, L"{4DE7C373-9926-4fa2-AAD2-80E6073E3EBE}"},
    {L"%CLASS%\\Version", nullptr, L"1.0"},
};

CATID kCategories[] = {CATID_SafeForScripting, CATID_SafeForInitializing};

com::Replacements ReplacementsFor(HMODULE module) {
  return {{L"MODULE", com::ModulePath(module)},
          {L"APPID", kAppId},
          {L"OLEMISC", std::to_wstring(kMiscStatus)},
          {L"CLASS", kClassKey}};
}

HRESULT WithCategoryManager(HRESULT (*use)(ICatRegister*)) {
  com::ComPtr<ICatRegister> manager;
  RETURN_IF_FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                    manager.ReceiveVoid()));
  return use(manager.Get());
}

HRESULT LoadOwnTypeLib(HMODULE module, ITypeLib** lib) {
  return LoadTypeLibEx(com::ModulePath(module).c_str(), REGKIND_NONE, lib);
}

HRESULT RegisterTypeLibOf(HMODULE module) {
  com::ComPtr<ITypeLib> lib;
  RETURN_IF_FAILED(LoadOwnTypeLib(module, lib.Receive()));
  std::wstring path = com::ModulePath(module);
  std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
  if (folder.size() > 3) folder.pop_back();  // "C:\dir\" -> "C:\dir", a root keeps its backslash
  return RegisterTypeLib(lib.Get(), const_cast<OLECHAR*>(path.c_str()), const_cast<OLECHAR*>(folder.c_str()));
}

HRESULT UnregisterTypeLibOf(HMODULE module) {
  com::ComPtr<ITypeLib> lib;
  RETURN_IF_FAILED(LoadOwnTypeLib(module, lib.Receive()));
  TLIBATTR* attr = nullptr;
  RETURN_IF_FAILED(lib->GetLibAttr(&attr));
  const HRESULT hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
  lib->ReleaseTLibAttr(attr);
  return hr;
}

// Registration runs in the system default locale, whatever the caller's thread uses.
class SystemLocaleScope {
 public:
  SystemLocaleScope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
  ~SystemLocaleScope() { SetThreadLocale(saved_); }

 private:
  LCID saved_;
};

}  // namespace

HRESULT RegisterServer(HMODULE module) {
  SystemLocaleScope locale;
  const com::Replacements replacements = ReplacementsFor(module);
  RETURN_IF_FAILED(com::WriteEntries(HKEY_CLASSES_ROOT, kAppIdEntries, replacements));
  // The class key is written anew, so nothing of an older registration survives below it.
  RETURN_IF_FAILED(com::DeleteTree(HKEY_CLASSES_ROOT, kClassKey));
  RETURN_IF_FAILED(com::WriteEntries(HKEY_CLASSES_ROOT, kClassEntries, replacements));
  RETURN_IF_FAILED(WithCategoryManager([](ICatRegister* m) {
    return m->RegisterClassImplCategories(CLSID_OvTransferControl, ARRAYSIZE(kCategories), kCategories);
  }));
  return RegisterTypeLibOf(module);
}

HRESULT UnregisterServer(HMODULE module) {
  SystemLocaleScope locale;
  RETURN_IF_FAILED(WithCategoryManager([](ICatRegister* m) {
    return m->UnRegisterClassImplCategories(CLSID_OvTransferControl, ARRAYSIZE(kCategories), kCategories);
  }));
  for (const wchar_t* key : {kProgId, kVersionIndependentProgId, kClassKey})
    RETURN_IF_FAILED(com::DeleteTree(HKEY_CLASSES_ROOT, key));
  RETURN_IF_FAILED(UnregisterTypeLibOf(module));
  for (const wchar_t* key : {L"AppID\\{2F1E34C6-32EC-46DC-95BE-AFFA3B5B2724}", L"AppID\\ovtransfer.dll"})
    RETURN_IF_FAILED(com::DeleteTree(HKEY_CLASSES_ROOT, key));
  return S_OK;
}

}  // namespace registration
