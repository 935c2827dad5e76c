#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "components/ovres/component_classes.h"
#include "ovtransfer/com/ptr.h"
#include "ovtransfer/outside/ovres.h"
#include "support/com_apartment.h"

namespace {

TEST(ResourceIdentity, KnownKeysResolveToTheCompanionClasses) {
  GUID buffer;
  EXPECT_TRUE(IsEqualGUID(*OVRES_LoadGuid(&buffer, GUID_KEY_ENGINE), CLSID_OvTransferEngine));
  EXPECT_TRUE(IsEqualGUID(*OVRES_LoadGuid(&buffer, GUID_KEY_NETSUPPORT), CLSID_OvNetSupport));
  EXPECT_TRUE(IsEqualGUID(*OVRES_LoadGuid(&buffer, GUID_KEY_MEDIAINFO), CLSID_OvMediaFileInfo));
}

TEST(ResourceIdentity, UnknownKeyGivesAClassNobodyRegistered) {
  testing_support::ComApartment apartment;
  GUID buffer;
  const GUID* id = OVRES_LoadGuid(&buffer, IID_IUnknown);
  ASSERT_NE(id, nullptr);
  com::ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(*id, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.ReceiveVoid()),
            REGDB_E_CLASSNOTREG);
  // Callers copy from the returned pointer, so even a missing buffer gets an answer.
  ASSERT_NE(OVRES_LoadGuid(nullptr, GUID_KEY_ENGINE), nullptr);
  EXPECT_TRUE(IsEqualGUID(*OVRES_LoadGuid(nullptr, GUID_KEY_ENGINE), CLSID_OvTransferEngine));
}

TEST(ResourceIdentity, ResolvesFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 2000; ++i) {
        GUID buffer;
        const GUID& key = (i + t) % 2 ? GUID_KEY_ENGINE : GUID_KEY_MEDIAINFO;
        const CLSID& want = (i + t) % 2 ? CLSID_OvTransferEngine : CLSID_OvMediaFileInfo;
        if (!IsEqualGUID(*OVRES_LoadGuid(&buffer, key), want)) ++wrong[t];
      }
    });
  for (auto& th : threads) th.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}

TEST(ResourceIdentity, ModuleNameAndTypeFitOrAreRefused) {
  EXPECT_TRUE(OVRES_InitGuidModule(GetModuleHandleW(nullptr), 0));
  wchar_t name[64] = L"unchanged", type[64] = L"unchanged";
  ASSERT_TRUE(OVRES_LoadModuleName(name, 64));
  EXPECT_STREQ(name, L"Lumivo");
  ASSERT_TRUE(OVRES_LoadModuleType(type, 64));
  EXPECT_GT(wcslen(type), 0u);

  wchar_t tiny[6] = L"keep";
  EXPECT_FALSE(OVRES_LoadModuleName(tiny, 6)) << "six characters and the terminator do not fit in six";
  EXPECT_STREQ(tiny, L"keep");
}

}  // namespace
