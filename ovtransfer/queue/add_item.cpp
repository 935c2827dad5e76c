// The AddItem family: a file (and a second file or a folder), a text, or a link, each queued
// as one upload task.
#include <string>

#include "../control/host_resolution.h"
#include "../control/ov_transfer_control.h"
#include "file_entries.h"
#include "manifest.h"
#include "temp_file.h"

namespace {

// A field's text ends at the first NUL, as the store, the list and the engine read it; so the
// duplicate check compares what they will see.
std::wstring Text(BSTR b) { return b ? std::wstring(b) : std::wstring(); }

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
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

bool COvTransferControl::IsQueued(DWORD ipv4, DWORD port, const std::wstring& remote1, size_t among) const {
  for (size_t i = 0; i < among && i < queue_.Size(); ++i) {
    const UploadTask& task = queue_.Tasks()[i];
    if (task.ipv4 == ipv4 && task.port == port && EqualIgnoringCase(task.first_remote_name, remote1)) return true;
  }
  return false;
}

UploadTask COvTransferControl::NewTask(BSTR title, BSTR address, DWORD ipv4, USHORT port, BSTR remote1,
                                       ULONG style) {
  UploadTask task;
  task.flags = style | STYLE_REPORT_DURATION;
  task.state = TASK_NEW;
  task.ipv4 = ipv4;
  task.port = port ? port : 8852;
  task.id = queue_.TakeId();
  task.title = Text(title);
  task.address_text = Text(address);
  task.first_remote_name = Text(remote1);
  return task;
}

bool COvTransferControl::AcceptUpload(BSTR title, BSTR address, USHORT port, const std::wstring& primary,
                                      BSTR secondary, BSTR remote1, BSTR remote2, LONG* result, DWORD* ipv4) {
  if (!WindowReady_ || !result) return false;  // nothing happens before the window is ready
  *ipv4 = ResolveHostAddress(window_, address);
  if (*ipv4 == 0) {
    *result = E_INVALIDARG;
    return false;
  }
  // The port is compared as passed, so a call with port 0 never matches a queued task.
  if (IsQueued(*ipv4, port, Text(remote1), queue_.Size())) {
    *result = S_OK;
    return false;
  }
  // Refused whole rather than stored cut, before a task or an id is taken.
  if (!Fits(Text(title), kTitleCapacity) || !Fits(Text(address), kAddressCapacity) ||
      !Fits(primary, kPathCapacity) || !Fits(Text(secondary), kPathCapacity) ||
      !Fits(Text(remote1), kRemoteNameCapacity) || !Fits(Text(remote2), kRemoteNameCapacity)) {
    *result = E_INVALIDARG;
    return false;
  }
  return true;
}

HRESULT COvTransferControl::AddSecondaryEntries(UploadTask& task, BSTR secondary, BSTR remote2, ULONG style,
                                                DWORD base_flags) {
  const std::wstring path = Text(secondary), remote = Text(remote2);
  if (style & STYLE_FOLDER) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (path.empty() || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return E_INVALIDARG;
    if (FAILED(AddFileEntry(queue_, task, path, remote, L"", base_flags | FILE_NO_DATA | FILE_FOLDER))) return E_FAIL;
    const HRESULT walked = AddFolderEntries(queue_, task, path, remote, L"", base_flags, true);
    if (walked == E_NAME_TOO_LONG) return walked;  // told apart: the task's ids go back
    return FAILED(walked) ? E_FAIL : S_OK;
  }
  if (path.empty()) return S_OK;
  return FAILED(AddFileEntry(queue_, task, path, remote, L"", base_flags)) ? E_FAIL : S_OK;
}

HRESULT COvTransferControl::AddUpload(BSTR title, BSTR address, USHORT port, const std::wstring& primary,
                                      BSTR secondary, BSTR remote1, BSTR remote2, ULONG style, LONG* result) {
  DWORD ipv4 = 0;
  if (!AcceptUpload(title, address, port, primary, secondary, remote1, remote2, result, &ipv4)) return S_FALSE;
  const size_t index = queue_.AppendTask(NewTask(title, address, ipv4, port, remote1, style));
  UploadTask& task = queue_.At(index);
  const DWORD base = (style & STYLE_FILE_OPTION) ? FILE_OPTION : 0;
  const HRESULT hr = AddSecondaryEntries(task, secondary, remote2, style, base);
  const DWORD flags = base | FILE_PRIMARY | ((style & STYLE_DELETE_PRIMARY) ? FILE_DELETE_AFTER_UPLOAD : 0);
  return CompleteNewTask(index, hr, primary, remote1, flags, result) ? S_OK : S_FALSE;
}

bool COvTransferControl::CompleteNewTask(size_t index, HRESULT hr, const std::wstring& primary, BSTR remote1,
                                         DWORD flags, LONG* result) {
  UploadTask& task = queue_.At(index);
  if (SUCCEEDED(hr)) hr = FAILED(AddFileEntry(queue_, task, primary, Text(remote1), L"", flags)) ? E_FAIL : S_OK;
  if (SUCCEEDED(hr)) hr = InsertTaskRow(task, -1);
  if (FAILED(hr)) {
    const DWORD first_id = task.id;
    queue_.RemoveTaskAt(index);
    // A name that only the folder walk found too long is refused like an over-long argument,
    // without using up ids; the task took the latest ones and nobody has seen them.
    if (hr == E_NAME_TOO_LONG) {
      queue_.GiveBackIds(first_id);
      hr = E_FAIL;
    }
    *result = hr;
    return false;
  }
  queue_.At(index).state = TASK_QUEUED;
  SaveTasks();
  *result = S_OK;
  return true;
}

STDMETHODIMP COvTransferControl::AddItem(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryFile,
                                         BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2,
                                         ULONG ulStyle, LONG* lResult) {
  AddUpload(bstrTitle, bstrIPAddress, uPort, Text(bstrPrimaryFile), bstrSecondaryFile, bstrRemoteName1,
            bstrRemoteName2, ulStyle, lResult);
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
  const bool queued = AddUpload(bstrTitle, bstrIPAddress, uPort, temp.path, bstrSecondaryFile, bstrRemoteName1,
                                bstrRemoteName2, ulStyle | STYLE_DELETE_PRIMARY, lResult) == S_OK;
  // The file goes with its task. Before the window is ready the result is the caller's own
  // value and the file stays unless that is negative; a duplicate's file has no task at all.
  if (queued || (!WindowReady_ && *lResult >= 0)) guard.Keep();
  return S_OK;
}

HRESULT COvTransferControl::AddLink(BSTR title, BSTR address, USHORT port, BSTR link, BSTR secondary, BSTR remote1,
                                    BSTR remote2, ULONG style, LONG* result) {
  DWORD ipv4 = 0;
  // The primary file is the manifest, named here; the link has no field of its own.
  if (!AcceptUpload(title, address, port, L"", secondary, remote1, remote2, result, &ipv4)) return S_OK;
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
  const size_t index = queue_.AppendTask(NewTask(title, address, ipv4, port, remote1, style));
  UploadTask& task = queue_.At(index);
  const DWORD base = (style & STYLE_FILE_OPTION) ? FILE_OPTION : 0;
  hr = AddSecondaryEntries(task, secondary, remote2, style, base);
  if (SUCCEEDED(hr)) {
    const std::wstring manifest = BuildManifest(Text(link), Text(remote2), task);
    if (!WriteAll(temp.file.Get(), manifest.data(), manifest.size() * sizeof(wchar_t))) hr = E_INVALIDARG;
  }
  temp.file = com::UniqueHandle();
  if (CompleteNewTask(index, hr, temp.path, remote1, base | FILE_PRIMARY | FILE_DELETE_AFTER_UPLOAD, result))
    guard.Keep();
  return S_OK;
}

STDMETHODIMP COvTransferControl::AddItem3(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryLink,
                                          BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2,
                                          ULONG ulStyle, LONG* lResult) {
  return AddLink(bstrTitle, bstrIPAddress, uPort, bstrPrimaryLink, bstrSecondaryFile, bstrRemoteName1,
                 bstrRemoteName2, ulStyle, lResult);
}
