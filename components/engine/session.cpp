// The engine's commands on the caller's thread: connecting, logging in, announcing entries,
// starting, pausing and ending transfers.
#include "session.h"

#include "../../ovtransfer/com/module_lock.h"
#include "../../ovtransfer/outside/transfer_engine.h"

namespace ovengine {
namespace {

// Disconnect waits this long for the I/O thread; its every wait is cancelled, so it ends in
// far less. Should it not, the thread keeps what it uses (shared ownership) and frees it.
constexpr DWORD kStopWaitMs = 10000;
constexpr DWORD kByeTimeoutMs = 2000;

HRESULT NotConnected() { return HRESULT_FROM_WIN32(WSAENOTCONN); }
HRESULT Busy() { return HRESULT_FROM_WIN32(ERROR_BUSY); }

std::string Command(const char* verb, const std::string& field) { return std::string(verb) + " " + field; }

std::wstring ReplyText(const Reply& reply) {
  if (reply.ok) return L"OK";
  return L"ERR " + std::to_wstring(reply.code) + (reply.message.empty() ? L"" : L" " + FromUtf8(reply.message));
}

}  // namespace

int64_t MonotonicMicros() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<int64_t>(now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency);
}

Session::Session()
    : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), thread_ended_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

Session::~Session() {
  connection_.reset();  // sockets go before the socket library
  if (network_started_) WSACleanup();
}

HRESULT Session::StartNetwork() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (network_started_) return S_OK;
  WSADATA data;
  if (int rc = WSAStartup(MAKEWORD(2, 2), &data)) return HRESULT_FROM_WIN32(rc);
  network_started_ = true;
  return S_OK;
}

void Session::SetNotifyWindow(HWND window, UINT message) {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = window;
  message_ = message;
}

void Session::PostLocked(WPARAM code, LPARAM task_id) {
  if (code == NOTIFY_ABORTED) {
    if (abort_posted_) return;
    abort_posted_ = true;
  }
  if (window_ && !stopping_) PostMessageW(window_, message_, code, task_id);
}

HRESULT Session::CommandFailed(const Connection& connection, HRESULT hr) {
  if (!connection.Usable()) {
    std::lock_guard<std::mutex> lock(mutex_);
    PostLocked(NOTIFY_ABORTED, 0);
  }
  return hr;
}

HRESULT Session::Connect(const SOCKADDR_IN& server, DWORD timeout_ms, const ChannelSecurity& security) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!network_started_) return HRESULT_FROM_WIN32(WSANOTINITIALISED);
    if (connection_) return HRESULT_FROM_WIN32(WSAEISCONN);
  }
  if (!wake_.Valid() || !thread_ended_.Valid()) return E_OUTOFMEMORY;
  if (timeout_ms == 0) timeout_ms = kReplyTimeoutMs;
  auto connection = std::make_shared<Connection>();
  if (HRESULT hr = Greet(*connection, server, timeout_ms, security); FAILED(hr)) return hr;
  const DWORD stall_ms = StallTimeoutMs();  // once per engine, not at every send
  std::lock_guard<std::mutex> lock(mutex_);
  connection_ = std::move(connection);
  server_ = server;
  security_ = security;
  connect_timeout_ms_ = timeout_ms;
  stall_ms_ = stall_ms;
  logged_in_ = false;
  bytes_due_ = false;
  stopping_ = false;
  return S_OK;
}

HRESULT Session::CommandConnection(std::shared_ptr<Connection>* connection) {
  if (!connection_ || !connection_->Usable()) return NotConnected();
  if (ThreadOwnsConnection()) return Busy();
  *connection = connection_;
  return S_OK;
}

HRESULT Session::Login(const std::wstring& user, const std::wstring& password, std::wstring* text) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (HRESULT hr = CommandConnection(&connection); FAILED(hr)) return hr;
  }
  std::string user8, password8;
  // An empty field cannot be written on the line: no account has an empty name or password.
  if (user.empty() || password.empty() || !ToUtf8(user, &user8) || !ToUtf8(password, &password8)) {
    *text = L"user name or password missing or not valid text";
    return E_ACCESSDENIED;
  }
  Reply reply;
  const HRESULT hr =
      connection->Exchange("LOGIN " + PercentEncode(user8) + " " + PercentEncode(password8), &reply, kReplyTimeoutMs);
  if (FAILED(hr)) return hr;
  *text = ReplyText(reply);
  if (!reply.ok) return ReplyError(reply);
  std::lock_guard<std::mutex> lock(mutex_);
  logged_in_ = true;
  user_ = std::move(user8);
  password_ = std::move(password8);
  return S_OK;
}

void Session::CloseFile() {
  file_ = com::UniqueHandle();
  phase_ = Phase::kNone;
  size_ = 0;
  remote_.clear();
  local_.clear();
  held_ = offset_ = 0;
  reconnect_due_ = false;
  done_ = 0;
}

HRESULT Session::PutEntry(const std::wstring& remote, const std::wstring& local, bool folder, LONG task_id,
                          std::wstring* text) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The scheduler puts a paused entry again when it gets its slot back: it goes on where it is.
    if (phase_ == Phase::kPaused && !folder && remote == remote_ && local == local_ && task_id == task_id_) {
      *text = L"paused at " + std::to_wstring(done_.load());
      return S_OK;
    }
    if (!connection_) return NotConnected();
    if (ThreadOwnsConnection()) return Busy();
    // A broken connection of a logged-in engine is replaced below; only a usable one can log in.
    if (!logged_in_) return connection_->Usable() ? E_ACCESSDENIED : NotConnected();
    connection = connection_;
    CloseFile();
  }
  std::string name;
  if (remote.empty() || !ToUtf8(remote, &name)) {
    *text = L"remote name empty or not valid text";
    return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
  }
  Reply reply;
  if (folder) {
    const std::string command = Command("MKDIR", PercentEncode(name));
    HRESULT hr = connection->Usable() ? connection->Exchange(command, &reply, kReplyTimeoutMs) : NotConnected();
    // A folder has no transfer that could make it later: the connection is replaced at once,
    // within the time the caller gave the first connect.
    if (IsBreak(hr)) {
      Reply login;
      hr = Reopen(connect_timeout_ms_, &connection, &login);
      if (SUCCEEDED(hr)) hr = connection->Exchange(command, &reply, kReplyTimeoutMs);
    }
    if (FAILED(hr))
      return CommandFailed(*connection, hr == E_INVALIDARG ? HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) : hr);
    *text = ReplyText(reply);
    return reply.ok ? S_OK : ReplyError(reply);
  }

  com::UniqueHandle file(CreateFileW(local.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size;
  if (!file.Valid() || !GetFileSizeEx(file.Get(), &size)) {
    const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    *text = L"local file cannot be read";
    return FAILED(hr) ? hr : E_FAIL;
  }
  const uint64_t file_size = static_cast<uint64_t>(size.QuadPart);
  const std::string command = Command("PUT", PercentEncode(name)) + " " + std::to_string(file_size);
  HRESULT hr = connection->Usable() ? connection->Exchange(command, &reply, kReplyTimeoutMs) : NotConnected();
  uint64_t held = 0;
  // The connection broke since the last file: the transfer, once started, reconnects and
  // announces the file again on the new connection, without holding up the caller.
  const bool reconnect = IsBreak(hr);
  if (!reconnect) {
    if (FAILED(hr))
      return CommandFailed(*connection, hr == E_INVALIDARG ? HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) : hr);
    *text = ReplyText(reply);
    if (!reply.ok) return ReplyError(reply);
    if (reply.fields.size() != 1 || !ParseNumber(reply.fields[0], &held) || held > file_size) return kBadReply;
  }
  *text = reconnect ? L"reconnecting" : L"OK held " + std::to_wstring(held);

  std::lock_guard<std::mutex> lock(mutex_);
  file_ = std::move(file);
  size_ = file_size;
  task_id_ = task_id;
  remote_ = remote;
  local_ = local;
  held_ = held;
  reconnect_due_ = reconnect;
  phase_ = Phase::kReady;
  return S_OK;
}

// The receiver's count decides where a file goes on (FROM what it holds): the control's own
// count lags behind what arrived, and asking from it would make the receiver drop the rest.
HRESULT Session::SetResumePosition(uint64_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  return phase_ == Phase::kPaused || phase_ == Phase::kReady ? S_OK : E_UNEXPECTED;
}

HRESULT Session::StartTransfer() {
  std::shared_ptr<Connection> connection;
  uint64_t from;
  bool reconnect;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ == Phase::kPaused) {
      phase_ = Phase::kStreaming;
      SetEvent(wake_.Get());
      return S_OK;
    }
    if (phase_ == Phase::kStreaming || phase_ == Phase::kFinishing) return S_OK;
    if (phase_ != Phase::kReady) return E_UNEXPECTED;
    if (!connection_) return NotConnected();
    connection = connection_;
    reconnect = reconnect_due_ || !connection->Usable();
    from = held_;
  }
  uint64_t offset = 0;
  if (!reconnect) {
    Reply reply;
    const HRESULT hr = connection->Exchange("FROM " + std::to_string(from), &reply, kReplyTimeoutMs);
    reconnect = IsBreak(hr);
    if (FAILED(hr) && !reconnect) return CommandFailed(*connection, hr);
    if (SUCCEEDED(hr) && !reply.ok) return ReplyError(reply);
    if (SUCCEEDED(hr) && (reply.fields.size() != 1 || !ParseNumber(reply.fields[0], &offset) || offset > from)) {
      connection->Cancel();  // out of step with the server: the connection is of no further use
      return kBadReply;
    }
  }
  // A previous file's thread is past its last use of the connection, in its final steps.
  WaitForSingleObject(thread_ended_.Get(), kStopWaitMs);
  std::lock_guard<std::mutex> lock(mutex_);
  ResetEvent(thread_ended_.Get());
  bytes_due_ = true;
  offset_ = reconnect ? 0 : offset;
  done_ = offset_;
  phase_ = Phase::kStreaming;
  PostLocked(NOTIFY_FILE_BEGIN, task_id_);
  std::shared_ptr<Session> self = shared_from_this();
  if (reconnect) connection.reset();
  if (!com::StartModuleThread([self, connection] { self->RunStream(connection); })) {
    SetEvent(thread_ended_.Get());
    if (connection) connection->Cancel();  // the server waits for bytes that will not come
    phase_ = Phase::kFailed;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT Session::PauseTransfer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::kPaused) return S_OK;
  if (phase_ != Phase::kStreaming) return E_UNEXPECTED;  // nothing is running that could pause
  phase_ = Phase::kPaused;
  SetEvent(wake_.Get());
  PostLocked(NOTIFY_PAUSED, task_id_);
  return S_OK;
}

HRESULT Session::FinishFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ThreadOwnsConnection()) return Busy();
  CloseFile();
  return S_OK;
}

void Session::SetRateLimit(uint64_t bits_per_second) {
  std::lock_guard<std::mutex> lock(mutex_);
  bucket_.SetRate(bits_per_second, MonotonicMicros());
  rate_given_ = true;
  SetEvent(wake_.Get());
}

void Session::Disconnect() {
  std::shared_ptr<Connection> connection;
  bool thread_running;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection = std::move(connection_);
    thread_running = ThreadOwnsConnection();
    stopping_ = true;
  }
  if (thread_running && connection) {
    connection->Cancel();
    SetEvent(wake_.Get());
  }
  const bool thread_ended = WaitForSingleObject(thread_ended_.Get(), kStopWaitMs) == WAIT_OBJECT_0;
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle = connection && !thread_running && !bytes_due_ && connection->Usable();
    logged_in_ = false;
    bytes_due_ = false;
    if (thread_ended) CloseFile();
  }
  // A polite end only where the server expects a command; in the middle of a file it just closes.
  if (idle) {
    Reply reply;
    connection->Exchange("BYE", &reply, kByeTimeoutMs);
  }
}

}  // namespace ovengine
