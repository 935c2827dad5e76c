#include <gtest/gtest.h>

#include "ovtransfer/com/registry.h"
#include "support/com_apartment.h"

namespace {

using testing_support::ReadRegString;
using testing_support::RegKeyExists;

TEST(Substitute, ReplacesKnownNamesOnly) {
  com::Replacements r = {{L"MODULE", L"C:\\a b\\x.dll"}, {L"APPID", L"{1}"}};
  EXPECT_EQ(com::Substitute(L"%MODULE%, 102", r), L"C:\\a b\\x.dll, 102");
  EXPECT_EQ(com::Substitute(L"AppID\\%APPID%", r), L"AppID\\{1}");
  EXPECT_EQ(com::Substitute(L"100%% %OTHER% 50%", r), L"100% %OTHER% 50%");
  // A value that itself holds a marker is not replaced again.
  EXPECT_EQ(com::Substitute(L"%A%", {{L"A", L"%B%"}, {L"B", L"no"}}), L"%B%");
}

TEST(RegistryWriter, WritesEntriesAndRemovesTrees) {
  const std::wstring root = L"Software\\OvTransferTests\\Writer";
  ASSERT_EQ(com::DeleteTree(HKEY_CURRENT_USER, root), S_OK);
  ASSERT_EQ(com::WriteEntries(HKEY_CURRENT_USER,
                              {{L"%R%", nullptr, L"top"},
                               {L"%R%\\Child", L"Named", L"%V%"},
                               {L"%R%\\Child\\KeyOnly", nullptr, nullptr}},
                              {{L"R", root}, {L"V", L"value"}}),
            S_OK);
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, root), L"top");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, root + L"\\Child", L"Named"), L"value");
  EXPECT_FALSE(ReadRegString(HKEY_CURRENT_USER, root + L"\\Child"));
  EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, root + L"\\Child\\KeyOnly"));

  EXPECT_EQ(com::DeleteTree(HKEY_CURRENT_USER, root), S_OK);
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, root));
  EXPECT_EQ(com::DeleteTree(HKEY_CURRENT_USER, root), S_OK) << "an absent key is no failure";
}

TEST(RegistryWriter, GuidStringIsRegistryForm) {
  EXPECT_EQ(com::GuidString(IID_IUnknown), L"{00000000-0000-0000-C000-000000000046}");
}

}  // namespace
