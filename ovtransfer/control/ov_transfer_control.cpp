#include "ov_transfer_control.h"

namespace {

bool EqualIgnoringCase(BSTR a, BSTR b) {
  // A null string reads as empty.
  return CompareStringOrdinal(a ? a : L"", a ? static_cast<int>(SysStringLen(a)) : 0, b ? b : L"",
                              b ? static_cast<int>(SysStringLen(b)) : 0, TRUE) == CSTR_EQUAL;
}

}  // namespace

com::CTypeInfoHolder& COvTransferControl::TypeInfo() {
  static com::CTypeInfoHolder holder(IID_IOvTransferControl);
  return holder;
}

STDMETHODIMP COvTransferControl::get_DatabaseGUID(BSTR* value) { return com::CopyBstr(DatabaseGUID_.Get(), value); }

STDMETHODIMP COvTransferControl::put_DatabaseGUID(BSTR value) {
  com::CopyBstr(value, DatabaseGUID_.Receive());
  return S_OK;
}

STDMETHODIMP COvTransferControl::get_EnabledRate(LONG* value) {
  if (!value) return E_POINTER;
  *value = EnabledRate_;
  return S_OK;
}

STDMETHODIMP COvTransferControl::put_EnabledRate(LONG value) {
  EnabledRate_ = value;
  return S_OK;
}

STDMETHODIMP COvTransferControl::get_UploadRate(ULONG* value) {
  if (!value) return E_POINTER;
  *value = UploadRate_;
  return S_OK;
}

STDMETHODIMP COvTransferControl::put_UploadRate(ULONG value) {
  UploadRate_ = value;
  return S_OK;
}

STDMETHODIMP COvTransferControl::get_SnapshotUploadUrl(BSTR* value) {
  return com::CopyBstr(SnapshotUploadUrl_.Get(), value);
}

STDMETHODIMP COvTransferControl::put_SnapshotUploadUrl(BSTR value) {
  com::CopyBstr(value, SnapshotUploadUrl_.Receive());
  return S_OK;
}

STDMETHODIMP COvTransferControl::Open(BSTR bstrUserID, BSTR bstrUserName, BSTR bstrUserPass) {
  // The same user, in any letter case, keeps the open session and its name and password.
  if (!UserID_.IsNull() && EqualIgnoringCase(UserID_.Get(), bstrUserID)) return S_OK;
  RunningCount_ = 0;
  com::CopyBstr(bstrUserID, UserID_.Receive());
  com::CopyBstr(bstrUserName, UserName_.Receive());
  com::CopyBstr(bstrUserPass, UserPass_.Receive());
  return S_OK;
}

STDMETHODIMP COvTransferControl::Close() {
  NextTaskId_ = 0;
  RunningCount_ = 0;
  // Empty, not null: a later Open with an empty id then counts as the same user.
  UserID_ = com::Bstr(L"");
  UserName_ = com::Bstr(L"");
  UserPass_ = com::Bstr(L"");
  return S_OK;
}

STDMETHODIMP COvTransferControl::ShowFileDialog(BSTR, BSTR, BSTR, BSTR*) { return S_OK; }

STDMETHODIMP COvTransferControl::ShowFolderDialog(BSTR, BSTR, BSTR* pbstrFolderName) {
  if (pbstrFolderName) *pbstrFolderName = nullptr;
  return S_OK;
}

STDMETHODIMP COvTransferControl::AddItem(BSTR, BSTR, USHORT, BSTR, BSTR, BSTR, BSTR, ULONG, LONG*) {
  // Nothing is queued before the window is ready; lResult stays as the caller passed it.
  return S_OK;
}

STDMETHODIMP COvTransferControl::AddItem2(BSTR, BSTR, USHORT, BSTR, BSTR, BSTR, BSTR, ULONG, LONG*) { return S_OK; }

STDMETHODIMP COvTransferControl::AddItem3(BSTR, BSTR, USHORT, BSTR, BSTR, BSTR, BSTR, ULONG, LONG*) { return S_OK; }

STDMETHODIMP COvTransferControl::FileIsExist(BSTR, LONG* pbRet) {
  if (pbRet) *pbRet = 0;
  return S_OK;
}

STDMETHODIMP COvTransferControl::FolderIsExist(BSTR, LONG* pbRet) {
  if (pbRet) *pbRet = 0;
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetFileSize(BSTR, ULONG* pulRet) {
  if (pulRet) *pulRet = 0;
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetFolderSize(BSTR, LONG, ULONG* pulRet) {
  if (pulRet) *pulRet = 0;
  return S_OK;
}

STDMETHODIMP COvTransferControl::InterfaceSupportsErrorInfo(REFIID iid) {
  return IsEqualIID(iid, IID_IOvTransferControl) ? S_OK : S_FALSE;
}
