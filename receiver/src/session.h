// One upload connection speaking OVT/1: commands and replies line by line, raw file bytes
// after an accepted FROM.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "gate.h"
#include "login_guard.h"
#include "metrics.h"
#include "storage.h"
#include "stream.h"
#include "users.h"

namespace ovr {

// What all upload sessions share.
struct SessionContext {
  const Users& users;
  Storage& storage;
  LoginGuard& guard;
  const Limits& limits;
  asio::thread_pool& login_checks;  // where passwords are checked, off the I/O threads
  std::atomic<uint64_t> logins{0};  // counts successful logins: their order decides takeovers
};

class Session : public std::enable_shared_from_this<Session>, public Evictable, public ClaimHolder {
 public:
  // The stream's executor must be a strand of its own: the timers share it. The ticket is
  // the connection's place among those not logged in; it is given back at login.
  Session(TcpStream stream, SessionContext& context);
  void Start(Gate::Ticket ticket);

  void Evict() override;
  void Revoke(std::function<void()> done) override;

 private:
  enum class State { kHello, kLogin, kReady, kData, kEnd };
  struct Answer {
    std::string line;
    bool close = false;
  };

  void Process();
  void ReadMore();
  void Send(Answer answer);
  void CloseGracefully();
  // Ends the connection at once: timers stopped, the file let go (no write after this).
  void Abort();
  void UseBuffer(size_t size);
  // Gives the data buffer back when bytes stop coming (kept while they flow, file after
  // file).
  void WatchData();
  std::optional<Answer> Handle(std::string_view line);
  std::optional<Answer> Login(std::string_view user, std::string_view password);
  void CheckLogin(std::string user, std::string password,
                  std::chrono::steady_clock::time_point turn);
  Answer LoginChecked(const std::string& user, std::chrono::steady_clock::time_point turn,
                      bool ok);
  // ERR 401, closing the connection after its last allowed failure.
  Answer LoginFailed(std::string_view why);
  std::optional<Answer> Put(std::string_view name, std::string_view size);
  std::optional<Answer> Claim(std::string path, uint64_t size,
                              std::chrono::steady_clock::time_point until);
  Answer From(std::string_view from);
  Answer End(std::string_view checksum);
  static Answer Ok(std::string fields = {});
  static Answer Err(int code, std::string_view message);
  static Answer Err(const Status& status);

  TcpStream stream_;
  SessionContext& context_;
  const std::string address_;  // the client's address as limits group it
  Gate::Ticket ticket_;
  asio::steady_timer deadline_;  // login deadline, then the closing deadline
  asio::steady_timer wait_;      // a delayed LOGIN answer, a PUT waiting for its file
  asio::steady_timer idle_;      // gives the data buffer back when bytes stop
  bool closed_ = false;
  bool reading_ = false;      // a read is pending
  bool pausing_ = false;      // the pending read was cancelled to give the data buffer back
  uint64_t bytes_read_ = 0;
  uint64_t bytes_seen_ = 0;   // bytes_read_ when the watch last looked
  CountedState<State> state_{State::kHello};  // counted in the connection metrics
  unsigned failed_logins_ = 0;
  uint64_t login_ = 0;  // this connection's place in the order of logins
  std::string user_;
  std::unique_ptr<Upload> upload_;
  std::unique_ptr<Upload> finished_;  // ended; released once its answer is on the way
  std::vector<char> buffer_;
  size_t begin_ = 0, end_ = 0;  // unread bytes in buffer_
  std::string reply_;
};

}  // namespace ovr
