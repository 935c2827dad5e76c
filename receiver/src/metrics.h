// Counters for an operator's monitoring, served as Prometheus text at /metrics on a
// listener of their own (off unless asked for).
#pragma once

#include <asio.hpp>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

namespace ovr {

// Upload connections by where they are in OVT/1, in the order of Session::State.
constexpr std::array<const char*, 5> kConnectionStates = {"hello", "login", "ready", "data",
                                                          "end"};

// Limits that turned something away or cut it short.
enum class Limit {
  kLoginTimeout,
  kLineTooLong,
  kClaimWait,
  kStillTooLarge,
  kLoginAttempts,
  kLoginGuard,
  kConnections,
  kHttpBytes,
  kHttpTimeout,
  kPartialBytesPerUser,
  kCount
};
constexpr std::array<const char*, static_cast<size_t>(Limit::kCount)> kLimitNames = {
    "login_timeout", "line_too_long", "claim_wait",  "still_too_large",
    "login_attempts", "login_guard",  "connections", "http_bytes",
    "http_timeout",  "partial_bytes_per_user"};

// One set per process, counted where things happen; atomics, since every thread counts.
struct Metrics {
  std::array<std::atomic<int64_t>, kConnectionStates.size()> connections{};
  std::atomic<uint64_t> logins_ok{0}, logins_failed{0};
  std::atomic<uint64_t> uploads_completed{0}, uploads_failed{0}, uploads_resumed{0};
  std::atomic<uint64_t> bytes_received{0};
  std::array<std::atomic<uint64_t>, kLimitNames.size()> limit_hits{};

  void Hit(Limit limit) { ++limit_hits[static_cast<size_t>(limit)]; }
};

Metrics& metrics();

// A connection's state as the connection gauges see it: assigning moves the connection
// from one state's count to the other's; the last state's count drops when it goes.
template <typename State>
class CountedState {
 public:
  explicit CountedState(State s) : value_(s) { Count(s, 1); }
  ~CountedState() { Count(value_, -1); }
  CountedState(const CountedState&) = delete;
  CountedState& operator=(const CountedState&) = delete;
  CountedState& operator=(State s) {
    Count(value_, -1);
    Count(value_ = s, 1);
    return *this;
  }
  operator State() const { return value_; }

 private:
  static void Count(State s, int64_t d) { metrics().connections[static_cast<size_t>(s)] += d; }
  State value_;
};

// The whole /metrics page: the counters, and the bytes of unfinished uploads held in
// partial_dir (read from the folder, so it also counts what earlier runs left).
std::string RenderMetrics(const Metrics& m, const std::filesystem::path& partial_dir);

// Serves GET /metrics on its own listener until the io_context stops.
class MetricsEndpoint {
 public:
  // Throws std::system_error when the address cannot be bound; port 0 picks a free one.
  MetricsEndpoint(asio::io_context& io, const std::string& bind, uint16_t port,
                  std::filesystem::path partial_dir);
  uint16_t port() const { return port_; }

 private:
  void Accept();
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  std::filesystem::path partial_dir_;
  uint16_t port_ = 0;
};

}  // namespace ovr
