#include "session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstring>

#include "paths.h"
#include "protocol.h"

namespace ovr {
namespace {

// Big reads keep the receiver well ahead of the network on one stream; connections that
// only talk (or have not logged in) keep a small buffer.
constexpr size_t kDataBuffer = 256 * 1024;
constexpr size_t kLineBuffer = 2 * kMaxLine;
// A connection that has not logged in by then is dropped; logged-in sessions may pause
// for as long as they like.
constexpr auto kLoginTimeout = std::chrono::seconds(60);
// How long a closing connection is given to take the last reply.
constexpr auto kCloseTimeout = std::chrono::seconds(5);
// A client that reconnects after a break may find its old connection not yet gone: its
// PUT waits for the file's claim up to kClaimAttempts * kClaimRetry before giving up.
constexpr auto kClaimRetry = std::chrono::milliseconds(25);
constexpr int kClaimAttempts = 120;

void EnableKeepAlive(asio::ip::tcp::socket& socket) {
  // A peer that vanished (cable, power) would otherwise hold its file's claim forever.
  std::error_code ec;
  socket.set_option(asio::socket_base::keep_alive(true), ec);
  int fd = socket.native_handle();
  int idle = 60, interval = 10, count = 6;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

Session::Session(asio::ip::tcp::socket socket, asio::ssl::context* tls, const Users& users, Storage& storage)
    : socket_(std::move(socket), tls),
      timer_(socket_.get_executor()),
      users_(users),
      storage_(storage),
      buffer_(kLineBuffer) {}

void Session::Start() {
  EnableKeepAlive(socket_.lowest_layer());
  std::error_code ec;
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  timer_.expires_after(kLoginTimeout);
  timer_.async_wait([self = shared_from_this()](std::error_code ec) {
    if (!ec && (self->state_ == State::kHello || self->state_ == State::kLogin))
      self->socket_.close(ec);
  });
  // The TLS handshake runs within the login deadline.
  socket_.async_handshake([self = shared_from_this()](std::error_code ec) {
    if (ec) {
      self->timer_.cancel();
      self->socket_.close(ec);
      return;
    }
    self->Process();
  });
}

void Session::Process() {
  for (;;) {
    if (state_ == State::kData) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(upload_->due(), end_ - begin_));
      if (take > 0) {
        upload_->Write(buffer_.data() + begin_, take);
        begin_ += take;
      }
      if (upload_->due() == 0) {
        state_ = State::kEnd;
        continue;
      }
      begin_ = end_ = 0;  // all consumed: the next read may fill the whole buffer
      ReadMore();
      return;
    }
    const char* start = buffer_.data() + begin_;
    const void* nl = std::memchr(start, '\n', end_ - begin_);
    size_t length = nl ? static_cast<const char*>(nl) - start + 1 : end_ - begin_;
    if (length > kMaxLine || (!nl && length == kMaxLine))
      return Send(Err(400, "line too long"));
    if (!nl) {
      if (begin_ > 0) {
        std::memmove(buffer_.data(), start, length);
        begin_ = 0;
        end_ = length;
      }
      ReadMore();
      return;
    }
    std::string_view line(start, length - 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    begin_ += length;
    if (std::optional<Answer> answer = Handle(line)) Send(std::move(*answer));
    return;  // else the answer is sent when it is known
  }
}

void Session::ReadMore() {
  socket_.async_read_some(
      asio::buffer(buffer_.data() + end_, buffer_.size() - end_),
      [self = shared_from_this()](std::error_code ec, size_t n) {
        if (ec) return;  // peer gone or server stopping: the partial data stays as written
        self->end_ += n;
        self->Process();
      });
}

void Session::Send(Answer answer) {
  reply_ = std::move(answer.line);
  reply_ += '\n';
  asio::async_write(socket_, asio::buffer(reply_),
                    [self = shared_from_this(), close = answer.close](std::error_code ec, size_t) {
                      self->finished_.reset();
                      if (ec) return;
                      if (close)
                        self->CloseGracefully();
                      else
                        self->Process();
                    });
}

void Session::CloseGracefully() {
  // Closing with unread input would reset the connection and could destroy the reply
  // in flight; so send the end, read what is left, and close when the peer has.
  std::error_code ec;
  upload_.reset();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  timer_.expires_after(kCloseTimeout);
  timer_.async_wait([self = shared_from_this()](std::error_code ec) {
    if (!ec) self->socket_.close(ec);
  });
  begin_ = end_ = 0;
  Drain();
}

void Session::Drain() {
  socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec,
                                                                           size_t) {
    if (ec) {
      self->timer_.cancel();
      self->socket_.close(ec);
      return;
    }
    self->Drain();
  });
}

Session::Answer Session::Ok(std::string fields) {
  return {fields.empty() ? "OK" : "OK " + fields};
}

Session::Answer Session::Err(int code, std::string_view message) {
  // After a malformed or out-of-order command the stream cannot be trusted any more.
  return {"ERR " + std::to_string(code) + ' ' + PercentEncode(message), code == 400};
}

Session::Answer Session::Err(const Status& status) { return Err(status.code, status.message); }

std::optional<Session::Answer> Session::Handle(std::string_view line) {
  std::vector<std::string_view> f = SplitFields(line);
  const std::string_view verb = f[0];
  const size_t args = f.size() - 1;
  auto wants = [&](size_t n) { return args == n; };

  if (state_ == State::kHello) {
    if (verb != "HELLO") return Err(400, "HELLO expected");
    if (!wants(1)) return Err(400, "malformed HELLO");
    if (f[1] != "OVT/1") return Err(400, "unsupported protocol version");
    state_ = State::kLogin;
    return Ok("OVT/1");
  }
  if (state_ == State::kLogin) {
    if (verb != "LOGIN") return Err(400, "LOGIN expected");
    std::string user, password;
    if (!wants(2) || !PercentDecode(f[1], user) || !PercentDecode(f[2], password))
      return Err(400, "malformed LOGIN");
    if (!users_.Check(user, password)) return Err(401, "wrong user name or password");
    user_ = std::move(user);
    state_ = State::kReady;
    timer_.cancel();
    return Ok();
  }

  if (verb == "BYE") {
    if (!wants(0)) return Err(400, "malformed BYE");
    return Answer{"OK", true};
  }
  if (state_ == State::kEnd) {
    if (verb != "END") return Err(400, "END expected");
    if (!wants(1)) return Err(400, "malformed END");
    return End(f[1]);
  }
  if (verb == "MKDIR") {
    std::string name;
    if (!wants(1) || !PercentDecode(f[1], name)) return Err(400, "malformed MKDIR");
    NameCheck check = CheckRemoteName(name);
    if (!check.ok) return Err(403, check.reason);
    Status s = storage_.MakeFolder(check.path);
    return s.ok() ? Ok() : Err(s);
  }
  if (verb == "PUT") {
    if (!wants(2)) return Err(400, "malformed PUT");
    return Put(f[1], f[2]);
  }
  if (verb == "FROM") {
    if (!wants(1)) return Err(400, "malformed FROM");
    if (!upload_) return Err(400, "FROM without PUT");
    return From(f[1]);
  }
  if (verb == "HELLO" || verb == "LOGIN" || verb == "END") return Err(400, "command out of order");
  return Err(400, "unknown command");
}

std::optional<Session::Answer> Session::Put(std::string_view encoded_name,
                                            std::string_view size_text) {
  std::string name;
  uint64_t size = 0;
  if (!PercentDecode(encoded_name, name) || !ParseU64(size_text, size))
    return Err(400, "malformed PUT");
  upload_.reset();  // a file announced but never started is left as it is held
  NameCheck check = CheckRemoteName(name);
  if (!check.ok) return Err(403, check.reason);
  return Claim(std::move(check.path), size, kClaimAttempts);
}

std::optional<Session::Answer> Session::Claim(std::string path, uint64_t size,
                                              int attempts_left) {
  Status s = storage_.Begin(user_, path, size, upload_);
  if (s.ok()) return Ok(std::to_string(upload_->held()));
  if (!s.busy || attempts_left <= 1) return Err(s);
  timer_.expires_after(kClaimRetry);
  timer_.async_wait([self = shared_from_this(), path = std::move(path), size,
                     attempts_left](std::error_code ec) {
    if (ec) return;
    if (std::optional<Answer> answer = self->Claim(path, size, attempts_left - 1))
      self->Send(std::move(*answer));
  });
  return std::nullopt;
}

Session::Answer Session::From(std::string_view from_text) {
  uint64_t from = 0, offset = 0;
  if (!ParseU64(from_text, from)) return Err(400, "malformed FROM");
  Status s = upload_->From(from, offset);
  if (!s.ok()) return Err(s);
  state_ = upload_->due() > 0 ? State::kData : State::kEnd;
  if (state_ == State::kData && buffer_.size() < kDataBuffer) buffer_.resize(kDataBuffer);
  return Ok(std::to_string(offset));
}

Session::Answer Session::End(std::string_view checksum_text) {
  uint64_t checksum = 0;
  if (!ParseChecksum(checksum_text, checksum)) return Err(400, "malformed END");
  Status s = upload_->End(checksum);
  uint64_t size = upload_->size();
  finished_ = std::move(upload_);
  state_ = State::kReady;
  if (!s.ok()) return Err(s);
  return Ok(std::to_string(size) + ' ' + FormatChecksum(checksum));
}

}  // namespace ovr
