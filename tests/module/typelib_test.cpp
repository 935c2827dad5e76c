// The registered type library read back as a type browser shows it: every member of the
// scripting interface with its dispatch id, kind, argument types and out/retval marks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer_idl.h"
#include "support/com_apartment.h"

namespace {

struct Param {
  VARTYPE vt;
  USHORT flags;
};
struct Member {
  const wchar_t* name;
  MEMBERID id;
  INVOKEKIND kind;
  std::vector<Param> params;
};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kRet = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
const Param kBstr{VT_BSTR, kIn};
const Param kBstrOut{VT_PTR, kRet};
const Param kLongOut{VT_PTR, kRet};

std::vector<Member> Expected() {
  const std::vector<Param> add = {kBstr, kBstr, {VT_UI2, kIn}, kBstr, kBstr, kBstr, kBstr, {VT_UI4, kIn}, kLongOut};
  return {
      {L"DatabaseGUID", 1, INVOKE_PROPERTYGET, {kBstrOut}},
      {L"DatabaseGUID", 1, INVOKE_PROPERTYPUT, {kBstr}},
      {L"EnabledRate", 2, INVOKE_PROPERTYGET, {kLongOut}},
      {L"EnabledRate", 2, INVOKE_PROPERTYPUT, {{VT_I4, kIn}}},
      {L"UploadRate", 3, INVOKE_PROPERTYGET, {kLongOut}},
      {L"UploadRate", 3, INVOKE_PROPERTYPUT, {{VT_UI4, kIn}}},
      {L"SnapshotUploadUrl", 4, INVOKE_PROPERTYGET, {kBstrOut}},
      {L"SnapshotUploadUrl", 4, INVOKE_PROPERTYPUT, {kBstr}},
      {L"Open", 7, INVOKE_FUNC, {kBstr, kBstr, kBstr}},
      {L"Close", 8, INVOKE_FUNC, {}},
      {L"ShowFileDialog", 11, INVOKE_FUNC, {kBstr, kBstr, kBstr, kBstrOut}},
      {L"ShowFolderDialog", 12, INVOKE_FUNC, {kBstr, kBstr, kBstrOut}},
      {L"AddItem", 13, INVOKE_FUNC, add},
      {L"AddItem2", 14, INVOKE_FUNC, add},
      {L"AddItem3", 15, INVOKE_FUNC, add},
      {L"FileIsExist", 21, INVOKE_FUNC, {kBstr, kLongOut}},
      {L"FolderIsExist", 22, INVOKE_FUNC, {kBstr, kLongOut}},
      {L"GetFileSize", 23, INVOKE_FUNC, {kBstr, kLongOut}},
      {L"GetFolderSize", 24, INVOKE_FUNC, {kBstr, {VT_I4, kIn}, kLongOut}},
  };
}

class RegisteredTypeLib : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LoadRegTypeLib(LIBID_OvTransferLib, 1, 0, LOCALE_NEUTRAL, lib_.Receive()), S_OK);
  }
  testing_support::ComApartment apartment_;
  com::ComPtr<ITypeLib> lib_;
};

TEST_F(RegisteredTypeLib, ListsEveryMemberInVtableOrder) {
  com::ComPtr<ITypeInfo> dispatch_side, info;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(IID_IOvTransferControl, dispatch_side.Receive()), S_OK);
  HREFTYPE vtable_ref = 0;
  ASSERT_EQ(dispatch_side->GetRefTypeOfImplType(-1, &vtable_ref), S_OK);
  ASSERT_EQ(dispatch_side->GetRefTypeInfo(vtable_ref, info.Receive()), S_OK);

  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  const std::vector<Member> expected = Expected();
  ASSERT_EQ(attr->cFuncs, expected.size());
  EXPECT_EQ(attr->cbSizeVft, (7 + expected.size()) * sizeof(void*)) << "the seven IDispatch slots come first";
  info->ReleaseTypeAttr(attr);

  for (UINT i = 0; i < expected.size(); ++i) {
    const Member& want = expected[i];
    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
    com::Bstr name;
    info->GetDocumentation(f->memid, name.Receive(), nullptr, nullptr, nullptr);
    const std::wstring text = name.Str();
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    EXPECT_EQ(text, want.name);
    EXPECT_EQ(f->memid, want.id);
    EXPECT_EQ(f->invkind, want.kind);
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(static_cast<size_t>(f->cParams), want.params.size());
    for (size_t p = 0; p < want.params.size(); ++p) {
      const ELEMDESC& e = f->lprgelemdescParam[p];
      EXPECT_EQ(e.tdesc.vt, want.params[p].vt) << "argument " << p;
      EXPECT_EQ(e.paramdesc.wParamFlags & (kIn | kRet), want.params[p].flags) << "argument " << p;
    }
    info->ReleaseFuncDesc(f);
  }
}

TEST_F(RegisteredTypeLib, NamesACreatableClassWithItsEventSource) {
  com::ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(CLSID_OvTransferControl, coclass.Receive()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
  ASSERT_EQ(attr->cImplTypes, 2);
  coclass->ReleaseTypeAttr(attr);

  INT flags = 0;
  HREFTYPE ref = 0;
  com::ComPtr<ITypeInfo> source;
  ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &ref), S_OK);
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, source.Receive()), S_OK);
  ASSERT_EQ(source->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, DIID__IOvTransferControlEvents));
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->cFuncs, 0);
  source->ReleaseTypeAttr(attr);
}

}  // namespace
