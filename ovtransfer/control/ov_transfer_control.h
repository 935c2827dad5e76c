// The upload control: the one creatable class of the component, driven by a page's script.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "../com/dispatch.h"
#include "../com/object.h"
#include "../com/ptr.h"
#include "../outside/net_support.h"
#include "ovtransfer_idl.h"

class COvTransferControl : public com::CComBase, public IOvTransferControl, public ISupportErrorInfo {
 public:
  explicit COvTransferControl(IUnknown* outer);

  COM_DELEGATE_IUNKNOWN
  COM_DISPATCH_FROM_TYPELIB(TypeInfo(), IOvTransferControl)

  // IOvTransferControl
  STDMETHODIMP get_DatabaseGUID(BSTR* value) override;
  STDMETHODIMP put_DatabaseGUID(BSTR value) override;
  STDMETHODIMP get_EnabledRate(LONG* value) override;
  STDMETHODIMP put_EnabledRate(LONG value) override;
  STDMETHODIMP get_UploadRate(ULONG* value) override;
  STDMETHODIMP put_UploadRate(ULONG value) override;
  STDMETHODIMP get_SnapshotUploadUrl(BSTR* value) override;
  STDMETHODIMP put_SnapshotUploadUrl(BSTR value) override;
  STDMETHODIMP Open(BSTR bstrUserID, BSTR bstrUserName, BSTR bstrUserPass) override;
  STDMETHODIMP Close() override;
  STDMETHODIMP ShowFileDialog(BSTR bstrTitle, BSTR bstrFileFilter, BSTR bstrOldFileName,
                              BSTR* pbstrFileName) override;
  STDMETHODIMP ShowFolderDialog(BSTR bstrTitle, BSTR bstrOldFolderName, BSTR* pbstrFolderName) override;
  STDMETHODIMP AddItem(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryFile,
                       BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2, ULONG ulStyle,
                       LONG* lResult) override;
  STDMETHODIMP AddItem2(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryCotent,
                        BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2, ULONG ulStyle,
                        LONG* lResult) override;
  STDMETHODIMP AddItem3(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryLink,
                        BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2, ULONG ulStyle,
                        LONG* lResult) override;
  STDMETHODIMP FileIsExist(BSTR strFilePath, LONG* pbRet) override;
  STDMETHODIMP FolderIsExist(BSTR strFolderPath, LONG* pbRet) override;
  STDMETHODIMP GetFileSize(BSTR strFilePath, ULONG* pulRet) override;
  STDMETHODIMP GetFolderSize(BSTR strFolderPath, LONG bIncludeSubdir, ULONG* pulRet) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

  // The control's state, read by its own tests and by the parts that drive the queue.
  const com::Bstr& UserID() const { return UserID_; }
  const com::Bstr& UserName() const { return UserName_; }
  const com::Bstr& UserPass() const { return UserPass_; }
  LONG MaxTaskCount() const { return MaxTaskCount_; }
  LONG RunningCount() const { return RunningCount_; }
  LONG NextTaskId() const { return NextTaskId_; }
  DWORD WindowReady() const { return WindowReady_; }
  LONG SelectedTaskId() const { return SelectedTaskId_; }

 protected:
  void* FindInterface(REFIID iid) override;
  void FinalRelease() override;

 private:
  static com::CTypeInfoHolder& TypeInfo();

  // Fields in declaration order; the numbers are the values of a new control.
  com::ComPtr<INetSupport> NetSupport_;
  LONG RunningCount_ = 0;
  LONG MaxTaskCount_ = 4;
  ULONG UploadRate_ = 2048;  // units of 1024; 0 means unlimited
  com::Bstr UserName_;
  com::Bstr UserPass_;
  com::Bstr DatabaseGUID_;
  com::Bstr SnapshotUploadUrl_;
  com::Bstr UserID_;
  HWND ListWindow_ = nullptr;
  HWND RateCombo_ = nullptr;
  HWND CountCombo_ = nullptr;
  LONG NextTaskId_ = 0;
  DWORD WindowReady_ = 0;
  LONG SelectedTaskId_ = -1;
  LONG EnabledRate_ = 1;
};
