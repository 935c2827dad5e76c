#include <gtest/gtest.h>

#include <cstdint>

#include "components/engine/stall_setting.h"
#include "ovtransfer/com/registry.h"
#include "ovtransfer/com/unique.h"

namespace {

using ovengine::StallTimeoutMs;

// A key of the test's own, so that engines of other tests keep the user's real setting.
constexpr wchar_t kKey[] = L"Software\\Corvane\\EngineStallTest";

class StallSetting : public ::testing::Test {
 protected:
  void SetUp() override { com::DeleteTree(HKEY_CURRENT_USER, kKey); }
  void TearDown() override { com::DeleteTree(HKEY_CURRENT_USER, kKey); }

  void Write(DWORD type, const void* data, DWORD size) {
    com::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.Get(), ovengine::kStallSecondsValue, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }
  void WriteSeconds(DWORD seconds) { Write(REG_DWORD, &seconds, sizeof(seconds)); }
};

TEST_F(StallSetting, SecondsWithinFiveToSixHundredAreTakenAndAnythingElseGivesThirty) {
  EXPECT_EQ(StallTimeoutMs(kKey), 30000u) << "no key";
  for (DWORD seconds : {5u, 17u, 600u}) {
    WriteSeconds(seconds);
    EXPECT_EQ(StallTimeoutMs(kKey), seconds * 1000) << seconds;
  }
  // Out of range; the largest would overflow the milliseconds if it were multiplied.
  for (DWORD seconds : {0u, 4u, 601u, 4294968u, 0xFFFFFFFFu}) {
    WriteSeconds(seconds);
    EXPECT_EQ(StallTimeoutMs(kKey), 30000u) << seconds;
  }
}

TEST_F(StallSetting, OnlyAFourByteDwordCounts) {
  const DWORD ten = 10;
  Write(REG_BINARY, &ten, sizeof(ten));
  EXPECT_EQ(StallTimeoutMs(kKey), 30000u) << "binary";
  Write(REG_DWORD_BIG_ENDIAN, &ten, sizeof(ten));
  EXPECT_EQ(StallTimeoutMs(kKey), 30000u) << "big-endian";
  const uint64_t wide = 10;
  Write(REG_QWORD, &wide, sizeof(wide));
  EXPECT_EQ(StallTimeoutMs(kKey), 30000u) << "eight bytes";
  Write(REG_DWORD, &ten, 2);
  EXPECT_EQ(StallTimeoutMs(kKey), 30000u) << "two bytes";
  Write(REG_SZ, L"10", sizeof(L"10"));
  EXPECT_EQ(StallTimeoutMs(kKey), 30000u) << "text";
}

}  // namespace
