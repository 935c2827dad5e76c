// How the engine carries a transfer over a broken connection: a new connection with the same
// server, certificate check and login, the file announced again and continued from what the
// receiver holds (a new connection's PUT takes the file over from the stale one).
#include "session.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "../../ovtransfer/outside/transfer_engine.h"

namespace ovengine {
namespace {

constexpr char kHello[] = "HELLO OVT/1";

// S_OK when the server answered HELLO as an OVT/1 server; otherwise the connection is of no use.
HRESULT Greeted(Connection& connection, const Reply& reply) {
  if (reply.ok && reply.fields.size() == 1 && reply.fields[0] == "OVT/1") return S_OK;
  connection.Cancel();
  return kBadReply;
}

}  // namespace

HRESULT Greet(Connection& connection, const SOCKADDR_IN& server, DWORD timeout_ms, const ChannelSecurity& security) {
  if (HRESULT hr = connection.Open(server, timeout_ms, security); FAILED(hr)) return hr;
  Reply reply;
  if (HRESULT hr = connection.Exchange(kHello, &reply, timeout_ms); FAILED(hr)) return hr;
  return Greeted(connection, reply);
}

bool Session::IsBreak(HRESULT hr) {
  // Only the socket's own failures (reset, refused, timed out, not connected): the receiver's
  // answers are Win32 codes too (E_ACCESSDENIED for 401), TLS and certificate verdicts are not.
  const int code = HRESULT_CODE(hr);
  return FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32 && code >= WSABASEERR && code < WSABASEERR + 1000;
}

HRESULT Session::Reopen(DWORD timeout_ms, std::shared_ptr<Connection>* out, Reply* login_reply,
                        const std::vector<std::string>& then) {
  auto connection = std::make_shared<Connection>();
  SOCKADDR_IN server;
  ChannelSecurity security;
  std::string login;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return E_ABORT;
    connection_ = connection;
    server = server_;
    security = security_;
    login = "LOGIN " + PercentEncode(user_) + " " + PercentEncode(password_);
  }
  *out = connection;
  if (HRESULT hr = connection->Open(server, timeout_ms, security); FAILED(hr)) return hr;
  // The greeting, the login and what follows go out together (the certificate has passed
  // already): one round trip instead of one each.
  std::vector<std::string> commands = {kHello, login};
  commands.insert(commands.end(), then.begin(), then.end());
  Reply hello;
  if (HRESULT hr = connection->SendCommands(commands, kReplyTimeoutMs); FAILED(hr)) return hr;
  if (HRESULT hr = connection->ReadReply(&hello, kReplyTimeoutMs); FAILED(hr)) return hr;
  if (HRESULT hr = Greeted(*connection, hello); FAILED(hr)) return hr;
  if (HRESULT hr = connection->ReadReply(login_reply, kReplyTimeoutMs); FAILED(hr)) return hr;
  if (login_reply->ok) return S_OK;
  connection->Cancel();  // not logged in: of no use to the engine
  return ReplyError(*login_reply);
}

Session::Attempt Session::AfterFailure(HRESULT hr) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return Attempt::kStopped;
  }
  return IsBreak(hr) ? Attempt::kRetry : Attempt::kGiveUp;
}

bool Session::Rest(DWORD ms) {
  for (const DWORD since = GetTickCount();;) {
    bool paused;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return false;
      paused = phase_ == Phase::kPaused;
    }
    const DWORD passed = GetTickCount() - since;
    // A paused transfer waits for the user before it tries again: the pause is no failure.
    if (!paused && passed >= ms) return true;
    WaitForSingleObject(wake_.Get(), paused ? INFINITE : ms - passed);
  }
}

std::vector<std::string> Session::AnnounceCommands(bool afresh) {
  std::wstring remote;
  uint64_t size;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remote = remote_;
    size = size_;
  }
  std::string name;
  if (!ToUtf8(remote, &name)) return {};  // checked at PutEntry already
  // FROM the whole size is answered with what the receiver holds, so it need not wait for
  // the PUT's answer.
  return {"PUT " + PercentEncode(name) + " " + std::to_string(size), "FROM " + std::to_string(afresh ? 0 : size)};
}

Session::Attempt Session::Announce(Connection& connection, bool afresh) {
  const std::vector<std::string> commands = AnnounceCommands(afresh);
  if (commands.empty()) return Attempt::kGiveUp;
  if (HRESULT hr = connection.SendCommands(commands, kReplyTimeoutMs); FAILED(hr)) return AfterFailure(hr);
  return Announced(connection, afresh);
}

Session::Attempt Session::Announced(Connection& connection, bool afresh) {
  uint64_t size;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size = size_;
  }
  const uint64_t from = afresh ? 0 : size;
  Reply reply;
  if (HRESULT hr = connection.ReadReply(&reply, kReplyTimeoutMs); FAILED(hr)) return AfterFailure(hr);
  // ERR 500: the receiver cannot write now, or still lets the stale connection hold the file.
  // The FROM behind a refused PUT is refused too and the connection closed: a new one tries.
  if (!reply.ok) return reply.code == 500 ? Attempt::kRetry : Attempt::kGiveUp;
  uint64_t held = 0;
  if (reply.fields.size() != 1 || !ParseNumber(reply.fields[0], &held) || held > size) return Attempt::kGiveUp;
  if (HRESULT hr = connection.ReadReply(&reply, kReplyTimeoutMs); FAILED(hr)) return AfterFailure(hr);
  if (!reply.ok) return reply.code == 500 ? Attempt::kRetry : Attempt::kGiveUp;
  uint64_t offset = 0;
  if (reply.fields.size() != 1 || !ParseNumber(reply.fields[0], &offset) || offset > std::min(from, held))
    return Attempt::kGiveUp;
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = held;
  offset_ = offset;
  if (phase_ == Phase::kFinishing) phase_ = Phase::kStreaming;  // bytes are due again
  if (afresh) {
    done_ = 0;
    PostLocked(NOTIFY_FILE_BEGIN, task_id_);
  } else if (offset > done_) {
    done_ = offset;  // confirmed by the receiver (a transfer that began on a broken connection)
  }
  return Attempt::kResumed;
}

Session::Attempt Session::Reconnect(std::shared_ptr<Connection>* connection, size_t* step) {
  uint64_t began_at;  // where the broken connection took the file up
  {
    std::lock_guard<std::mutex> lock(mutex_);
    began_at = offset_;
  }
  if (*connection) (*connection)->Cancel();
  const std::vector<std::string> announce = AnnounceCommands(false);
  if (announce.empty()) return Attempt::kGiveUp;
  while (*step < std::size(kReconnectDelaysMs)) {
    if (!Rest(kReconnectDelaysMs[(*step)++])) return Attempt::kStopped;
    Reply login;
    Attempt attempt;
    if (HRESULT hr = Reopen(kReconnectTimeoutMs, connection, &login, announce); FAILED(hr))
      attempt = AfterFailure(hr);
    else
      attempt = Announced(**connection, false);
    if (attempt == Attempt::kRetry) continue;
    if (attempt != Attempt::kResumed) return attempt;
    // The broken connection carried part of the file: the next break gets every pause again.
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset_ > began_at) *step = 0;
    return attempt;
  }
  return Attempt::kGiveUp;
}

}  // namespace ovengine
