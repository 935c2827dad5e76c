#include "factory.h"

#include "module_lock.h"

namespace com {

STDMETHODIMP CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() {
  LONG refs = InterlockedIncrement(&refs_);
  if (refs == 2) LockModule();  // first client reference
  return static_cast<ULONG>(refs);
}

STDMETHODIMP_(ULONG) CClassFactory::Release() {
  LONG refs = InterlockedDecrement(&refs_);
  if (refs == 1) UnlockModule();  // last client reference gone
  return static_cast<ULONG>(refs);
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  return create_(outer, iid, out);
}

STDMETHODIMP CClassFactory::LockServer(BOOL lock) {
  if (lock)
    LockModule();
  else
    UnlockModule();
  return S_OK;
}

HRESULT GetCachedFactory(CClassFactory& factory, REFCLSID served, REFCLSID asked, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(served, asked)) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, out);
}

}  // namespace com
