// A small scriptable object registered in the test process only (no registry entries, so no
// safe categories): how it answers IObjectSafety and whether it takes PARAMs is chosen per test.
#pragma once
#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <string>

#include "ovtransfer/com/factory.h"
#include "ovtransfer/com/object.h"
#include "ovtransfer/com/ptr.h"

namespace fake {

enum class Safety { kNone, kAgrees, kRefuses };

struct Behaviour {
  Safety safety = Safety::kNone;
  bool takes_params = true;
};

// {5B0C2A61-7E39-4C55-9A1D-3F08E6C4B7A2}
inline const CLSID kClsid = {0x5b0c2a61, 0x7e39, 0x4c55, {0x9a, 0x1d, 0x3f, 0x08, 0xe6, 0xc4, 0xb7, 0xa2}};

// Members for script: Label (string property, PARAM "Label"), Rate (number, PARAM "Rate"),
// twice(n).
class CFakeControl : public com::CComBase, public IDispatch, public IObjectSafety, public IPersistPropertyBag {
 public:
  explicit CFakeControl(IUnknown* outer) : CComBase(outer) {}
  static Behaviour behaviour;

  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override { *t = nullptr; return DISP_E_BADINDEX; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    std::wstring n = names[0];
    *ids = n == L"Label" ? 1 : n == L"Rate" ? 2 : n == L"twice" ? 3 : DISPID_UNKNOWN;
    return *ids == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT* r, EXCEPINFO*, UINT*) override {
    if (r) VariantInit(r);
    if (id == 1 && (flags & DISPATCH_PROPERTYGET) && r) {
      r->vt = VT_BSTR;
      r->bstrVal = SysAllocString(label_.c_str());
      return S_OK;
    }
    if (id == 2 && (flags & DISPATCH_PROPERTYGET) && r) {
      r->vt = VT_I4;
      r->lVal = rate_;
      return S_OK;
    }
    if (id == 3 && (flags & DISPATCH_METHOD) && p && p->cArgs == 1) {
      VARIANT n;
      VariantInit(&n);
      if (FAILED(VariantChangeType(&n, &p->rgvarg[0], 0, VT_I4))) return DISP_E_TYPEMISMATCH;
      if (r) {
        r->vt = VT_I4;
        r->lVal = n.lVal * 2;
      }
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  STDMETHODIMP GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) override {
    *supported = behaviour.safety == Safety::kAgrees ? INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA : 0;
    *enabled = 0;
    return S_OK;
  }
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID, DWORD, DWORD) override {
    return behaviour.safety == Safety::kAgrees ? S_OK : E_FAIL;
  }

  STDMETHODIMP GetClassID(CLSID* id) override { *id = kClsid; return S_OK; }
  STDMETHODIMP InitNew() override { return S_OK; }
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override {
    com::UniqueVariant v;
    if (SUCCEEDED(bag->Read(L"Label", v.Receive(), log)) && v.Get().vt == VT_BSTR) label_ = v.Get().bstrVal;
    v.Receive()->vt = VT_I4;
    if (SUCCEEDED(bag->Read(L"Rate", v.Address(), log)) && v.Get().vt == VT_I4) rate_ = v.Get().lVal;
    return S_OK;
  }
  STDMETHODIMP Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

 protected:
  void* FindInterface(REFIID iid) override {
    if (IsEqualIID(iid, IID_IDispatch)) return static_cast<IDispatch*>(this);
    if (IsEqualIID(iid, IID_IObjectSafety) && behaviour.safety != Safety::kNone)
      return static_cast<IObjectSafety*>(this);
    if ((IsEqualIID(iid, IID_IPersistPropertyBag) || IsEqualIID(iid, IID_IPersist)) && behaviour.takes_params)
      return static_cast<IPersistPropertyBag*>(this);
    return nullptr;
  }

 private:
  std::wstring label_ = L"default";
  LONG rate_ = 0;
};

inline Behaviour CFakeControl::behaviour;

// Registers the class for this apartment while alive.
class Registration {
 public:
  explicit Registration(Behaviour b) {
    CFakeControl::behaviour = b;
    factory_ = new com::CClassFactory(&com::CreateInstance<CFakeControl>);
    CoRegisterClassObject(kClsid, factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  }
  ~Registration() {
    CoRevokeClassObject(cookie_);
    delete factory_;
  }

 private:
  com::CClassFactory* factory_ = nullptr;
  DWORD cookie_ = 0;
};

}  // namespace fake
