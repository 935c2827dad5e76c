// The control's scripting surface, through IDispatch as a page's script reaches it.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ovtransfer/com/object.h"
#include "ovtransfer/com/ptr.h"
#include "ovtransfer/com/unique.h"
#include "ovtransfer/control/ov_transfer_control.h"
#include "support/com_apartment.h"

namespace {

class Scripting : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoCreateInstance(CLSID_OvTransferControl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               dispatch_.ReceiveVoid()),
              S_OK);
  }

  DISPID IdOf(const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
    return id;
  }
  HRESULT Put(DISPID id, com::UniqueVariant value) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {value.Address(), &named, 1, 1};
    return dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                             nullptr);
  }
  com::UniqueVariant Get(DISPID id) {
    com::UniqueVariant result;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.Receive(),
                                nullptr, nullptr),
              S_OK);
    return result;
  }

  testing_support::ComApartment apartment_;
  com::ComPtr<IDispatch> dispatch_;
};

com::UniqueVariant Str(const wchar_t* s) {
  com::UniqueVariant v;
  v.Address()->vt = VT_BSTR;
  v.Address()->bstrVal = s ? SysAllocString(s) : nullptr;
  return v;
}

com::UniqueVariant Int(LONG n) {
  com::UniqueVariant v;
  v.Address()->vt = VT_I4;  // what a script engine passes for any number
  v.Address()->lVal = n;
  return v;
}

TEST_F(Scripting, NewControlHasItsDefaults) {
  com::UniqueVariant guid = Get(1), url = Get(4), enabled = Get(2), rate = Get(3);
  EXPECT_EQ(guid.Get().vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(guid.Get().bstrVal), 0u);
  EXPECT_EQ(SysStringLen(url.Get().bstrVal), 0u);
  com::ComPtr<IOvTransferControl> control;
  ASSERT_EQ(dispatch_->QueryInterface(IID_IOvTransferControl, control.ReceiveVoid()), S_OK);
  com::Bstr value(L"x");
  ASSERT_EQ(control->get_DatabaseGUID(value.Receive()), S_OK);
  EXPECT_TRUE(value.IsNull()) << "a null string property reads as null";
  ASSERT_EQ(control->get_SnapshotUploadUrl(value.Receive()), S_OK);
  EXPECT_TRUE(value.IsNull());
  EXPECT_EQ(enabled.Get().vt, VT_I4);
  EXPECT_EQ(enabled.Get().lVal, 1);
  EXPECT_EQ(rate.Get().vt, VT_UI4);
  EXPECT_EQ(rate.Get().ulVal, 2048u);
}

TEST_F(Scripting, PropertiesRoundTripByNameAndById) {
  const std::map<std::wstring, DISPID> ids = {
      {L"DatabaseGUID", 1}, {L"EnabledRate", 2}, {L"UploadRate", 3}, {L"SnapshotUploadUrl", 4}};
  for (const auto& [name, id] : ids) EXPECT_EQ(IdOf(name.c_str()), id);

  ASSERT_EQ(Put(IdOf(L"DatabaseGUID"), Str(L"{DB-1}")), S_OK);
  EXPECT_STREQ(Get(1).Get().bstrVal, L"{DB-1}");

  ASSERT_EQ(Put(4, Str(L"http://127.0.0.1/snap?a=1")), S_OK);
  EXPECT_STREQ(Get(IdOf(L"SnapshotUploadUrl")).Get().bstrVal, L"http://127.0.0.1/snap?a=1");

  // No validation: whatever the page puts is read back.
  ASSERT_EQ(Put(2, Int(0)), S_OK);
  EXPECT_EQ(Get(2).Get().lVal, 0);
  ASSERT_EQ(Put(3, Int(12345)), S_OK);
  EXPECT_EQ(Get(3).Get().ulVal, 12345u);

  ASSERT_EQ(Put(1, Str(nullptr)), S_OK);
  EXPECT_EQ(SysStringLen(Get(1).Get().bstrVal), 0u);
  ASSERT_EQ(Put(1, Str(L"")), S_OK);
  com::UniqueVariant back = Get(1);
  ASSERT_NE(back.Get().bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(back.Get().bstrVal), 0u);
}

TEST_F(Scripting, EveryMemberAnswersWithItsDispatchId) {
  com::ComPtr<ITypeInfo> info;
  ASSERT_EQ(dispatch_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Receive()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IOvTransferControl));
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE);
  info->ReleaseTypeAttr(attr);
  // The vtable side of the dual interface carries the automation mark.
  HREFTYPE vtable_side = 0;
  com::ComPtr<ITypeInfo> vtable_info;
  ASSERT_EQ(info->GetRefTypeOfImplType(-1, &vtable_side), S_OK);
  ASSERT_EQ(info->GetRefTypeInfo(vtable_side, vtable_info.Receive()), S_OK);
  ASSERT_EQ(vtable_info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
  vtable_info->ReleaseTypeAttr(attr);

  const std::map<std::wstring, DISPID> methods = {
      {L"Open", 7},           {L"Close", 8},          {L"ShowFileDialog", 11}, {L"ShowFolderDialog", 12},
      {L"AddItem", 13},       {L"AddItem2", 14},      {L"AddItem3", 15},       {L"FileIsExist", 21},
      {L"FolderIsExist", 22}, {L"GetFileSize", 23},   {L"GetFolderSize", 24}};
  for (const auto& [name, id] : methods) EXPECT_EQ(IdOf(name.c_str()), id) << std::string(name.begin(), name.end());
}

TEST_F(Scripting, AddItemTakesTheArgumentsScriptsPass) {
  // Before the window is initialised nothing is queued and the result is left as it was.
  // Arguments in reverse order, as script engines pass them: ulStyle first, the title last.
  com::UniqueVariant owned[] = {Int(0),    Str(L"r2"),          Str(L"r1"),          Str(L""),
                                Str(L"C:\\a.txt"), Int(8852), Str(L"127.0.0.1"), Str(L"title")};
  VARIANT args[8];
  for (int i = 0; i < 8; ++i) args[i] = owned[i].Get();  // lent: the owners give them back
  DISPPARAMS params = {args, nullptr, 8, 0};
  com::UniqueVariant result;
  EXPECT_EQ(dispatch_->Invoke(13, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Receive(),
                              nullptr, nullptr),
            S_OK);
}

TEST(ErrorInfo, IsClaimedForTheScriptingInterfaceOnly) {
  testing_support::ComApartment apartment;
  com::ComPtr<ISupportErrorInfo> info;
  ASSERT_EQ(com::CreateInstance<COvTransferControl>(nullptr, IID_ISupportErrorInfo, info.ReceiveVoid()), S_OK);
  EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IOvTransferControl), S_OK);
  EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
}

class OpenClose : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(com::CreateInstance<COvTransferControl>(nullptr, IID_IOvTransferControl, control_.ReceiveVoid()), S_OK);
    object_ = static_cast<COvTransferControl*>(control_.Get());
  }
  void Open(const wchar_t* id, const wchar_t* name, const wchar_t* pass) {
    com::Bstr a(id), b(name), c(pass);
    EXPECT_EQ(control_->Open(a.Get(), b.Get(), c.Get()), S_OK);
  }

  testing_support::ComApartment apartment_;
  com::ComPtr<IOvTransferControl> control_;
  COvTransferControl* object_ = nullptr;
};

TEST_F(OpenClose, SameUserInAnyCaseKeepsNameAndPassword) {
  EXPECT_TRUE(object_->UserID().IsNull());
  Open(L"Alice", L"alice", L"secret");
  Open(L"ALICE", L"other", L"changed");
  EXPECT_EQ(object_->UserID().Str(), L"Alice");
  EXPECT_EQ(object_->UserName().Str(), L"alice");
  EXPECT_EQ(object_->UserPass().Str(), L"secret");

  Open(L"bob", L"Bob", nullptr);
  EXPECT_EQ(object_->UserID().Str(), L"bob");
  EXPECT_EQ(object_->UserName().Str(), L"Bob");
  EXPECT_TRUE(object_->UserPass().IsNull());
}

TEST_F(OpenClose, CloseForgetsTheUserButKeepsThePageProperties) {
  com::Bstr guid(L"db");
  control_->put_DatabaseGUID(guid.Get());
  Open(L"alice", L"a", L"p");
  EXPECT_EQ(control_->Close(), S_OK);
  EXPECT_FALSE(object_->UserID().IsNull()) << "empty, not null";
  EXPECT_EQ(object_->UserID().Length(), 0u);
  EXPECT_EQ(object_->UserName().Length(), 0u);
  EXPECT_EQ(object_->NextTaskId(), 0);
  com::Bstr back;
  control_->get_DatabaseGUID(back.Receive());
  EXPECT_EQ(back.Str(), L"db");

  // The empty id now equals the stored empty one, null counting as empty.
  Open(nullptr, L"x", L"y");
  EXPECT_EQ(object_->UserName().Length(), 0u);
  Open(L"alice", L"a2", L"p2");
  EXPECT_EQ(object_->UserName().Str(), L"a2");
}

TEST_F(OpenClose, FieldsStartAtTheirDefaults) {
  EXPECT_EQ(object_->MaxTaskCount(), 4);
  EXPECT_EQ(object_->RunningCount(), 0);
  EXPECT_EQ(object_->NextTaskId(), 0);
  EXPECT_EQ(object_->WindowReady(), 0u);
  EXPECT_EQ(object_->SelectedTaskId(), -1);
}

}  // namespace
