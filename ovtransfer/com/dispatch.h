// IDispatch answered from the type library embedded in this module (resource TYPELIB 1).
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <mutex>

#include "ptr.h"

namespace com {

// The module's own type library, loaded once and kept.
HRESULT LoadModuleTypeLib(ITypeLib** out);

class CTypeInfoHolder {
 public:
  explicit CTypeInfoHolder(const IID& iid) : iid_(iid) {}
  HRESULT GetTypeInfo(ITypeInfo** out);
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids);
  HRESULT Invoke(IDispatch* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* arg_err);

 private:
  const IID& iid_;
  std::once_flag once_;
  ComPtr<ITypeInfo> info_;
  HRESULT load_status_ = E_FAIL;
};

// The four IDispatch methods of a dual interface, for a class body; holder is a CTypeInfoHolder.
#define COM_DISPATCH_FROM_TYPELIB(holder, Iface)                                                    \
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {                                            \
    if (!count) return E_POINTER;                                                                   \
    *count = 1;                                                                                     \
    return S_OK;                                                                                    \
  }                                                                                                 \
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {                           \
    if (!out) return E_POINTER;                                                                     \
    *out = nullptr;                                                                                 \
    return index == 0 ? holder.GetTypeInfo(out) : DISP_E_BADINDEX;                                  \
  }                                                                                                 \
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {    \
    return holder.GetIDsOfNames(names, count, ids);                                                 \
  }                                                                                                 \
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,    \
                      EXCEPINFO* excep, UINT* arg_err) override {                                   \
    return holder.Invoke(static_cast<Iface*>(this), id, flags, params, result, excep, arg_err);     \
  }

}  // namespace com
