#include <gtest/gtest.h>

#include "ovtransfer/com/registry.h"
#include "ovtransfer/module/settings.h"

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

TEST_F(SettingsStore, ValuesOfAnotherShapeAreIgnored) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, settings::kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ULONGLONG wide = 8192;
  RegSetValueExW(key, L"MaxUploadRate", 0, REG_QWORD, reinterpret_cast<BYTE*>(&wide), sizeof(wide));
  RegSetValueExW(key, L"MaxTaskCount", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"8"), 4);
  RegCloseKey(key);

  DWORD value = 7;
  EXPECT_FALSE(settings::ReadDword(settings::kMaxUploadRate, &value));
  EXPECT_FALSE(settings::ReadDword(settings::kMaxTaskCount, &value));
  EXPECT_EQ(value, 7u);
}

}  // namespace
