// The component as the platform loads it: the DLL's exports, its factory and its lock count.
#include <gtest/gtest.h>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer_idl.h"
#include "support/com_apartment.h"

namespace {

class ServerExports : public ::testing::Test {
 protected:
  void SetUp() override {
    dll_ = LoadLibraryW((testing_support::ProgramFolder() + L"\\ovtransfer.dll").c_str());
    ASSERT_NE(dll_, nullptr);
    get_class_object_ = testing_support::Export<decltype(get_class_object_)>(dll_, "DllGetClassObject");
    can_unload_now_ = testing_support::Export<decltype(can_unload_now_)>(dll_, "DllCanUnloadNow");
    ASSERT_TRUE(get_class_object_ && can_unload_now_);
  }
  void TearDown() override { FreeLibrary(dll_); }

  com::ComPtr<IClassFactory> Factory() {
    com::ComPtr<IClassFactory> f;
    EXPECT_EQ(get_class_object_(CLSID_OvTransferControl, IID_IClassFactory, f.ReceiveVoid()), S_OK);
    return f;
  }

  testing_support::ComApartment apartment_;
  HMODULE dll_ = nullptr;
  HRESULT(WINAPI* get_class_object_)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(WINAPI* can_unload_now_)() = nullptr;
};

TEST_F(ServerExports, ExportsExactlyTheFourServerFunctions) {
  for (const char* name : {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(GetProcAddress(dll_, name), nullptr) << name;
  // No stray exports such as the GUIDs of the platform's libraries.
  EXPECT_EQ(GetProcAddress(dll_, "IID_IUnknown"), nullptr);
  EXPECT_EQ(GetProcAddress(dll_, "IID_IOvTransferControl"), nullptr);
}

TEST_F(ServerExports, FactoryIsKeptAndOtherClassesAreRefused) {
  com::ComPtr<IClassFactory> first = Factory(), second = Factory();
  EXPECT_EQ(first.Get(), second.Get());
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(get_class_object_(IID_IOvTransferControl, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ServerExports, LiveControlsAndLocksKeepTheModule) {
  ASSERT_EQ(can_unload_now_(), S_OK);
  com::ComPtr<IClassFactory> factory = Factory();
  EXPECT_EQ(can_unload_now_(), S_FALSE) << "a held factory keeps the module";
  com::ComPtr<IOvTransferControl> control;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOvTransferControl, control.ReceiveVoid()), S_OK);
  factory.Reset();
  EXPECT_EQ(can_unload_now_(), S_FALSE) << "a live control keeps the module";
  control.Reset();
  EXPECT_EQ(can_unload_now_(), S_OK);

  factory = Factory();
  factory->LockServer(TRUE);
  factory.Reset();
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  Factory()->LockServer(FALSE);
  EXPECT_EQ(can_unload_now_(), S_OK);
}

// An outer object that hands its callers the control's interfaces, as a container's
// extended control does.
class Outer : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  com::ComPtr<IUnknown> inner;
};

TEST_F(ServerExports, FactoryCreatesAggregatedControls) {
  Outer outer;
  void* out = nullptr;
  EXPECT_EQ(Factory()->CreateInstance(&outer, IID_IOvTransferControl, &out), CLASS_E_NOAGGREGATION);
  ASSERT_EQ(Factory()->CreateInstance(&outer, IID_IUnknown, outer.inner.ReceiveVoid()), S_OK);

  com::ComPtr<IOvTransferControl> control;
  ASSERT_EQ(outer.QueryInterface(IID_IOvTransferControl, control.ReceiveVoid()), S_OK);
  EXPECT_EQ(outer.refs, 2u);
  ASSERT_EQ(control->put_UploadRate(400), S_OK);
  ULONG rate = 0;
  control->get_UploadRate(&rate);
  EXPECT_EQ(rate, 400u);

  com::ComPtr<IUnknown> identity;
  control->QueryInterface(IID_IUnknown, identity.ReceiveVoid());
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
  identity.Reset();
  control.Reset();
  outer.inner.Reset();
  EXPECT_EQ(can_unload_now_(), S_OK);
}

}  // namespace
