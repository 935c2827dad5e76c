#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "components/engine/token_bucket.h"

namespace {

using ovengine::TokenBucket;

constexpr int64_t kSecond = 1000000;

struct Sent {
  int64_t at;
  uint64_t bytes;
};

// A sender that always has data and wakes up to 3 ms late, as a real thread does.
class Sender {
 public:
  explicit Sender(TokenBucket& bucket, uint64_t want = 1 << 20) : bucket_(bucket), want_(want) {}
  void RunUntil(int64_t end) {
    while (now < end) {
      const TokenBucket::Grant grant = bucket_.Take(want_, now);
      if (grant.bytes > 0) {
        ASSERT_LE(grant.bytes, want_);
        log.push_back({now, grant.bytes});
        now += late_(random_) / 4;  // the send itself takes a little time
      } else {
        ASSERT_GT(grant.wait_us, 0);
        now += grant.wait_us + late_(random_);
      }
    }
  }
  uint64_t BytesBetween(int64_t from, int64_t to) const {
    uint64_t sum = 0;
    for (const Sent& s : log)
      if (s.at >= from && s.at < to) sum += s.bytes;
    return sum;
  }
  // The most bytes in any one-second window that starts at a send at or after from.
  uint64_t BusiestSecond(int64_t from = 0) const {
    uint64_t most = 0;
    for (const Sent& s : log)
      if (s.at >= from) most = std::max(most, BytesBetween(s.at, s.at + kSecond));
    return most;
  }

  int64_t now = 0;
  std::vector<Sent> log;

 private:
  TokenBucket& bucket_;
  uint64_t want_;
  std::mt19937 random_{42};
  std::uniform_int_distribution<int64_t> late_{0, 3000};
};

TEST(TokenBucket, NoOneSecondWindowCarriesMoreThanTheRateAndTheLongRunIsExact) {
  for (uint64_t rate : {8192ull, 102400ull, 1048576ull, 8388608ull, 100000000ull}) {
    TokenBucket bucket;
    bucket.SetRate(rate, 0);
    Sender sender(bucket);
    sender.RunUntil(20 * kSecond);
    // The control repeats the rate for every file: that must not open a fresh allowance.
    bucket.SetRate(rate, sender.now);
    sender.RunUntil(40 * kSecond);
    const uint64_t per_second = rate / 8;
    EXPECT_LE(sender.BusiestSecond(), per_second) << "rate " << rate;
    const double total = static_cast<double>(sender.BytesBetween(0, 40 * kSecond));
    EXPECT_NEAR(total / 40, static_cast<double>(per_second), per_second * 0.003) << "rate " << rate;
    // Evenly spread: no grant is larger than a fiftieth of a second's bytes.
    for (const Sent& s : sender.log) ASSERT_LE(s.bytes, std::max<uint64_t>(per_second / 50, 1));
  }
}

TEST(TokenBucket, SmallWritesAndSlowRatesKeepTheLimit) {
  TokenBucket bucket;
  bucket.SetRate(1024, 0);  // 128 bytes a second
  Sender sender(bucket, 5);
  sender.RunUntil(30 * kSecond);
  EXPECT_LE(sender.BusiestSecond(), 128u);
  EXPECT_NEAR(static_cast<double>(sender.BytesBetween(0, 30 * kSecond)) / 30, 128.0, 2.0);
}

TEST(TokenBucket, ANewRateAppliesAtOnce) {
  TokenBucket bucket;
  bucket.SetRate(8388608, 0);
  Sender sender(bucket);
  sender.RunUntil(5 * kSecond);
  const int64_t lowered = sender.now;
  bucket.SetRate(102400, lowered);
  sender.RunUntil(lowered + 5 * kSecond);
  EXPECT_LE(sender.BusiestSecond(lowered), 12800u);
  EXPECT_GE(sender.BytesBetween(lowered, lowered + kSecond), 12800u * 9 / 10) << "the new rate is used from the start";

  const int64_t raised = sender.now;
  bucket.SetRate(8388608, raised);
  sender.RunUntil(raised + 3 * kSecond);
  EXPECT_GE(sender.BytesBetween(raised, raised + kSecond), 1048576u * 9 / 10);
  EXPECT_LE(sender.BusiestSecond(raised), 1048576u);
}

TEST(TokenBucket, ZeroMeansUnlimited) {
  TokenBucket bucket;
  bucket.SetRate(102400, 0);
  bucket.SetRate(0, 0);
  const TokenBucket::Grant big = bucket.Take(10u << 20, 0);
  EXPECT_EQ(big.bytes, TokenBucket::kMaxChunk);
  EXPECT_EQ(big.wait_us, 0);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(bucket.Take(100, 0).bytes, 100u) << "no waiting, at any amount";
}

}  // namespace
