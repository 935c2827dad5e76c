#include "ov_transfer_control.h"

#include "../com/text.h"
#include "file_helpers.h"

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
  SaveTasks();
  // The same user, in any letter case, keeps the open session and its name and password.
  if (!UserID_.IsNull() && com::SameText(com::BstrText(UserID_.Get()), com::BstrText(bstrUserID))) return S_OK;
  RemoveAllTasks();  // ids go on: only Close restarts them
  com::CopyBstr(bstrUserID, UserID_.Receive());
  com::CopyBstr(bstrUserName, UserName_.Receive());
  com::CopyBstr(bstrUserPass, UserPass_.Receive());
  LoadTasks();
  return S_OK;
}

STDMETHODIMP COvTransferControl::Close() {
  SaveTasks();
  RemoveAllTasks();
  queue_.ResetIds();
  JobReports_->NewGeneration();  // jobs still running name ids that new tasks will get again
  // Empty, not null: a later Open with an empty id then counts as the same user.
  UserID_ = com::Bstr(L"");
  UserName_ = com::Bstr(L"");
  UserPass_ = com::Bstr(L"");
  return S_OK;
}

void COvTransferControl::RemoveAllTasks() {
  for (size_t i = queue_.Size(); i-- > 0;) {
    DeleteTaskRow(queue_.At(i).id);
    queue_.RemoveTaskAt(i);
  }
  queue_.ResetSlots();
}

STDMETHODIMP COvTransferControl::ShowFileDialog(BSTR bstrTitle, BSTR bstrFileFilter, BSTR bstrOldFileName,
                                                BSTR* pbstrFileName) {
  file_helpers::ChooseFile(window_, bstrTitle, bstrFileFilter, bstrOldFileName, pbstrFileName);
  return S_OK;
}

STDMETHODIMP COvTransferControl::ShowFolderDialog(BSTR bstrTitle, BSTR bstrOldFolderName, BSTR* pbstrFolderName) {
  file_helpers::ChooseFolder(window_, bstrTitle, bstrOldFolderName, pbstrFolderName);
  return S_OK;
}

STDMETHODIMP COvTransferControl::FileIsExist(BSTR strFilePath, LONG* pbRet) {
  if (pbRet) *pbRet = file_helpers::PathIsPresent(strFilePath);
  return S_OK;
}

STDMETHODIMP COvTransferControl::FolderIsExist(BSTR strFolderPath, LONG* pbRet) {
  if (pbRet) *pbRet = file_helpers::PathIsPresent(strFolderPath);
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetFileSize(BSTR strFilePath, ULONG* pulRet) {
  if (pulRet) *pulRet = file_helpers::FileSizeLow(strFilePath);
  return S_OK;
}

STDMETHODIMP COvTransferControl::GetFolderSize(BSTR strFolderPath, LONG bIncludeSubdir, ULONG* pulRet) {
  if (pulRet) *pulRet = file_helpers::FolderSize(strFolderPath, bIncludeSubdir != 0);
  return S_OK;
}

STDMETHODIMP COvTransferControl::InterfaceSupportsErrorInfo(REFIID iid) {
  return IsEqualIID(iid, IID_IOvTransferControl) ? S_OK : S_FALSE;
}
