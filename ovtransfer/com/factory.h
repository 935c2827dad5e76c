// A class factory that the module creates at the first request and keeps. References that
// clients hold on it, like LockServer, keep the module loaded.
#pragma once
#include <windows.h>
#include <unknwn.h>

namespace com {

using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

class CClassFactory final : public IClassFactory {
 public:
  explicit CClassFactory(CreateFunction create) : create_(create) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  CreateFunction create_;
  LONG refs_ = 1;  // the module's own, never released
};

// DllGetClassObject for a module with one class: the cached factory for clsid, or
// CLASS_E_CLASSNOTAVAILABLE.
HRESULT GetCachedFactory(CClassFactory& factory, REFCLSID served, REFCLSID asked, REFIID iid, void** out);

}  // namespace com
