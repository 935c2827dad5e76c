#include "hash_checkpoints.h"

namespace ovengine {

void HashCheckpoints::Record(uint64_t position, const Xxh64& hash) {
  if (!kept_.empty() && kept_.back().first >= position) return;
  kept_.emplace_back(position, hash);
  if (kept_.size() > kKept) kept_.pop_front();
}

uint64_t HashCheckpoints::Nearest(uint64_t offset, Xxh64* hash) const {
  for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
    if (it->first <= offset) {
      *hash = it->second;
      return it->first;
    }
  }
  *hash = Xxh64();
  return 0;
}

}  // namespace ovengine
