// The control's ActiveX interfaces as a container meets them before activation.
#include <gtest/gtest.h>

#include <vector>

#include "ovtransfer/com/object.h"
#include "ovtransfer/com/ptr.h"
#include "ovtransfer/control/ov_transfer_control.h"
#include "support/com_apartment.h"

namespace {

class ControlObject : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(com::CreateInstance<COvTransferControl>(nullptr, IID_IUnknown, unknown_.ReceiveVoid()), S_OK);
  }
  template <class I>
  com::ComPtr<I> As(REFIID iid) {
    com::ComPtr<I> p;
    EXPECT_EQ(unknown_->QueryInterface(iid, p.ReceiveVoid()), S_OK);
    return p;
  }

  testing_support::ComApartment apartment_;
  com::ComPtr<IUnknown> unknown_;
};

TEST_F(ControlObject, AnswersEveryInterfaceWithOneIdentity) {
  const IID* ids[] = {&IID_IOvTransferControl, &IID_IDispatch, &IID_IViewObjectEx, &IID_IViewObject2,
                      &IID_IViewObject, &IID_IOleInPlaceObjectWindowless, &IID_IOleInPlaceObject, &IID_IOleWindow,
                      &IID_IOleInPlaceActiveObject, &IID_IOleControl, &IID_IOleObject, &IID_IPersistStreamInit,
                      &IID_IPersist, &IID_ISupportErrorInfo, &IID_IConnectionPointContainer,
                      &IID_IPersistPropertyBag, &IID_ISpecifyPropertyPages, &IID_IQuickActivate,
                      &IID_IPersistStorage, &IID_IDataObject, &IID_IProvideClassInfo, &IID_IProvideClassInfo2};
  for (const IID* iid : ids) {
    com::ComPtr<IUnknown> p, identity;
    ASSERT_EQ(unknown_->QueryInterface(*iid, p.ReceiveVoid()), S_OK);
    ASSERT_EQ(p->QueryInterface(IID_IUnknown, identity.ReceiveVoid()), S_OK);
    EXPECT_EQ(identity.Get(), unknown_.Get());
  }
  // Window-only: nothing that would let a container run it windowless.
  com::ComPtr<IUnknown> none;
  EXPECT_EQ(unknown_->QueryInterface(IID_IOleInPlaceObjectWindowless, none.ReceiveVoid()), S_OK);
  LRESULT result = 0;
  EXPECT_NE(static_cast<IOleInPlaceObjectWindowless*>(static_cast<IUnknown*>(none.Get()))
                ->OnWindowMessage(WM_PAINT, 0, 0, &result),
            S_OK);
  EXPECT_EQ(unknown_->QueryInterface(IID_IPointerInactive, none.ReceiveVoid()), E_NOINTERFACE);
}

TEST_F(ControlObject, StatusAndExtentsAreThoseOfTheDialog) {
  auto object = As<IOleObject>(IID_IOleObject);
  DWORD misc = 0;
  ASSERT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 0x20191u);
  EXPECT_EQ(misc & OLEMISC_INVISIBLEATRUNTIME, 0u);

  SIZEL extent = {};
  ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  // 358 x 94 dialog units: wider than three times its height, and a few centimetres across.
  EXPECT_GT(extent.cx, 3 * extent.cy);
  EXPECT_GT(extent.cx, 10000);
  auto view = As<IViewObjectEx>(IID_IViewObjectEx);
  DVEXTENTINFO info = {};
  info.cb = sizeof(info);
  info.dwExtentMode = DVEXTENT_CONTENT;
  SIZEL natural = {};
  ASSERT_EQ(view->GetNaturalExtent(DVASPECT_CONTENT, -1, nullptr, nullptr, &info, &natural), S_OK);
  EXPECT_EQ(natural.cx, extent.cx);
  EXPECT_EQ(natural.cy, extent.cy);

  SIZEL wider = {extent.cx * 2, extent.cy};
  ASSERT_EQ(object->SetExtent(DVASPECT_CONTENT, &wider), S_OK);
  ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  EXPECT_EQ(extent.cx, wider.cx);
  EXPECT_EQ(object->SetExtent(DVASPECT_ICON, &wider), DV_E_DVASPECT);

  DWORD status = 0;
  ASSERT_EQ(view->GetViewStatus(&status), S_OK);
  EXPECT_TRUE(status & VIEWSTATUS_OPAQUE);
  HWND window = reinterpret_cast<HWND>(1);
  EXPECT_EQ(As<IOleWindow>(IID_IOleWindow)->GetWindow(&window), E_FAIL) << "no window before activation";
  EXPECT_EQ(window, nullptr);
}

class NoEvents : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, DIID__IOvTransferControlEvents)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    ++calls;
    return S_OK;
  }
  ULONG refs = 1;
  int calls = 0;
};

TEST_F(ControlObject, ConnectionPointKeepsSinksWithTheUsualResults) {
  auto container = As<IConnectionPointContainer>(IID_IConnectionPointContainer);
  com::ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, point.Receive()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(DIID__IOvTransferControlEvents, point.Receive()), S_OK);
  IID iid = {};
  point->GetConnectionInterface(&iid);
  EXPECT_TRUE(IsEqualIID(iid, DIID__IOvTransferControlEvents));

  com::ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.Receive()), S_OK);
  IConnectionPoint* listed[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(2, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(listed[0], point.Get());
  listed[0]->Release();

  NoEvents sink;
  DWORD cookie = 0, second = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  ASSERT_EQ(point->Advise(&sink, &second), S_OK);
  EXPECT_NE(cookie, second);
  EXPECT_GT(sink.refs, 1u);
  com::ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.Receive()), S_OK);
  CONNECTDATA data[3];
  EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
  connections.Reset();

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(second), S_OK);
  EXPECT_EQ(sink.refs, 1u);
  EXPECT_EQ(sink.calls, 0) << "the control fires no events";

  DWORD refused = 7;
  com::ComPtr<IUnknown> not_a_sink;
  CreateStreamOnHGlobal(nullptr, TRUE, reinterpret_cast<IStream**>(not_a_sink.Receive()));
  EXPECT_EQ(point->Advise(not_a_sink.Get(), &refused), CONNECT_E_CANNOTCONNECT);
}

TEST_F(ControlObject, ClassInfoNamesTheClassAndItsEventSource) {
  auto info2 = As<IProvideClassInfo2>(IID_IProvideClassInfo2);
  GUID source = GUID_NULL;
  ASSERT_EQ(info2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_TRUE(IsEqualGUID(source, DIID__IOvTransferControlEvents));
  com::ComPtr<ITypeInfo> info;
  ASSERT_EQ(info2->GetClassInfo(info.Receive()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_OvTransferControl));
  info->ReleaseTypeAttr(attr);

  CAUUID pages = {5, reinterpret_cast<GUID*>(1)};
  ASSERT_EQ(As<ISpecifyPropertyPages>(IID_ISpecifyPropertyPages)->GetPages(&pages), S_OK);
  EXPECT_EQ(pages.cElems, 0u);
  EXPECT_EQ(pages.pElems, nullptr);
}

// Sets the four page properties of a control to recognisable values.
void SetPageProperties(IOvTransferControl* c) {
  com::Bstr guid(L"{DB-42}"), url(L"http://h/snap?x=1");
  c->put_DatabaseGUID(guid.Get());
  c->put_EnabledRate(0);
  c->put_UploadRate(8192);
  c->put_SnapshotUploadUrl(url.Get());
}

void ExpectPageProperties(IOvTransferControl* c) {
  com::Bstr guid, url;
  LONG enabled = -1;
  ULONG rate = 0;
  c->get_DatabaseGUID(guid.Receive());
  c->get_SnapshotUploadUrl(url.Receive());
  c->get_EnabledRate(&enabled);
  c->get_UploadRate(&rate);
  EXPECT_EQ(guid.Str(), L"{DB-42}");
  EXPECT_EQ(url.Str(), L"http://h/snap?x=1");
  EXPECT_EQ(enabled, 0);
  EXPECT_EQ(rate, 8192u);
}

com::ComPtr<IOvTransferControl> NewControl() {
  com::ComPtr<IOvTransferControl> c;
  EXPECT_EQ(com::CreateInstance<COvTransferControl>(nullptr, IID_IOvTransferControl, c.ReceiveVoid()), S_OK);
  return c;
}

TEST_F(ControlObject, StreamRoundTripKeepsThePropertiesAndTheExtent) {
  auto control = As<IOvTransferControl>(IID_IOvTransferControl);
  SetPageProperties(control.Get());
  SIZEL size = {12345, 2345};
  As<IOleObject>(IID_IOleObject)->SetExtent(DVASPECT_CONTENT, &size);
  EXPECT_EQ(As<IPersistStreamInit>(IID_IPersistStreamInit)->IsDirty(), S_OK);

  com::ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Receive()), S_OK);
  ASSERT_EQ(As<IPersistStreamInit>(IID_IPersistStreamInit)->Save(stream.Get(), TRUE), S_OK);
  EXPECT_EQ(As<IPersistStreamInit>(IID_IPersistStreamInit)->IsDirty(), S_FALSE);
  ULARGE_INTEGER max = {};
  As<IPersistStreamInit>(IID_IPersistStreamInit)->GetSizeMax(&max);
  STATSTG stat = {};
  stream->Stat(&stat, STATFLAG_NONAME);
  EXPECT_GE(max.QuadPart, stat.cbSize.QuadPart);

  auto copy = NewControl();
  com::ComPtr<IPersistStreamInit> persist;
  copy.As(&persist, IID_IPersistStreamInit);
  LARGE_INTEGER start = {};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  ASSERT_EQ(persist->Load(stream.Get()), S_OK);
  ExpectPageProperties(copy.Get());
  com::ComPtr<IOleObject> object;
  copy.As(&object, IID_IOleObject);
  SIZEL back = {};
  object->GetExtent(DVASPECT_CONTENT, &back);
  EXPECT_EQ(back.cx, 12345);
  EXPECT_EQ(back.cy, 2345);

  // A cut stream changes nothing and says so.
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  ULARGE_INTEGER cut = {};
  cut.QuadPart = 20;
  stream->SetSize(cut);
  auto fresh = NewControl();
  fresh.As(&persist, IID_IPersistStreamInit);
  EXPECT_NE(persist->Load(stream.Get()), S_OK);
  ULONG rate = 0;
  fresh->get_UploadRate(&rate);
  EXPECT_EQ(rate, 2048u);
}

TEST_F(ControlObject, StorageRoundTripKeepsTheProperties) {
  SetPageProperties(As<IOvTransferControl>(IID_IOvTransferControl).Get());
  com::ComPtr<ILockBytes> bytes;
  com::ComPtr<IStorage> storage;
  ASSERT_EQ(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.Receive()), S_OK);
  ASSERT_EQ(StgCreateDocfileOnILockBytes(bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                         storage.Receive()),
            S_OK);
  ASSERT_EQ(As<IPersistStorage>(IID_IPersistStorage)->Save(storage.Get(), TRUE), S_OK);

  auto copy = NewControl();
  com::ComPtr<IPersistStorage> persist;
  copy.As(&persist, IID_IPersistStorage);
  ASSERT_EQ(persist->Load(storage.Get()), S_OK);
  ExpectPageProperties(copy.Get());
}

TEST_F(ControlObject, MetafilePictureForContainersThatPrint) {
  auto data = As<IDataObject>(IID_IDataObject);
  FORMATETC format = {CF_METAFILEPICT, nullptr, DVASPECT_CONTENT, -1, TYMED_MFPICT};
  ASSERT_EQ(data->QueryGetData(&format), S_OK);
  STGMEDIUM medium = {};
  ASSERT_EQ(data->GetData(&format, &medium), S_OK);
  EXPECT_EQ(medium.tymed, static_cast<DWORD>(TYMED_MFPICT));
  ReleaseStgMedium(&medium);
  FORMATETC text = {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  EXPECT_EQ(data->QueryGetData(&text), DV_E_FORMATETC);
}

}  // namespace
