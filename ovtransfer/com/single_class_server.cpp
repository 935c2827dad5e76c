#include "single_class_server.h"

#include "module_lock.h"
#include "registry.h"

namespace com {
namespace {

struct ServedClass {
  const CLSID* clsid;
  const wchar_t* description;
  CreateFunction create;
};
ServedClass g_served;

}  // namespace

SingleClassServer::SingleClassServer(const CLSID& clsid, const wchar_t* description, CreateFunction create) {
  g_served = {&clsid, description, create};
}

}  // namespace com

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, void*) {
  com::SetThisModule(instance);
  return TRUE;
}

STDAPI DllCanUnloadNow() { return com::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  static com::CClassFactory factory(com::g_served.create);
  return com::GetCachedFactory(factory, *com::g_served.clsid, clsid, iid, out);
}

STDAPI DllRegisterServer() {
  return com::RegisterInprocClass(*com::g_served.clsid, com::g_served.description, com::ThisModule());
}

STDAPI DllUnregisterServer() { return com::UnregisterInprocClass(*com::g_served.clsid); }
