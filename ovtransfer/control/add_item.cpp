// The AddItem family: a file (and a second file or a folder), a text, or a link, each queued
// as one upload task by the task builder once the window is ready and the address known.
#include <string>

#include "../queue/manifest.h"
#include "../queue/temp_file.h"
#include "host_resolution.h"
#include "ov_transfer_control.h"

namespace {

// A field's text ends at the first NUL, as the store, the list and the engine read it; so the
// duplicate check compares what they will see.
std::wstring Text(BSTR b) { return b ? std::wstring(b) : std::wstring(); }

NewUpload Upload(BSTR title, BSTR address, USHORT port, const std::wstring& primary, BSTR secondary, BSTR remote1,
                 BSTR remote2, ULONG style) {
  return NewUpload{Text(title), Text(address), port, primary, Text(secondary), Text(remote1), Text(remote2), style};
}

// The temporary file of an AddItem2 or AddItem3 call, deleted unless the call hands it on.
class TempFileGuard {
 public:
  explicit TempFileGuard(TempUploadFile& file) : file_(file) {}
  ~TempFileGuard() {
    if (keep_) return;
    file_.file = com::UniqueHandle();
    DeleteFileW(file_.path.c_str());
  }
  void Keep() { keep_ = true; }

 private:
  TempUploadFile& file_;
  bool keep_ = false;
};

}  // namespace

bool COvTransferControl::AcceptUpload(const NewUpload& upload, BSTR address, LONG* result, DWORD* ipv4) {
  if (!WindowReady_ || !result) return false;  // nothing happens before the window is ready
  *ipv4 = ResolveHostAddress(window_, address);
  if (*ipv4 == 0) {
    *result = E_INVALIDARG;
    return false;
  }
  return builder_.Accept(upload, *ipv4, result);
}

HRESULT COvTransferControl::AddUpload(const NewUpload& upload, BSTR address, LONG* result) {
  DWORD ipv4 = 0;
  if (!AcceptUpload(upload, address, result, &ipv4)) return S_FALSE;
  HRESULT hr = S_OK;
  const size_t index = builder_.Begin(upload, ipv4, &hr);
  const DWORD flags = CTaskBuilder::BaseFlags(upload.style) | FILE_PRIMARY |
                      ((upload.style & STYLE_DELETE_PRIMARY) ? FILE_DELETE_AFTER_UPLOAD : 0);
  return CompleteNewTask(index, hr, upload.primary, upload.remote1, flags, result) ? S_OK : S_FALSE;
}

bool COvTransferControl::CompleteNewTask(size_t index, HRESULT hr, const std::wstring& primary,
                                         const std::wstring& remote1, DWORD flags, LONG* result) {
  UploadTask& task = queue_.At(index);
  if (SUCCEEDED(hr)) hr = builder_.AddPrimary(task, primary, remote1, flags);
  if (SUCCEEDED(hr)) hr = InsertTaskRow(task, -1);
  if (FAILED(hr)) {
    *result = builder_.Abandon(index, hr);
    return false;
  }
  CScheduler::Admit(task);
  SaveTasks();
  *result = S_OK;
  return true;
}

STDMETHODIMP COvTransferControl::AddItem(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryFile,
                                         BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2,
                                         ULONG ulStyle, LONG* lResult) {
  AddUpload(Upload(bstrTitle, bstrIPAddress, uPort, Text(bstrPrimaryFile), bstrSecondaryFile, bstrRemoteName1,
                   bstrRemoteName2, ulStyle),
            bstrIPAddress, lResult);
  return S_OK;
}

STDMETHODIMP COvTransferControl::AddItem2(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryCotent,
                                          BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2,
                                          ULONG ulStyle, LONG* lResult) {
  if (!lResult) return S_OK;
  TempUploadFile temp;
  HRESULT hr = CreateTempUploadFile(&temp);
  if (FAILED(hr)) {
    *lResult = hr;
    return S_OK;
  }
  TempFileGuard guard(temp);
  // The text in the thread's ANSI code page, sized by the conversion itself so that no
  // character is ever cut, without a terminator.
  const int chars = bstrPrimaryCotent ? static_cast<int>(SysStringLen(bstrPrimaryCotent)) : 0;
  std::string bytes;
  if (chars > 0) {
    const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, bstrPrimaryCotent, chars, nullptr, 0, nullptr, nullptr);
    bytes.resize(static_cast<size_t>(size));
    if (size <= 0 ||
        WideCharToMultiByte(CP_THREAD_ACP, 0, bstrPrimaryCotent, chars, bytes.data(), size, nullptr, nullptr) != size) {
      *lResult = E_INVALIDARG;
      return S_OK;
    }
  }
  if (!WriteAll(temp.file.Get(), bytes.data(), bytes.size())) {
    *lResult = E_INVALIDARG;
    return S_OK;
  }
  temp.file = com::UniqueHandle();
  const bool queued = AddUpload(Upload(bstrTitle, bstrIPAddress, uPort, temp.path, bstrSecondaryFile, bstrRemoteName1,
                                       bstrRemoteName2, ulStyle | STYLE_DELETE_PRIMARY),
                                bstrIPAddress, lResult) == S_OK;
  // The file goes with its task. Before the window is ready the result is the caller's own
  // value and the file stays unless that is negative; a duplicate's file has no task at all.
  if (queued || (!WindowReady_ && *lResult >= 0)) guard.Keep();
  return S_OK;
}

HRESULT COvTransferControl::AddLink(const NewUpload& upload, BSTR address, const std::wstring& link, LONG* result) {
  DWORD ipv4 = 0;
  // The primary file is the manifest, named here; the link has no field of its own.
  if (!AcceptUpload(upload, address, result, &ipv4)) return S_OK;
  TempUploadFile temp;
  HRESULT hr = CreateTempUploadFile(&temp);
  if (FAILED(hr)) {
    *result = hr;
    return S_OK;
  }
  TempFileGuard guard(temp);
  const wchar_t bom = 0xFEFF;
  if (!WriteAll(temp.file.Get(), &bom, sizeof(bom))) {
    *result = E_INVALIDARG;
    return S_OK;
  }
  const size_t index = builder_.Begin(upload, ipv4, &hr);
  if (SUCCEEDED(hr)) {
    const std::wstring manifest = BuildManifest(link, upload.remote2, queue_.At(index));
    if (!WriteAll(temp.file.Get(), manifest.data(), manifest.size() * sizeof(wchar_t))) hr = E_INVALIDARG;
  }
  temp.file = com::UniqueHandle();
  const DWORD flags = CTaskBuilder::BaseFlags(upload.style) | FILE_PRIMARY | FILE_DELETE_AFTER_UPLOAD;
  if (CompleteNewTask(index, hr, temp.path, upload.remote1, flags, result)) guard.Keep();
  return S_OK;
}

STDMETHODIMP COvTransferControl::AddItem3(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryLink,
                                          BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2,
                                          ULONG ulStyle, LONG* lResult) {
  return AddLink(
      Upload(bstrTitle, bstrIPAddress, uPort, L"", bstrSecondaryFile, bstrRemoteName1, bstrRemoteName2, ulStyle),
      bstrIPAddress, Text(bstrPrimaryLink), lResult);
}
