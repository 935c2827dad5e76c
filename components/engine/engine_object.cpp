#include "engine_object.h"

#include "plain_servers.h"

namespace ovengine {
namespace {

// The control's flags of an entry that carries no data: a folder, made on the server.
constexpr DWORD kFolderFlags = 0x2 | 0x4;
// Initialize's mode for this engine: uploads over TCP.
constexpr DWORD kModeTcpUpload = 2;

// A host name has at most 253 characters; the control's address field holds 259.
constexpr size_t kMaxServerName = 253;

// Copies text into a caller's buffer of size characters: always terminated, cut to fit,
// never between the halves of a surrogate pair.
void WriteText(const std::wstring& text, wchar_t* buffer, DWORD size) {
  if (!buffer || size == 0) return;
  size_t length = text.size() < size ? text.size() : size - 1;
  if (length > 0 && length < text.size() && IS_HIGH_SURROGATE(text[length - 1])) --length;
  text.copy(buffer, length);
  buffer[length] = L'\0';
}

}  // namespace

CTransferEngine::CTransferEngine(IUnknown* outer) : CComBase(outer), session_(std::make_shared<Session>()) {}

// Released without Disconnect: the same ending, so no thread outlives the object's purpose.
CTransferEngine::~CTransferEngine() { session_->Disconnect(); }

void* CTransferEngine::FindInterface(REFIID iid) {
  static const com::QiEntry<CTransferEngine> table[] = {COM_QI(CTransferEngine, ITransferEngine),
                                                        COM_QI(CTransferEngine, ITransferEngineServer)};
  return com::FindInTable(this, table, iid);
}

STDMETHODIMP CTransferEngine::Initialize(DWORD mode, const SOCKADDR_IN* local, DWORD) {
  if (mode != kModeTcpUpload) return E_INVALIDARG;
  // Connections go out from any local address and port; binding to a given one is not offered.
  if (local && (local->sin_addr.s_addr != INADDR_ANY || local->sin_port != 0)) return E_INVALIDARG;
  return session_->StartNetwork();
}

STDMETHODIMP CTransferEngine::Disconnect() {
  session_->Disconnect();
  return S_OK;
}

STDMETHODIMP CTransferEngine::SetNotifyWindow(HWND window, UINT message) {
  session_->SetNotifyWindow(window, message);
  return S_OK;
}

STDMETHODIMP CTransferEngine::Connect(const SOCKADDR_IN* server, DWORD timeout_ms) {
  if (!server) return E_POINTER;
  if (server->sin_family != AF_INET) return E_INVALIDARG;
  if (server_name_refused_) return E_INVALIDARG;
  ChannelSecurity security;
  if (server_name_.empty()) {
    const BYTE* b = reinterpret_cast<const BYTE*>(&server->sin_addr);
    security.server_name = std::to_wstring(b[0]) + L"." + std::to_wstring(b[1]) + L"." + std::to_wstring(b[2]) +
                           L"." + std::to_wstring(b[3]);
  } else {
    security.server_name = server_name_;
  }
  security.plain = NamedAsPlain(security.server_name, ntohs(server->sin_port));
  return session_->Connect(*server, timeout_ms, security);
}

STDMETHODIMP CTransferEngine::SetServerName(LPCWSTR name) {
  std::wstring text;
  for (const wchar_t* p = name; p && *p && text.size() <= kMaxServerName; ++p) text += *p;
  bool usable = !text.empty() && text.size() <= kMaxServerName;
  for (wchar_t c : text) usable = usable && c > 0x20 && c != 0x7F;
  server_name_refused_ = !usable;
  server_name_ = usable ? text : std::wstring();
  return usable ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CTransferEngine::Login(const wchar_t* user, const wchar_t* password, wchar_t* reply, DWORD reply_size) {
  std::wstring text;
  const HRESULT hr = session_->Login(user ? user : L"", password ? password : L"", &text);
  WriteText(text, reply, reply_size);
  return hr;
}

STDMETHODIMP CTransferEngine::PutFile(const wchar_t* remote_name, const wchar_t* local_path, DWORD, DWORD flags,
                                      LONG task_id, wchar_t* remote_out, DWORD remote_out_size, wchar_t* status_out,
                                      DWORD status_out_size) {
  const std::wstring remote = remote_name ? remote_name : L"";
  std::wstring text;
  const HRESULT hr =
      session_->PutEntry(remote, local_path ? local_path : L"", (flags & kFolderFlags) != 0, task_id, &text);
  WriteText(remote, remote_out, remote_out_size);
  WriteText(text, status_out, status_out_size);
  return hr;
}

STDMETHODIMP CTransferEngine::SetResumePosition(ULONGLONG position, ULONGLONG) {
  return session_->SetResumePosition(position);
}

STDMETHODIMP CTransferEngine::StartTransfer() { return session_->StartTransfer(); }
STDMETHODIMP CTransferEngine::PauseTransfer() { return session_->PauseTransfer(); }
STDMETHODIMP CTransferEngine::FinishFile() { return session_->FinishFile(); }

STDMETHODIMP CTransferEngine::SetRateLimit(DWORD rate) {
  session_->SetRateLimit(rate);
  return S_OK;
}

STDMETHODIMP CTransferEngine::GetBytesTransferred(ULONGLONG* bytes) {
  if (!bytes) return E_POINTER;
  *bytes = session_->BytesDone();
  return S_OK;
}

}  // namespace ovengine
