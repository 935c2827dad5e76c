// Slows password guessing: after failed LOGINs, later attempts from the same client address
// and for the same user name wait a delay that doubles with each failure (up to a limit),
// and each failure is reported on standard error (rate-limited).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace ovr {

class LoginGuard {
 public:
  using Clock = std::chrono::steady_clock;
  // report receives each line for standard error; by default they go there.
  explicit LoginGuard(Clock::duration max_delay,
                      std::function<void(const std::string&)> report = nullptr);

  // The time at which an attempt from address (a limits key) for user may be checked. Each
  // attempt takes its own turn, so attempts waiting at once are spread out, not let through
  // together; none when the turns are taken further ahead than the longest delay (the
  // attempt is then refused unchecked, and the queue never grows without bound).
  std::optional<Clock::time_point> Admit(const std::string& address, const std::string& user);
  // A right password at the turn Admit gave: that turn is given back when no later
  // attempt has taken one since, so that people logging in after a typo do not queue.
  void Succeeded(const std::string& address, const std::string& user, Clock::time_point turn);
  // Records a wrong user name or password; peer is the address as people read it.
  void Failed(const std::string& address, const std::string& peer, const std::string& user);

  // The wait after the n-th failure in a row.
  Clock::duration Delay(unsigned failures) const;

 private:
  struct Record {
    unsigned failures = 0;
    Clock::time_point next{};  // earliest time of the next attempt
    Clock::time_point last{};  // last failure
  };
  using Table = std::unordered_map<std::string, Record>;
  Record* Recent(Table& table, const std::string& key, Clock::time_point now);
  void Fail(Table& table, const std::string& key, Clock::time_point now);
  void Report(const std::string& line, Clock::time_point now);

  const Clock::duration max_delay_;
  std::function<void(const std::string&)> report_;
  std::mutex mutex_;
  Table addresses_, users_;
  double report_tokens_ = 0;
  Clock::time_point report_time_{};
  uint64_t unreported_ = 0;
};

}  // namespace ovr
