// The property bag that hands a page's PARAMs to a control.
#include <gtest/gtest.h>

#include "ovtransfer/com/object.h"
#include "ovtransfer/com/ptr.h"
#include "property_bag.h"
#include "support/com_apartment.h"

namespace {

class ErrorLog : public com::CComBase, public IErrorLog {
 public:
  explicit ErrorLog(IUnknown* outer) : CComBase(outer) {}
  COM_DELEGATE_IUNKNOWN
  STDMETHODIMP AddError(LPCOLESTR name, EXCEPINFO* info) override {
    last_name = name;
    last_text = info && info->bstrDescription ? info->bstrDescription : L"";
    ++count;
    return S_OK;
  }
  std::wstring last_name, last_text;
  int count = 0;

 protected:
  void* FindInterface(REFIID iid) override {
    return IsEqualIID(iid, IID_IErrorLog) ? static_cast<IErrorLog*>(this) : nullptr;
  }
};

class Bag : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(host::CPropertyBag::Create({{L"DatabaseGUID", L"{G}"}, {L"UploadRate", L"1024"},
                                          {L"EnabledRate", L"0"}, {L"Ratio", L"1.5"}, {L"uploadrate", L"9"}},
                                         bag_.Receive()),
              S_OK);
  }
  com::UniqueVariant Read(const wchar_t* name, VARTYPE type, HRESULT expected, IErrorLog* log = nullptr) {
    com::UniqueVariant v;
    v.Receive()->vt = type;
    EXPECT_EQ(bag_->Read(name, v.Address(), log), expected) << name;
    return v;
  }
  testing_support::ComApartment apartment_;
  com::ComPtr<IPropertyBag> bag_;
};

TEST_F(Bag, GivesTextUnlessATypeIsAsked) {
  com::UniqueVariant v = Read(L"DatabaseGUID", VT_EMPTY, S_OK);
  ASSERT_EQ(v.Get().vt, VT_BSTR);
  EXPECT_STREQ(v.Get().bstrVal, L"{G}");
  v = Read(L"UploadRate", VT_BSTR, S_OK);
  ASSERT_EQ(v.Get().vt, VT_BSTR);
  EXPECT_STREQ(v.Get().bstrVal, L"1024");  // the first of a repeated name
}

TEST_F(Bag, CoercesToTheTypeAskedFor) {
  com::UniqueVariant v = Read(L"UploadRate", VT_UI4, S_OK);
  EXPECT_EQ(v.Get().vt, VT_UI4);
  EXPECT_EQ(v.Get().ulVal, 1024u);
  v = Read(L"EnabledRate", VT_I4, S_OK);
  EXPECT_EQ(v.Get().vt, VT_I4);
  EXPECT_EQ(v.Get().lVal, 0);
  v = Read(L"EnabledRate", VT_BOOL, S_OK);
  EXPECT_EQ(v.Get().vt, VT_BOOL);
  EXPECT_EQ(v.Get().boolVal, VARIANT_FALSE);
  v = Read(L"Ratio", VT_R8, S_OK);  // page text reads the same in every locale
  EXPECT_DOUBLE_EQ(v.Get().dblVal, 1.5);
}

TEST_F(Bag, NamesIgnoreCaseAndMissingNamesAreInvalid) {
  com::UniqueVariant v = Read(L"databaseguid", VT_EMPTY, S_OK);
  EXPECT_STREQ(v.Get().bstrVal, L"{G}");
  v = Read(L"SnapshotUploadUrl", VT_EMPTY, E_INVALIDARG);
  EXPECT_EQ(v.Get().vt, VT_EMPTY);
  v = Read(L"_cx", VT_UI4, E_INVALIDARG);
  EXPECT_EQ(v.Get().vt, VT_UI4);  // untouched
}

TEST_F(Bag, TextThatIsNotOfTheTypeFailsAndIsLogged) {
  ASSERT_EQ(host::CPropertyBag::Create({{L"UploadRate", L"fast"}}, bag_.Receive()), S_OK);
  com::ComPtr<IErrorLog> log;
  ASSERT_EQ(com::CreateInstance<ErrorLog>(nullptr, IID_IErrorLog, log.ReceiveVoid()), S_OK);
  com::UniqueVariant v = Read(L"UploadRate", VT_UI4, DISP_E_TYPEMISMATCH, log.Get());
  EXPECT_EQ(v.Get().vt, VT_UI4);
  auto* l = static_cast<ErrorLog*>(log.Get());
  EXPECT_EQ(l->count, 1);
  EXPECT_EQ(l->last_name, L"UploadRate");
  EXPECT_NE(l->last_text.find(L"fast"), std::wstring::npos);
}

TEST_F(Bag, WriteReplacesOrAdds) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 77;
  EXPECT_EQ(bag_->Write(L"UPLOADRATE", &v), S_OK);
  EXPECT_EQ(bag_->Write(L"_cx", &v), S_OK);
  com::UniqueVariant r = Read(L"UploadRate", VT_I4, S_OK);
  EXPECT_EQ(r.Get().lVal, 77);
  r = Read(L"_cx", VT_EMPTY, S_OK);
  EXPECT_STREQ(r.Get().bstrVal, L"77");
  EXPECT_EQ(bag_->Read(nullptr, r.Receive(), nullptr), E_POINTER);
}

}  // namespace
