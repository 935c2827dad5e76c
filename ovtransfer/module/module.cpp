// The in-process server's entry point and exports.
#include <windows.h>

#include "../com/factory.h"
#include "../com/module_lock.h"
#include "../com/object.h"
#include "../control/ov_transfer_control.h"
#include "ovtransfer_idl.h"
#include "registration.h"

namespace {

// The module object of the component: its class factory and registration.
class COvTransferModule {
 public:
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    static com::CClassFactory factory(&com::CreateInstance<COvTransferControl>);  // made at the first request
    return com::GetCachedFactory(factory, CLSID_OvTransferControl, clsid, iid, out);
  }
  HRESULT CanUnloadNow() const { return com::ModuleLockCount() == 0 ? S_OK : S_FALSE; }
};

COvTransferModule g_module;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, void*) {
  com::SetThisModule(instance);
  return TRUE;
}

STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) { return g_module.GetClassObject(clsid, iid, out); }

STDAPI DllRegisterServer() { return registration::RegisterServer(com::ThisModule()); }

STDAPI DllUnregisterServer() { return registration::UnregisterServer(com::ThisModule()); }
