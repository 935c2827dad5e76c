// The engine's in-process server: one class, created per upload task.
#include <winsock2.h>
#include <windows.h>

#include "../../ovtransfer/com/factory.h"
#include "../../ovtransfer/com/module_lock.h"
#include "../../ovtransfer/com/registry.h"
#include "../ovres/component_classes.h"
#include "engine_object.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, void*) {
  com::SetThisModule(instance);
  return TRUE;
}

STDAPI DllCanUnloadNow() { return com::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  static com::CClassFactory factory(&com::CreateInstance<ovengine::CTransferEngine>);
  return com::GetCachedFactory(factory, CLSID_OvTransferEngine, clsid, iid, out);
}

STDAPI DllRegisterServer() {
  return com::RegisterInprocClass(CLSID_OvTransferEngine, L"Ov Transfer Engine", com::ThisModule());
}

STDAPI DllUnregisterServer() { return com::UnregisterInprocClass(CLSID_OvTransferEngine); }
