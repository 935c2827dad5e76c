#include <gtest/gtest.h>
#include <objidl.h>

#include <atomic>

#include "ovtransfer/com/factory.h"
#include "ovtransfer/com/module_lock.h"
#include "ovtransfer/com/object.h"
#include "ovtransfer/com/ptr.h"

namespace {

int g_deleted = 0;

// A small object with two interfaces that share IUnknown, like the control's.
class CThing : public com::CComBase, public IPersistStream {
 public:
  explicit CThing(IUnknown* outer) : CComBase(outer) {}
  ~CThing() override { ++g_deleted; }
  COM_DELEGATE_IUNKNOWN
  STDMETHODIMP GetClassID(CLSID* id) override { *id = CLSID_NULL; return S_OK; }
  STDMETHODIMP IsDirty() override { return S_FALSE; }
  STDMETHODIMP Load(IStream*) override { return S_OK; }
  STDMETHODIMP Save(IStream*, BOOL) override { return S_OK; }
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

  int final_releases = 0;

 protected:
  void* FindInterface(REFIID iid) override {
    static const com::QiEntry<CThing> table[] = {
        COM_QI(CThing, IPersistStream),
        COM_QI_VIA(CThing, IPersist, IPersistStream),
    };
    return com::FindInTable(this, table, iid);
  }
  void FinalRelease() override {
    // A QueryInterface/Release pair during teardown must not delete the object again.
    com::ComPtr<IPersist> again;
    QueryInterface(IID_IPersist, again.ReceiveVoid());
    ++final_releases;
  }
};

// An outer object that counts the references its inner object forwards to it.
class CountingOuter : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST(ComObject, QueryInterfaceFollowsIdentityRules) {
  const int deleted = g_deleted;
  const LONG locks = com::ModuleLockCount();
  com::ComPtr<IPersistStream> stream;
  ASSERT_EQ(com::CreateInstance<CThing>(nullptr, IID_IPersistStream, stream.ReceiveVoid()), S_OK);
  EXPECT_EQ(com::ModuleLockCount(), locks + 1);

  com::ComPtr<IUnknown> u1, u2;
  com::ComPtr<IPersist> persist;
  ASSERT_EQ(stream->QueryInterface(IID_IUnknown, u1.ReceiveVoid()), S_OK);
  ASSERT_EQ(stream->QueryInterface(IID_IPersist, persist.ReceiveVoid()), S_OK);
  ASSERT_EQ(persist->QueryInterface(IID_IUnknown, u2.ReceiveVoid()), S_OK);
  EXPECT_EQ(u1.Get(), u2.Get());

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(stream->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(stream->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  u1.Reset();
  u2.Reset();
  persist.Reset();
  stream.Reset();
  EXPECT_EQ(g_deleted, deleted + 1);
  EXPECT_EQ(com::ModuleLockCount(), locks);
}

TEST(ComObject, RefusedInterfaceAtCreationFreesTheObject) {
  const int deleted = g_deleted;
  void* out = nullptr;
  EXPECT_EQ(com::CreateInstance<CThing>(nullptr, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_deleted, deleted + 1);
}

TEST(ComObject, AggregatedObjectDelegatesToItsOuter) {
  CountingOuter outer;
  void* out = nullptr;
  EXPECT_EQ(com::CreateInstance<CThing>(&outer, IID_IPersist, &out), CLASS_E_NOAGGREGATION);

  com::ComPtr<IUnknown> inner;
  ASSERT_EQ(com::CreateInstance<CThing>(&outer, IID_IUnknown, inner.ReceiveVoid()), S_OK);
  outer.inner = inner.Get();

  com::ComPtr<IPersist> persist;
  ASSERT_EQ(inner->QueryInterface(IID_IPersist, persist.ReceiveVoid()), S_OK);
  EXPECT_EQ(outer.refs, 2u) << "an interface of the inner object counts on the outer one";

  com::ComPtr<IUnknown> identity;
  ASSERT_EQ(persist->QueryInterface(IID_IUnknown, identity.ReceiveVoid()), S_OK);
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
  identity.Reset();
  persist.Reset();
  EXPECT_EQ(outer.refs, 1u);

  const int deleted = g_deleted;
  outer.inner = nullptr;
  inner.Reset();
  EXPECT_EQ(g_deleted, deleted + 1);
}

TEST(ComObject, FinalReleaseRunsOnce) {
  const int deleted = g_deleted;
  auto* thing = new CThing(nullptr);
  thing->Inner()->AddRef();
  thing->Inner()->Release();
  EXPECT_EQ(g_deleted, deleted + 1);
}

HRESULT CreateThing(IUnknown* outer, REFIID iid, void** out) { return com::CreateInstance<CThing>(outer, iid, out); }

TEST(ClassFactory, ClientReferencesAndServerLocksHoldTheModule) {
  com::CClassFactory factory(&CreateThing);
  const LONG locks = com::ModuleLockCount();
  com::ComPtr<IClassFactory> held;
  ASSERT_EQ(com::GetCachedFactory(factory, CLSID_NULL, CLSID_NULL, IID_IClassFactory, held.ReceiveVoid()), S_OK);
  EXPECT_EQ(held.Get(), &factory);
  EXPECT_EQ(com::ModuleLockCount(), locks + 1);
  held->LockServer(TRUE);
  EXPECT_EQ(com::ModuleLockCount(), locks + 2);
  held->LockServer(FALSE);
  held.Reset();
  EXPECT_EQ(com::ModuleLockCount(), locks);

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(com::GetCachedFactory(factory, CLSID_NULL, IID_IPersist, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
}

TEST(ModuleThread, CountsInTheLockUntilItEnds) {
  const LONG locks = com::ModuleLockCount();
  com::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> ran{false};
  ASSERT_TRUE(com::StartModuleThread([&] {
    WaitForSingleObject(release.Get(), INFINITE);
    ran = true;
  }));
  EXPECT_EQ(com::ModuleLockCount(), locks + 1);
  SetEvent(release.Get());
  for (int i = 0; i < 500 && com::ModuleLockCount() != locks; ++i) Sleep(10);
  EXPECT_TRUE(ran);
  EXPECT_EQ(com::ModuleLockCount(), locks);
}

TEST(Bstr, NullStaysNullAndCopiesAreDeep) {
  BSTR copy = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(com::CopyBstr(nullptr, &copy), S_OK);
  EXPECT_EQ(copy, nullptr);
  com::Bstr original(L"ab\0c");
  com::Bstr second(original);
  EXPECT_NE(original.Get(), second.Get());
  EXPECT_EQ(second.Str(), L"ab");
  EXPECT_TRUE(com::Bstr().IsNull());
  EXPECT_FALSE(com::Bstr(L"").IsNull());
}

}  // namespace
