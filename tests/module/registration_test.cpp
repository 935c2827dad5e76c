// What registering and unregistering the component writes and removes, read back from the registry.
#include <gtest/gtest.h>
#include <comcat.h>

#include <string>
#include <vector>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/com/registry.h"
#include "support/com_apartment.h"

namespace {

using testing_support::ReadRegString;
using testing_support::RegKeyExists;

const std::wstring kClass = L"CLSID\\{33CA74CD-E214-41d1-9E2D-507E7C17079E}";
const std::wstring kAppId = L"{2F1E34C6-32EC-46DC-95BE-AFFA3B5B2724}";
const GUID kLibId = {0x4DE7C373, 0x9926, 0x4FA2, {0xAA, 0xD2, 0x80, 0xE6, 0x07, 0x3E, 0x3E, 0xBE}};

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = testing_support::ProgramFolder() + L"\\ovtransfer.dll";
    dll_ = LoadLibraryW(path_.c_str());
    ASSERT_NE(dll_, nullptr);
    wchar_t loaded[MAX_PATH];
    path_.assign(loaded, GetModuleFileNameW(dll_, loaded, MAX_PATH));
    register_ = testing_support::Export<HRESULT(WINAPI*)()>(dll_, "DllRegisterServer");
    unregister_ = testing_support::Export<HRESULT(WINAPI*)()>(dll_, "DllUnregisterServer");
  }
  // Every other test program relies on the registered component.
  void TearDown() override {
    EXPECT_EQ(register_(), S_OK);
    FreeLibrary(dll_);
  }

  testing_support::ComApartment apartment_;
  std::wstring path_;
  HMODULE dll_ = nullptr;
  HRESULT(WINAPI* register_)() = nullptr;
  HRESULT(WINAPI* unregister_)() = nullptr;
};

struct Expected {
  std::wstring key;
  const wchar_t* name;
  std::wstring data;
};

TEST_F(Registration, WritesEveryEntry) {
  ASSERT_EQ(register_(), S_OK);
  const std::vector<Expected> entries = {
      {L"AppID\\" + kAppId, nullptr, L"ovtransfer"},
      {L"AppID\\ovtransfer.dll", L"AppID", kAppId},
      {L"ovtransfer.OvTransferControl.1", nullptr, L"Ov Transfer Class"},
      {L"ovtransfer.OvTransferControl.1\\CLSID", nullptr, L"{33CA74CD-E214-41d1-9E2D-507E7C17079E}"},
      {L"ovtransfer.OvTransferControl", nullptr, L"Ov Transfer Class"},
      {L"ovtransfer.OvTransferControl\\CLSID", nullptr, L"{33CA74CD-E214-41d1-9E2D-507E7C17079E}"},
      {L"ovtransfer.OvTransferControl\\CurVer", nullptr, L"ovtransfer.OvTransferControl.1"},
      {kClass, nullptr, L"Ov Transfer Class"},
      {kClass, L"AppID", kAppId},
      {kClass + L"\\ProgID", nullptr, L"ovtransfer.OvTransferControl.1"},
      {kClass + L"\\VersionIndependentProgID", nullptr, L"ovtransfer.OvTransferControl"},
      {kClass + L"\\InprocServer32", nullptr, path_},
      {kClass + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {kClass + L"\\ToolboxBitmap32", nullptr, path_ + L", 102"},
      {kClass + L"\\MiscStatus", nullptr, L"0"},
      {kClass + L"\\MiscStatus\\1", nullptr, L"131473"},
      {kClass + L"\\TypeLib", nullptr, L"{4DE7C373-9926-4fa2-AAD2-80E6073E3EBE}"},
      {kClass + L"\\Version", nullptr, L"1.0"},
  };
  for (const Expected& e : entries)
    EXPECT_EQ(ReadRegString(HKEY_CLASSES_ROOT, e.key, e.name), e.data) << std::string(e.key.begin(), e.key.end());
  for (const wchar_t* key : {L"\\Programmable", L"\\Control",
                             L"\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
                             L"\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"})
    EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, kClass + key));

  // The type library is found from the module's own file, with its folder for help.
  com::Bstr tlb;
  ASSERT_EQ(QueryPathOfRegTypeLib(kLibId, 1, 0, LOCALE_NEUTRAL, tlb.Receive()), S_OK);
  EXPECT_EQ(CompareStringOrdinal(tlb.Get(), -1, path_.c_str(), -1, TRUE), CSTR_EQUAL);
  EXPECT_EQ(ReadRegString(HKEY_CLASSES_ROOT, L"TypeLib\\{4DE7C373-9926-4FA2-AAD2-80E6073E3EBE}\\1.0\\HELPDIR"),
            path_.substr(0, path_.find_last_of(L'\\')));
}

TEST_F(Registration, RegisteringAgainWritesTheClassKeyAnew) {
  ASSERT_EQ(register_(), S_OK);
  ASSERT_EQ(com::WriteEntries(HKEY_CLASSES_ROOT, {{L"%C%\\Stale", nullptr, L"old"}}, {{L"C", kClass}}), S_OK);
  ASSERT_EQ(register_(), S_OK);
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, kClass + L"\\Stale"));
  EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, kClass + L"\\InprocServer32"));
}

TEST_F(Registration, UnregisteringRemovesEverythingButTheParentKeys) {
  ASSERT_EQ(register_(), S_OK);
  ASSERT_EQ(unregister_(), S_OK);
  for (const std::wstring& key : {L"AppID\\" + kAppId, std::wstring(L"AppID\\ovtransfer.dll"),
                                  std::wstring(L"ovtransfer.OvTransferControl.1"),
                                  std::wstring(L"ovtransfer.OvTransferControl"), kClass})
    EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, key)) << std::string(key.begin(), key.end());
  EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, L"AppID"));
  EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  // Only this architecture's library entry goes: the other build's may share the prefix, and
  // a path query would fall back to it.
#ifdef _WIN64
  const wchar_t* const kOwnPlatform = L"win64";
#else
  const wchar_t* const kOwnPlatform = L"win32";
#endif
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT,
                            std::wstring(L"TypeLib\\{4DE7C373-9926-4FA2-AAD2-80E6073E3EBE}\\1.0\\0\\") + kOwnPlatform));

  com::ComPtr<IUnknown> control;
  const CLSID clsid = {0x33CA74CD, 0xE214, 0x41D1, {0x9E, 0x2D, 0x50, 0x7E, 0x7C, 0x17, 0x07, 0x9E}};
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, control.ReceiveVoid()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(Registration, ThreadLocaleIsRestored) {
  const LCID before = GetThreadLocale();
  SetThreadLocale(MAKELCID(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), SORT_DEFAULT));
  ASSERT_EQ(register_(), S_OK);
  EXPECT_EQ(GetThreadLocale(), MAKELCID(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), SORT_DEFAULT));
  SetThreadLocale(before);
}

}  // namespace
