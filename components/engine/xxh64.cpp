#include "xxh64.h"

#include <cstring>

namespace ovengine {
namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// The algorithm reads little-endian words whatever the machine.
uint64_t Read64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint32_t Read32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Round(uint64_t acc, uint64_t input) {
  acc += input * kPrime2;
  acc = Rotl(acc, 31);
  return acc * kPrime1;
}

uint64_t MergeRound(uint64_t acc, uint64_t value) {
  acc ^= Round(0, value);
  return acc * kPrime1 + kPrime4;
}

void Stripe(uint64_t (&acc)[4], const unsigned char* p) {
  for (int i = 0; i < 4; ++i) acc[i] = Round(acc[i], Read64(p + 8 * i));
}

}  // namespace

Xxh64::Xxh64(uint64_t seed)
    : acc_{seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1}, seed_(seed) {}

void Xxh64::Update(const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  total_ += size;
  if (pending_size_ > 0) {
    const size_t take = size < 32 - pending_size_ ? size : 32 - pending_size_;
    std::memcpy(pending_ + pending_size_, p, take);
    pending_size_ += take;
    p += take;
    size -= take;
    if (pending_size_ < 32) return;
    Stripe(acc_, pending_);
    pending_size_ = 0;
  }
  for (; size >= 32; p += 32, size -= 32) Stripe(acc_, p);
  std::memcpy(pending_, p, size);
  pending_size_ = size;
}

uint64_t Xxh64::Digest() const {
  uint64_t h;
  if (total_ >= 32) {
    h = Rotl(acc_[0], 1) + Rotl(acc_[1], 7) + Rotl(acc_[2], 12) + Rotl(acc_[3], 18);
    for (uint64_t a : acc_) h = MergeRound(h, a);
  } else {
    h = seed_ + kPrime5;
  }
  h += total_;
  const unsigned char* p = pending_;
  size_t left = pending_size_;
  for (; left >= 8; p += 8, left -= 8) h = Rotl(h ^ Round(0, Read64(p)), 27) * kPrime1 + kPrime4;
  if (left >= 4) {
    h = Rotl(h ^ (static_cast<uint64_t>(Read32(p)) * kPrime1), 23) * kPrime2 + kPrime3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; ++p, --left) h = Rotl(h ^ (*p * kPrime5), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

uint64_t Xxh64Of(const void* data, size_t size, uint64_t seed) {
  Xxh64 hash(seed);
  hash.Update(data, size);
  return hash.Digest();
}

}  // namespace ovengine
