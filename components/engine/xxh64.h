// XXH64, the checksum the receiver compares at END: fed in pieces of any size, it gives the
// same value as over the whole content at once.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ovengine {

class Xxh64 {
 public:
  explicit Xxh64(uint64_t seed = 0);
  void Update(const void* data, size_t size);
  uint64_t Digest() const;

 private:
  uint64_t acc_[4];
  uint64_t seed_;
  uint64_t total_ = 0;
  unsigned char pending_[32];  // the tail that does not fill a stripe yet
  size_t pending_size_ = 0;
};

uint64_t Xxh64Of(const void* data, size_t size, uint64_t seed = 0);

}  // namespace ovengine
