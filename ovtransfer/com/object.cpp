#include "object.h"

namespace com {

CComBase::CComBase(IUnknown* outer) : inner_(this), outer_(outer ? outer : &inner_) { LockModule(); }

CComBase::~CComBase() { UnlockModule(); }

STDMETHODIMP CComBase::InnerUnknown::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  CComBase* base = self();
  void* found = IsEqualIID(iid, IID_IUnknown) ? static_cast<IUnknown*>(this) : base->FindInterface(iid);
  *out = found;
  if (!found) return E_NOINTERFACE;
  static_cast<IUnknown*>(found)->AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CComBase::InnerUnknown::AddRef() { return InterlockedIncrement(&self()->refs_); }

STDMETHODIMP_(ULONG) CComBase::InnerUnknown::Release() {
  CComBase* base = self();
  LONG left = InterlockedDecrement(&base->refs_);
  if (left == 0) {
    // Keep the count off zero while FinalRelease runs, so a QI/Release pair inside it
    // cannot delete the object a second time.
    base->refs_ = 1 << 24;
    base->FinalRelease();
    delete base;
  }
  return static_cast<ULONG>(left);
}

}  // namespace com
