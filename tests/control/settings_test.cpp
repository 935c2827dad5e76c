#include <gtest/gtest.h>

#include "ovtransfer/com/registry.h"
#include "ovtransfer/com/unique.h"
#include "ovtransfer/control/settings.h"

namespace {

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override { com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey); }
  void TearDown() override { com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey); }
};

TEST_F(SettingsStore, MissingKeyLeavesTheValueAndTheFirstWriteCreatesIt) {
  DWORD value = 2048;
  EXPECT_FALSE(settings::ReadDword(settings::kMaxUploadRate, &value));
  EXPECT_EQ(value, 2048u);

  ASSERT_TRUE(settings::WriteDword(settings::kMaxTaskCount, 6));
  EXPECT_FALSE(settings::ReadDword(settings::kMaxUploadRate, &value)) << "only the value written exists";
  ASSERT_TRUE(settings::ReadDword(settings::kMaxTaskCount, &value));
  EXPECT_EQ(value, 6u);

  DWORD type = 0, size = 0;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, settings::kSettingsKey, L"MaxTaskCount", RRF_RT_ANY, &type, nullptr,
                         &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);
}

TEST_F(SettingsStore, FourBytesAreReadWhateverTheirTypeAndOtherSizesAreAbsent) {
  com::UniqueHKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, settings::kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(),
                            nullptr),
            ERROR_SUCCESS);
  const BYTE rate[] = {0x00, 0x04, 0x00, 0x00};
  RegSetValueExW(key.Get(), L"MaxUploadRate", 0, REG_BINARY, rate, sizeof(rate));
  ULONGLONG wide = 8;
  RegSetValueExW(key.Get(), L"MaxTaskCount", 0, REG_QWORD, reinterpret_cast<BYTE*>(&wide), sizeof(wide));
  key.Reset();

  DWORD value = 7;
  ASSERT_TRUE(settings::ReadDword(settings::kMaxUploadRate, &value));
  EXPECT_EQ(value, 1024u);
  value = 7;
  EXPECT_FALSE(settings::ReadDword(settings::kMaxTaskCount, &value)) << "eight bytes are no limit";
  EXPECT_EQ(value, 7u);

  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, settings::kSettingsKey, 0, KEY_WRITE, key.Receive()), ERROR_SUCCESS);
  RegSetValueExW(key.Get(), L"MaxTaskCount", 0, REG_BINARY, rate, 2);
  key.Reset();
  EXPECT_FALSE(settings::ReadDword(settings::kMaxTaskCount, &value)) << "nor are two";
  EXPECT_EQ(value, 7u);
}

}  // namespace
