// The upload rate limit. A token bucket a small fraction of a second deep keeps the bytes
// evenly spread, and a record of the last second's grants makes sure that no one-second
// window ever carries more than the rate, however late the sender wakes.
// Time is given by the caller (microseconds), so the limiter runs on any clock.
#pragma once
#include <cstdint>
#include <deque>
#include <utility>

namespace ovengine {

class TokenBucket {
 public:
  // The most one grant gives, limited or not.
  static constexpr uint64_t kMaxChunk = 1024 * 1024;

  struct Grant {
    uint64_t bytes;   // may go now (the caller sends exactly these), or 0
    int64_t wait_us;  // when bytes is 0: how long until a grant is due
  };

  // Bits per second, 0 for no limit. A new rate applies at once: the allowance starts afresh.
  void SetRate(uint64_t bits_per_second, int64_t now_us);
  uint64_t Rate() const { return rate_; }
  // The largest grant at the current rate: a fiftieth of a second's bytes.
  uint64_t ChunkLimit() const;

  // Up to want bytes (want > 0) that may be sent at now_us; now_us never goes back.
  Grant Take(uint64_t want, int64_t now_us);

 private:
  void Refill(int64_t now_us);
  uint64_t WindowLimit() const;

  uint64_t rate_ = 0;
  uint64_t tokens_ = 0;  // in bit-microseconds: a byte costs 8 000 000
  int64_t last_us_ = 0;
  std::deque<std::pair<int64_t, uint64_t>> window_;  // grants of the last second
  uint64_t window_bytes_ = 0;
};

}  // namespace ovengine
