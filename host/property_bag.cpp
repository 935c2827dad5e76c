#include "property_bag.h"

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/com/result.h"
#include "ovtransfer/com/text.h"

namespace host {

HRESULT CPropertyBag::Create(const std::vector<PageParam>& params, IPropertyBag** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto* bag = new (std::nothrow) CPropertyBag(nullptr);
  if (!bag) return E_OUTOFMEMORY;
  bag->params_ = params;
  bag->Inner()->AddRef();
  HRESULT hr = bag->Inner()->QueryInterface(IID_IPropertyBag, reinterpret_cast<void**>(out));
  bag->Inner()->Release();
  return hr;
}

void* CPropertyBag::FindInterface(REFIID iid) {
  static const com::QiEntry<CPropertyBag> table[] = {COM_QI(CPropertyBag, IPropertyBag)};
  return com::FindInTable(this, table, iid);
}

PageParam* CPropertyBag::Find(LPCOLESTR name) {
  for (auto& p : params_)  // the first of a repeated name wins, as on a page
    if (com::SameText(p.name, name)) return &p;
  return nullptr;
}

STDMETHODIMP CPropertyBag::Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) {
  if (!name || !value) return E_POINTER;
  const PageParam* p = Find(name);
  if (!p) return E_INVALIDARG;
  VARTYPE wanted = value->vt;
  com::UniqueVariant owned;
  VARIANT& text = *owned.Receive();
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocStringLen(p->value.data(), static_cast<UINT>(p->value.size()));
  if (!text.bstrVal) return E_OUTOFMEMORY;
  if (wanted == VT_EMPTY || wanted == VT_BSTR || wanted == VT_VARIANT) {
    com::MoveInto(owned, value);  // the bag hands its copy over
    return S_OK;
  }
  com::UniqueVariant converted;
  // Page text is written for any reader: "1.5" means the same whatever the user's locale.
  HRESULT hr = VariantChangeTypeEx(converted.Receive(), &text,
                                   MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT),
                                   VARIANT_ALPHABOOL, wanted);
  if (FAILED(hr)) {
    if (log) {
      EXCEPINFO info = {};
      info.scode = hr;
      info.bstrSource = SysAllocString(L"ovhost");
      std::wstring message = L"PARAM \"" + p->name + L"\" has a value of the wrong type: \"" + p->value + L"\"";
      info.bstrDescription = SysAllocString(message.c_str());
      log->AddError(name, &info);
      SysFreeString(info.bstrSource);
      SysFreeString(info.bstrDescription);
    }
    return hr;
  }
  com::MoveInto(converted, value);
  return S_OK;
}

STDMETHODIMP CPropertyBag::Write(LPCOLESTR name, VARIANT* value) {
  if (!name || !value) return E_POINTER;
  com::UniqueVariant text;
  RETURN_IF_FAILED(VariantChangeTypeEx(text.Receive(), value,
                                       MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT),
                                       VARIANT_ALPHABOOL, VT_BSTR));
  std::wstring s = com::BstrText(text.Get().bstrVal);
  if (PageParam* p = Find(name)) p->value = std::move(s);
  else params_.push_back({name, std::move(s)});
  return S_OK;
}

}  // namespace host
