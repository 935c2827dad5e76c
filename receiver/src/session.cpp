#include "session.h"

#include <cstring>
#include <utility>

#include "paths.h"
#include "line_codec.h"

namespace ovr {
namespace {

// Big reads keep the receiver well ahead of the network on one stream; connections that
// only talk (or have not logged in) keep a small buffer, and a session goes back to it when
// its bytes stop.
constexpr size_t kDataBuffer = 256 * 1024;
constexpr size_t kLineBuffer = 2 * ovt::kMaxLineBytes;
// Most lines are short: a connection starts with this and grows to kLineBuffer for a long
// one, so that many connections waiting to log in cost little.
constexpr size_t kSmallBuffer = 1024;
// Bytes that stop for this long give the data buffer back until a file's bytes resume.
constexpr auto kDataPause = std::chrono::milliseconds(500);
// How long a closing connection is given to take the last reply.
constexpr auto kCloseTimeout = std::chrono::seconds(5);
// How often a PUT asks again for a file that another connection holds.
constexpr auto kClaimRetry = std::chrono::milliseconds(25);

}  // namespace

Session::Session(TcpStream stream, SessionContext& context)
    : stream_(std::move(stream)),
      context_(context),
      address_(AddressKey(stream_.peer())),
      deadline_(stream_.get_executor()),
      wait_(stream_.get_executor()),
      idle_(stream_.get_executor()),
      buffer_(kSmallBuffer) {
  static_assert(static_cast<size_t>(State::kEnd) + 1 == kConnectionStates.size(),
                "every connection state has its metric label");
}

void Session::Start(Gate::Ticket ticket) {
  ticket_ = std::move(ticket);
  // The deadline covers the transport's own start as well as HELLO and LOGIN.
  deadline_.expires_after(context_.limits.login_timeout);
  deadline_.async_wait([self = shared_from_this()](std::error_code ec) {
    if (ec || self->closed_) return;
    metrics().Hit(Limit::kLoginTimeout);
    self->Abort();
  });
  stream_.AsyncStart([self = shared_from_this()](std::error_code ec) {
    if (self->closed_) return;
    if (ec) return self->Abort();
    self->Process();
  });
}

void Session::Evict() {
  asio::post(stream_.get_executor(), [self = shared_from_this()] { self->Abort(); });
}

void Session::Revoke(std::function<void()> done) {
  asio::post(stream_.get_executor(), [self = shared_from_this(), done = std::move(done)] {
    self->Abort();
    done();
  });
}

void Session::Abort() {
  if (closed_) return;
  closed_ = true;
  deadline_.cancel();
  wait_.cancel();
  idle_.cancel();
  stream_.Close();
  upload_.reset();
  finished_.reset();
  ticket_.Release();
}

void Session::UseBuffer(size_t size) {
  if (buffer_.size() == size) return;
  std::vector<char> other(size);
  std::memcpy(other.data(), buffer_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  buffer_.swap(other);
}

void Session::Process() {
  for (;;) {
    if (state_ == State::kData) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(upload_->due(), end_ - begin_));
      if (take > 0) {
        upload_->Write(buffer_.data() + begin_, take);
        metrics().bytes_received += take;
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
    if (length > ovt::kMaxLineBytes || (!nl && length == ovt::kMaxLineBytes)) {
      metrics().Hit(Limit::kLineTooLong);
      return Send(Err(400, "line too long"));
    }
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
  // Between files only a line can be pending: the data buffer goes back.
  if (state_ != State::kData && end_ - begin_ == buffer_.size() && buffer_.size() < kLineBuffer)
    UseBuffer(kLineBuffer);  // a long line
  reading_ = true;
  stream_.AsyncReadSome(asio::buffer(buffer_.data() + end_, buffer_.size() - end_),
                        [self = shared_from_this()](std::error_code ec, size_t n) {
                          self->reading_ = false;
                          if (self->closed_) return;
                          bool paused = std::exchange(self->pausing_, false);
                          if (paused && ec == asio::error::operation_aborted) {
                            size_t unread = self->end_ - self->begin_;
                            self->UseBuffer(unread <= kSmallBuffer ? kSmallBuffer : kLineBuffer);
                            return self->ReadMore();
                          }
                          // Peer gone: the partial data stays as written.
                          if (ec) return self->Abort();
                          self->end_ += n;
                          self->bytes_read_ += n;
                          if (self->state_ == State::kData && self->buffer_.size() < kDataBuffer) {
                            self->UseBuffer(kDataBuffer);  // flowing again
                            self->WatchData();
                          } else if (paused) {
                            self->WatchData();  // the pause met bytes already read: watch on
                          }
                          self->Process();
                        });
}

void Session::WatchData() {
  bytes_seen_ = bytes_read_;
  idle_.expires_after(kDataPause);
  idle_.async_wait([self = shared_from_this()](std::error_code ec) {
    if (ec || self->closed_ || self->buffer_.size() < kDataBuffer) return;
    if (self->bytes_read_ != self->bytes_seen_ || !self->reading_) return self->WatchData();
    // Nothing came: the pending read ends and starts again on the small buffer.
    self->pausing_ = true;
    self->stream_.Cancel();
  });
}

void Session::Send(Answer answer) {
  reply_ = std::move(answer.line);
  reply_ += '\n';
  stream_.AsyncWrite(asio::buffer(reply_),
                     [self = shared_from_this(), close = answer.close](std::error_code ec, size_t) {
                       if (self->closed_) return;
                       self->finished_.reset();
                       if (ec) return self->Abort();
                       if (close)
                         self->CloseGracefully();
                       else
                         self->Process();
                     });
}

void Session::CloseGracefully() {
  // Closing with unread input would reset the connection and could destroy the reply in
  // flight; so the stream ends politely and is closed when the peer has ended too.
  upload_.reset();
  deadline_.expires_after(kCloseTimeout);
  deadline_.async_wait([self = shared_from_this()](std::error_code ec) {
    if (!ec && !self->closed_) self->Abort();
  });
  begin_ = end_ = 0;
  UseBuffer(kSmallBuffer);
  stream_.AsyncEnd([self = shared_from_this()](std::error_code) { self->Abort(); });
}

Session::Answer Session::Ok(std::string fields) {
  return {ovt::OkLine(fields)};
}

Session::Answer Session::Err(int code, std::string_view message) {
  // After a malformed or out-of-order command the stream cannot be trusted any more.
  return {ovt::ErrLine(code, message), code == 400};
}

Session::Answer Session::Err(const Status& status) { return Err(status.code, status.message); }

std::optional<Session::Answer> Session::Handle(std::string_view line) {
  std::vector<std::string_view> f = ovt::SplitFields(line);
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
    if (!wants(2)) return Err(400, "malformed LOGIN");
    return Login(f[1], f[2]);
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
    if (!wants(1) || !ovt::PercentDecode(f[1], &name)) return Err(400, "malformed MKDIR");
    NameCheck check = CheckRemoteName(name);
    if (!check.ok) return Err(403, check.reason);
    Status s = context_.storage.MakeFolder(check.path);
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

std::optional<Session::Answer> Session::Login(std::string_view encoded_user,
                                              std::string_view encoded_password) {
  std::string user, password;
  if (!ovt::PercentDecode(encoded_user, &user) || !ovt::PercentDecode(encoded_password, &password))
    return Err(400, "malformed LOGIN");
  // After failures from this address or for this user the check waits its turn; the
  // pipeline behind it waits too, since nothing more is read meanwhile.
  auto at = context_.guard.Admit(address_, user);
  if (!at) {
    metrics().Hit(Limit::kLoginGuard);
    return LoginFailed("too many failed logins from here or for this user; try again later");
  }
  if (*at <= std::chrono::steady_clock::now()) {
    CheckLogin(std::move(user), std::move(password), *at);
    return std::nullopt;
  }
  wait_.expires_at(*at);
  wait_.async_wait([self = shared_from_this(), user = std::move(user),
                    password = std::move(password), turn = *at](std::error_code ec) mutable {
    if (ec || self->closed_) return;
    self->CheckLogin(std::move(user), std::move(password), turn);
  });
  return std::nullopt;
}

void Session::CheckLogin(std::string user, std::string password,
                         std::chrono::steady_clock::time_point turn) {
  // A hashed password takes tens of milliseconds to check: on the check threads, so that
  // the connections on this thread keep moving; the answer comes back on this strand.
  asio::post(context_.login_checks, [self = shared_from_this(), user = std::move(user),
                                     password = std::move(password), turn]() mutable {
    bool ok = self->context_.users.Check(user, password);
    asio::post(self->stream_.get_executor(), [self, user = std::move(user), turn, ok] {
      if (!self->closed_) self->Send(self->LoginChecked(user, turn, ok));
    });
  });
}

Session::Answer Session::LoginChecked(const std::string& user,
                                      std::chrono::steady_clock::time_point turn, bool ok) {
  ++(ok ? metrics().logins_ok : metrics().logins_failed);
  if (!ok) {
    context_.guard.Failed(address_, stream_.peer().to_string(), user);
    return LoginFailed("wrong user name or password");
  }
  context_.guard.Succeeded(address_, user, turn);
  user_ = user;
  state_ = State::kReady;
  login_ = ++context_.logins;
  deadline_.cancel();
  ticket_.Release();
  return Ok();
}

Session::Answer Session::LoginFailed(std::string_view why) {
  Answer answer = Err(401, why);
  answer.close = ++failed_logins_ >= context_.limits.login_attempts;
  if (answer.close) metrics().Hit(Limit::kLoginAttempts);
  return answer;
}

std::optional<Session::Answer> Session::Put(std::string_view encoded_name,
                                            std::string_view size_text) {
  std::string name;
  uint64_t size = 0;
  if (!ovt::PercentDecode(encoded_name, &name) || !ovt::ParseNumber(size_text, &size))
    return Err(400, "malformed PUT");
  upload_.reset();  // a file announced but never started is left as it is held
  NameCheck check = CheckRemoteName(name);
  if (!check.ok) return Err(403, check.reason);
  return Claim(std::move(check.path), size,
               std::chrono::steady_clock::now() + context_.limits.claim_wait);
}

std::optional<Session::Answer> Session::Claim(std::string path, uint64_t size,
                                              std::chrono::steady_clock::time_point until) {
  std::shared_ptr<ClaimHolder> stale;
  Status s = context_.storage.Begin(Claimant{user_, login_, weak_from_this()}, path, size,
                                    upload_, stale);
  if (s.ok()) return Ok(std::to_string(upload_->held()));
  if (!s.busy || std::chrono::steady_clock::now() >= until) {
    if (s.busy) metrics().Hit(Limit::kClaimWait);
    return Err(s);
  }
  if (stale) {
    // The holder logged in before this connection and uploads the same file: a client
    // that lost its connection and came back. The old connection ends (its writes with
    // it) and the PUT is asked again, answered with what the file really holds.
    stale->Revoke([self = shared_from_this(), path, size, until] {
      asio::post(self->stream_.get_executor(), [self, path, size, until] {
        if (self->closed_) return;
        if (std::optional<Answer> answer = self->Claim(path, size, until))
          self->Send(std::move(*answer));
      });
    });
    return std::nullopt;
  }
  wait_.expires_after(kClaimRetry);
  wait_.async_wait([self = shared_from_this(), path = std::move(path), size,
                    until](std::error_code ec) {
    if (ec || self->closed_) return;
    if (std::optional<Answer> answer = self->Claim(path, size, until))
      self->Send(std::move(*answer));
  });
  return std::nullopt;
}

Session::Answer Session::From(std::string_view from_text) {
  uint64_t from = 0, offset = 0;
  if (!ovt::ParseNumber(from_text, &from)) return Err(400, "malformed FROM");
  Status s = upload_->From(from, offset);
  if (!s.ok()) return Err(s);
  if (offset > 0) ++metrics().uploads_resumed;
  state_ = upload_->due() > 0 ? State::kData : State::kEnd;
  if (state_ == State::kData && buffer_.size() < kDataBuffer) {
    UseBuffer(kDataBuffer);
    WatchData();
  }
  return Ok(std::to_string(offset));
}

Session::Answer Session::End(std::string_view checksum_text) {
  uint64_t checksum = 0;
  if (!ovt::ParseChecksum(checksum_text, &checksum)) return Err(400, "malformed END");
  Status s = upload_->End(checksum);
  uint64_t size = upload_->size();
  finished_ = std::move(upload_);
  state_ = State::kReady;
  ++(s.ok() ? metrics().uploads_completed : metrics().uploads_failed);
  if (!s.ok()) return Err(s);
  return Ok(std::to_string(size) + ' ' + ovt::ChecksumText(checksum));
}

}  // namespace ovr
