// The HTTP endpoint for the control's duration reports and stills: POST <target> with
// "$dur$=<seconds>" in the query, an empty body (duration) or a JPEG still.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "config.h"
#include "gate.h"
#include "storage.h"
#include "stream.h"

namespace ovr {

// Largest still the control sends.
constexpr size_t kMaxStill = 2047998;

// Bytes held by unfinished requests, per client address and in all.
class ByteBudget {
 public:
  ByteBudget(uint64_t per_address, uint64_t total) : per_address_(per_address), total_(total) {}
  // False, taking nothing, when n more bytes would pass either limit.
  bool Take(const std::string& address, uint64_t n);
  void Give(const std::string& address, uint64_t n);
  uint64_t held() const;

 private:
  const uint64_t per_address_, total_;
  mutable std::mutex mutex_;
  uint64_t held_ = 0;
  std::unordered_map<std::string, uint64_t> by_address_;
};

// What all HTTP connections share.
struct HttpContext {
  HttpContext(Storage& s, const Limits& l)
      : storage(s), limits(l), gate(l.http_per_address, l.http_total),
        budget(l.http_bytes_per_address, l.http_bytes_total) {}
  Storage& storage;
  const Limits& limits;
  Gate gate;
  ByteBudget budget;
};

// Serves one connection (one request); the stream's executor must be a strand of its own.
void ServeHttp(TcpStream stream, HttpContext& context);

// The last "$dur$" value in the target's query, if it is a decimal number (a '-' allowed).
bool FindDuration(std::string_view target, std::string& seconds);
// A file-name-safe text made from the query (without "$dur$") for a still's name.
std::string StillHint(std::string_view target);

}  // namespace ovr
