// The checksum's running state at recent positions of the file being sent, so that a transfer
// that goes on after a break hashes only from the nearest kept position before the server's
// offset, not the whole file from its start again.
#pragma once
#include <cstdint>
#include <deque>
#include <utility>

#include "xxh64.h"

namespace ovengine {

class HashCheckpoints {
 public:
  // States kept: the engine records one per 256 KiB it reads, and a break loses at most what
  // was in flight, the socket buffers on the way (a few MiB), far less than these 32 MiB.
  static constexpr size_t kKept = 128;

  // The state after the file's first position bytes; positions must grow between Clear calls.
  void Record(uint64_t position, const Xxh64& hash);
  // The latest kept position at or before offset, its state in *hash; 0 and a fresh state
  // when none is kept.
  uint64_t Nearest(uint64_t offset, Xxh64* hash) const;
  void Clear() { kept_.clear(); }

 private:
  std::deque<std::pair<uint64_t, Xxh64>> kept_;
};

}  // namespace ovengine
