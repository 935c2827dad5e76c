// The network support component: Startup initialises the socket library for the control's
// host look-ups, and the object balances it when it goes.
#include <winsock2.h>
#include <windows.h>

#include "../../ovtransfer/com/factory.h"
#include "../../ovtransfer/com/module_lock.h"
#include "../../ovtransfer/com/object.h"
#include "../../ovtransfer/com/registry.h"
#include "../../ovtransfer/outside/net_support.h"
#include "../ovres/component_classes.h"

namespace {

class CNetSupport final : public com::CComBase, public INetSupport {
 public:
  explicit CNetSupport(IUnknown* outer) : CComBase(outer) {}
  ~CNetSupport() override {
    if (started_) WSACleanup();
  }

  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP Startup(DWORD version) override {
    if (started_) return S_OK;  // one initialisation per object, balanced once
    WSADATA data;
    int rc = WSAStartup(static_cast<WORD>(version), &data);
    if (rc != 0) return HRESULT_FROM_WIN32(rc);
    started_ = true;
    return S_OK;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    static const com::QiEntry<CNetSupport> table[] = {COM_QI(CNetSupport, INetSupport)};
    return com::FindInTable(this, table, iid);
  }

 private:
  bool started_ = false;
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, void*) {
  com::SetThisModule(instance);
  return TRUE;
}

STDAPI DllCanUnloadNow() { return com::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  static com::CClassFactory factory(&com::CreateInstance<CNetSupport>);
  return com::GetCachedFactory(factory, CLSID_OvNetSupport, clsid, iid, out);
}

STDAPI DllRegisterServer() {
  return com::RegisterInprocClass(CLSID_OvNetSupport, L"Ov Network Support", com::ThisModule());
}

STDAPI DllUnregisterServer() { return com::UnregisterInprocClass(CLSID_OvNetSupport); }
