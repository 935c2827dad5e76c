// The network support component: Startup initialises the socket library for the control's
// host look-ups, and the object balances it when it goes.
#include <winsock2.h>
#include <windows.h>

#include "../../ovtransfer/com/object.h"
#include "../../ovtransfer/com/single_class_server.h"
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

const com::SingleClassServer g_server(CLSID_OvNetSupport, L"Ov Network Support", &com::CreateInstance<CNetSupport>);
