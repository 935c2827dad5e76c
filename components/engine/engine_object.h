// The transfer engine object: one per upload task, speaking ITransferEngine to the control
// and the receiver's protocol on one connection.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>

#include "../../ovtransfer/com/object.h"
#include "../../ovtransfer/outside/transfer_engine.h"
#include "../../ovtransfer/outside/transfer_engine_server.h"
#include "session.h"

namespace ovengine {

class CTransferEngine final : public com::CComBase, public ITransferEngine, public ITransferEngineServer {
 public:
  explicit CTransferEngine(IUnknown* outer);
  ~CTransferEngine() override;

  COM_DELEGATE_IUNKNOWN

  STDMETHODIMP Initialize(DWORD mode, const SOCKADDR_IN* local, DWORD reserved) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP Reserved5() override { return E_NOTIMPL; }
  STDMETHODIMP SetNotifyWindow(HWND window, UINT message) override;
  STDMETHODIMP Connect(const SOCKADDR_IN* server, DWORD timeout_ms) override;
  STDMETHODIMP Login(const wchar_t* user, const wchar_t* password, wchar_t* reply, DWORD reply_size) override;
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP PutFile(const wchar_t* remote_name, const wchar_t* local_path, DWORD reserved, DWORD flags,
                       LONG task_id, wchar_t* remote_out, DWORD remote_out_size, wchar_t* status_out,
                       DWORD status_out_size) override;
  STDMETHODIMP SetResumePosition(ULONGLONG position, ULONGLONG done) override;
  STDMETHODIMP Reserved16() override { return E_NOTIMPL; }
  STDMETHODIMP StartTransfer() override;
  STDMETHODIMP PauseTransfer() override;
  STDMETHODIMP FinishFile() override;
  STDMETHODIMP SetRateLimit(DWORD rate) override;
  STDMETHODIMP Reserved21() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved22() override { return E_NOTIMPL; }
  STDMETHODIMP GetBytesTransferred(ULONGLONG* bytes) override;

  STDMETHODIMP SetServerName(LPCWSTR name) override;

 protected:
  void* FindInterface(REFIID iid) override;

 private:
  std::shared_ptr<Session> session_;
  // The name the server's certificate must carry; without one, the dotted address connected to.
  std::wstring server_name_;
  bool server_name_refused_ = false;
};

}  // namespace ovengine
