#include <gtest/gtest.h>

#include <string>

#include "components/engine/hash_checkpoints.h"
#include "components/engine/xxh64.h"

namespace {

using ovengine::Xxh64;
using ovengine::Xxh64Of;

std::string Pattern(size_t size) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes += static_cast<char>(i * 7 % 251);
  return bytes;
}

uint64_t Of(const std::string& bytes) { return Xxh64Of(bytes.data(), bytes.size()); }

// Reference values from xxhsum -H1 (xxHash 0.8.1).
TEST(Xxh64, KnownVectors) {
  EXPECT_EQ(Of(""), 0xef46db3751d8e999ULL);
  EXPECT_EQ(Of("a"), 0xd24ec4f1a98c6e5bULL);
  EXPECT_EQ(Of("abc"), 0x44bc2cf5ad770999ULL);
  EXPECT_EQ(Of("The quick brown fox jumps over the lazy dog"), 0x0b242d361fda71bcULL);
  EXPECT_EQ(Of(Pattern(35)), 0x341520df4cf2059eULL);   // one stripe, an 8-, a 4- and a 1-byte tail
  EXPECT_EQ(Of(Pattern(100)), 0xb7fe1d84b2f23a05ULL);  // three stripes and a tail
  std::string all;
  for (int i = 0; i < 1024; ++i) all += static_cast<char>(i & 255);
  EXPECT_EQ(Of(all), 0x6f3914f18fe4df57ULL);
}

TEST(Xxh64, PiecesOfAnySizeGiveTheWholeContentsValue) {
  const std::string bytes = Pattern(300);
  const uint64_t whole = Of(bytes);
  for (size_t first = 0; first <= bytes.size(); ++first) {
    for (size_t piece : {1, 3, 31, 32, 33, 64}) {
      Xxh64 hash;
      hash.Update(bytes.data(), first);
      for (size_t at = first; at < bytes.size(); at += piece)
        hash.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
      ASSERT_EQ(hash.Digest(), whole) << "first " << first << " then pieces of " << piece;
    }
  }
}

}  // namespace

namespace {

// A transfer that goes on after a break finishes the checksum from a kept state: it must come
// out as over the whole file, whichever kept position is nearest below the server's offset.
TEST(HashCheckpoints, GoingOnFromTheNearestKeptStateGivesTheWholeFilesChecksum) {
  constexpr uint64_t kPiece = 1000, kKept = ovengine::HashCheckpoints::kKept;
  const std::string bytes = Pattern(kPiece * (kKept + 36));
  // Positions kPiece, 2 kPiece, ... are recorded: the last kKept of them are kept.
  const uint64_t oldest = bytes.size() - kPiece * (kKept - 1);
  ovengine::HashCheckpoints kept;
  Xxh64 running;
  for (size_t pos = 0; pos < bytes.size(); pos += 1000) {
    running.Update(bytes.data() + pos, 1000);
    kept.Record(pos + 1000, running);
  }
  for (uint64_t offset : {uint64_t{0}, uint64_t{999}, uint64_t{1000}, oldest - 500, oldest + 500,
                          uint64_t{bytes.size()}}) {
    Xxh64 hash;
    const uint64_t from = kept.Nearest(offset, &hash);
    EXPECT_LE(from, offset);
    if (offset >= oldest) {
      EXPECT_GT(from + 1000, offset) << "the nearest state is taken";
    } else {
      EXPECT_EQ(from, 0u) << "states older than those kept are gone: from the start";
    }
    hash.Update(bytes.data() + from, bytes.size() - from);
    EXPECT_EQ(hash.Digest(), Of(bytes)) << offset;
  }
}

}  // namespace
