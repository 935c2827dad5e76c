// Everything a site can set: one struct, filled from the command line through one table of
// options (a settings file can map its keys onto the same table).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ovr {

using Seconds = std::chrono::seconds;

// The receiver's limits, each with the option that sets it (docs/receiver.md says what a
// client sees when it hits one).
struct Limits {
  Seconds login_timeout{15};             // --login-timeout
  size_t pending_per_address = 256;       // --pending-per-address: connections not logged in
  size_t pending_total = 1024;            // --pending-total
  unsigned login_attempts = 3;           // --login-attempts: failed LOGINs per connection
  Seconds login_delay_max{8};            // --login-delay-max: longest wait after failures
  Seconds claim_wait{3};                 // --claim-wait: PUT waiting for another connection
  uint64_t partial_bytes_per_user = 100ull << 30;   // --partial-bytes-per-user
  Seconds partial_max_age{7 * 24 * 3600};           // --partial-max-age
  size_t http_per_address = 64;          // --http-per-address: open HTTP connections
  size_t http_total = 512;               // --http-total
  uint64_t http_bytes_per_address = 16ull << 20;    // --http-bytes-per-address
  uint64_t http_bytes_total = 128ull << 20;         // --http-bytes-total
  Seconds http_timeout{300};             // --http-timeout: a whole request, head and body
};

struct Config {
  std::string root, users, bind = "0.0.0.0", log;
  uint16_t port = 8852;
  std::optional<uint16_t> http_port;
  bool sync = false;
  std::string metrics_bind = "127.0.0.1";
  std::optional<uint16_t> metrics_port;
  std::string tls_cert, tls_key;     // PEM files; TLS on both ports unless plain
  bool plain = false;                // --plain: no TLS at all
  bool http_plain = false;           // --http-plain: the HTTP endpoint in clear
  Limits limits;
};

// Sets the option called name (without "--") from its text; gives an error for people, or
// "" on success. Flags (--sync) take "" as their value.
std::string SetOption(Config& config, const std::string& name, const std::string& value);
// True for options that take no value.
bool IsFlag(const std::string& name);
// The usage text, one line per option with its default.
std::string Usage();

// "90", "90s", "15m", "2h", "7d".
bool ParseDuration(const std::string& text, Seconds& value);
// "512", "64K", "16M", "100G", "1T" (powers of 1024).
bool ParseBytes(const std::string& text, uint64_t& value);

}  // namespace ovr
