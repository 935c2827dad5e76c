#include "login_guard.h"

#include <cstdio>

#include "event_log.h"

namespace ovr {
namespace {

constexpr auto kFirstDelay = std::chrono::milliseconds(250);
// Failures are forgotten after this quiet time, and the tables never hold more records than
// kMaxRecords (the quietest go first), whatever the number of names and addresses tried.
constexpr auto kForget = std::chrono::minutes(15);
constexpr size_t kMaxRecords = 20000;
// Standard error gets at most this many lines a second (bursts of as many).
constexpr double kReportsPerSecond = 5;

}  // namespace

LoginGuard::LoginGuard(Clock::duration max_delay, std::function<void(const std::string&)> report)
    : max_delay_(max_delay), report_(std::move(report)) {
  if (!report_) report_ = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
}

LoginGuard::Clock::duration LoginGuard::Delay(unsigned failures) const {
  if (failures == 0) return Clock::duration::zero();
  Clock::duration d = kFirstDelay;
  for (unsigned i = 1; i < failures && d < max_delay_; ++i) d *= 2;
  return std::min(d, max_delay_);
}

LoginGuard::Record* LoginGuard::Recent(Table& table, const std::string& key, Clock::time_point now) {
  auto it = table.find(key);
  if (it == table.end()) return nullptr;
  if (now - it->second.last > kForget && it->second.next < now) {
    table.erase(it);
    return nullptr;
  }
  return &it->second;
}

std::optional<LoginGuard::Clock::time_point> LoginGuard::Admit(const std::string& address,
                                                              const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::time_point now = Clock::now(), at = now;
  Record* records[] = {Recent(addresses_, address, now), Recent(users_, user, now)};
  for (Record* r : records)
    if (r && r->next > at) at = r->next;
  if (at - now > max_delay_) return std::nullopt;
  for (Record* r : records)
    if (r) r->next = at + Delay(r->failures);
  return at;
}

void LoginGuard::Succeeded(const std::string& address, const std::string& user,
                           Clock::time_point turn) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::time_point now = Clock::now();
  for (Record* r : {Recent(addresses_, address, now), Recent(users_, user, now)})
    if (r && r->next == turn + Delay(r->failures)) r->next = turn;
}

void LoginGuard::Fail(Table& table, const std::string& key, Clock::time_point now) {
  if (table.size() >= kMaxRecords && !table.count(key)) {
    for (auto it = table.begin(); it != table.end();)
      it = now - it->second.last > kForget ? table.erase(it) : std::next(it);
    if (table.size() >= kMaxRecords) {
      auto quietest = table.begin();
      for (auto it = table.begin(); it != table.end(); ++it)
        if (it->second.last < quietest->second.last) quietest = it;
      table.erase(quietest);
    }
  }
  Record& r = table[key];
  if (now - r.last > kForget) r.failures = 0;
  ++r.failures;
  r.last = now;
  if (r.next < now + Delay(r.failures)) r.next = now + Delay(r.failures);
}

void LoginGuard::Failed(const std::string& address, const std::string& peer, const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::time_point now = Clock::now();
  Fail(addresses_, address, now);
  Fail(users_, user, now);
  Report("ovreceiver: failed login from " + peer + " as " + LogField(user) + " (" +
             std::to_string(addresses_[address].failures) + " in a row from there)",
         now);
}

void LoginGuard::Report(const std::string& line, Clock::time_point now) {
  double elapsed = std::chrono::duration<double>(now - report_time_).count();
  report_time_ = now;
  report_tokens_ = std::min(kReportsPerSecond, report_tokens_ + elapsed * kReportsPerSecond);
  if (report_tokens_ < 1) {
    ++unreported_;
    return;
  }
  report_tokens_ -= 1;
  std::string text = line;
  if (unreported_ > 0) text += "; " + std::to_string(unreported_) + " more failed logins not shown";
  unreported_ = 0;
  report_(text);
}

}  // namespace ovr
