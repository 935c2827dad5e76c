#include "token_bucket.h"

#include <algorithm>

namespace ovengine {
namespace {

constexpr int64_t kSecondUs = 1000000;
constexpr uint64_t kByteCost = 8 * 1000000;  // bit-microseconds of one byte
constexpr uint64_t kChunksPerSecond = 50;
constexpr uint64_t kDepthChunks = 2;

}  // namespace

void TokenBucket::SetRate(uint64_t bits_per_second, int64_t now_us) {
  if (bits_per_second == rate_) return;  // the same rate again must not open a second window
  rate_ = bits_per_second;
  tokens_ = 0;
  last_us_ = now_us;
  window_.clear();
  window_bytes_ = 0;
}

uint64_t TokenBucket::WindowLimit() const { return std::max<uint64_t>(rate_ / 8, 1); }

uint64_t TokenBucket::ChunkLimit() const {
  if (rate_ == 0) return kMaxChunk;
  return std::clamp<uint64_t>(rate_ / 8 / kChunksPerSecond, 1, kMaxChunk);
}

void TokenBucket::Refill(int64_t now_us) {
  const uint64_t capacity = kDepthChunks * ChunkLimit() * kByteCost;
  if (now_us > last_us_) {
    // Cut the interval first: a long pause must not overflow the product.
    const uint64_t elapsed = static_cast<uint64_t>(now_us - last_us_);
    const uint64_t to_full = (capacity - std::min(capacity, tokens_)) / rate_ + 1;
    tokens_ = std::min(capacity, tokens_ + std::min(elapsed, to_full) * rate_);
    last_us_ = now_us;
  }
  while (!window_.empty() && window_.front().first + kSecondUs <= now_us) {
    window_bytes_ -= window_.front().second;
    window_.pop_front();
  }
}

TokenBucket::Grant TokenBucket::Take(uint64_t want, int64_t now_us) {
  if (rate_ == 0) return {std::min(want, kMaxChunk), 0};
  Refill(now_us);
  // What is left of the last second's allowance may be less than a chunk: granting just that
  // keeps every window full, so the long-run rate is exact whatever the chunk size.
  const uint64_t room = WindowLimit() - window_bytes_;
  const uint64_t grant = std::min({want, ChunkLimit(), room});
  if (grant > 0 && tokens_ >= grant * kByteCost) {
    tokens_ -= grant * kByteCost;
    window_.emplace_back(now_us, grant);
    window_bytes_ += grant;
    return {grant, 0};
  }
  if (grant > 0) return {0, static_cast<int64_t>((grant * kByteCost - tokens_ + rate_ - 1) / rate_)};
  // The window is full: the oldest grant must leave it first.
  return {0, std::max<int64_t>(window_.front().first + kSecondUs - now_us, 1)};
}

}  // namespace ovengine
