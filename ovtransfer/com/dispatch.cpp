#include "dispatch.h"

#include "module_lock.h"
#include "result.h"
#include "status.h"

namespace com {

HRESULT LoadModuleTypeLib(ITypeLib** out) {
  static std::once_flag once;
  static ITypeLib* lib = nullptr;  // kept for the life of the process
  static HRESULT status = E_FAIL;
  std::call_once(once, [] {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
      status = LastFailure();  // a cut path sets no error on older systems
      return;
    }
    status = LoadTypeLibEx(path, REGKIND_NONE, &lib);
  });
  if (!out) return E_POINTER;
  *out = lib;
  if (lib) lib->AddRef();
  return lib ? S_OK : status;
}

HRESULT CTypeInfoHolder::GetTypeInfo(ITypeInfo** out) {
  std::call_once(once_, [this] {
    ComPtr<ITypeLib> lib;
    load_status_ = LoadModuleTypeLib(lib.Receive());
    if (SUCCEEDED(load_status_)) load_status_ = lib->GetTypeInfoOfGuid(iid_, info_.Receive());
  });
  *out = info_.Get();
  if (*out) (*out)->AddRef();
  return *out ? S_OK : load_status_;
}

HRESULT CTypeInfoHolder::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) {
  ComPtr<ITypeInfo> info;
  RETURN_IF_FAILED(GetTypeInfo(info.Receive()));
  return info->GetIDsOfNames(names, count, ids);
}

HRESULT CTypeInfoHolder::Invoke(IDispatch* self, DISPID id, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO* excep, UINT* arg_err) {
  ComPtr<ITypeInfo> info;
  RETURN_IF_FAILED(GetTypeInfo(info.Receive()));
  return DispInvoke(self, info.Get(), id, flags, params, result, excep, arg_err);
}

}  // namespace com
