#include "task_builder.h"

#include "../com/text.h"
#include "file_entries.h"

bool CTaskBuilder::IsQueued(DWORD ipv4, DWORD port, const std::wstring& remote1, size_t among) const {
  for (size_t i = 0; i < among && i < queue_.Size(); ++i) {
    const UploadTask& task = queue_.Tasks()[i];
    if (task.ipv4 == ipv4 && task.port == port && com::SameText(task.first_remote_name, remote1)) return true;
  }
  return false;
}

bool CTaskBuilder::Accept(const NewUpload& upload, DWORD ipv4, LONG* result) const {
  // The port is compared as passed, so a call with port 0 never matches a queued task.
  if (IsQueued(ipv4, upload.port, upload.remote1, queue_.Size())) {
    *result = S_OK;
    return false;
  }
  if (!Fits(upload.title, kTitleCapacity) || !Fits(upload.address, kAddressCapacity) ||
      !Fits(upload.primary, kPathCapacity) || !Fits(upload.secondary, kPathCapacity) ||
      !Fits(upload.remote1, kRemoteNameCapacity) || !Fits(upload.remote2, kRemoteNameCapacity)) {
    *result = E_INVALIDARG;
    return false;
  }
  return true;
}

size_t CTaskBuilder::Begin(const NewUpload& upload, DWORD ipv4, HRESULT* hr) {
  UploadTask task;
  task.flags = upload.style | STYLE_REPORT_DURATION;
  task.state = TASK_NEW;
  task.ipv4 = ipv4;
  task.port = upload.port ? upload.port : kDefaultPort;
  task.id = queue_.TakeId();
  task.title = upload.title;
  task.address_text = upload.address;
  task.first_remote_name = upload.remote1;
  const size_t index = queue_.AppendTask(std::move(task));
  *hr = AddSecondaryEntries(queue_.At(index), upload);
  return index;
}

HRESULT CTaskBuilder::AddSecondaryEntries(UploadTask& task, const NewUpload& upload) {
  const std::wstring& path = upload.secondary;
  const DWORD base = BaseFlags(upload.style);
  if (upload.style & STYLE_FOLDER) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (path.empty() || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return E_INVALIDARG;
    if (FAILED(AddFileEntry(queue_, task, path, upload.remote2, L"", base | FILE_NO_DATA | FILE_FOLDER))) return E_FAIL;
    const HRESULT walked = AddFolderEntries(queue_, task, path, upload.remote2, L"", base, true);
    if (walked == E_NAME_TOO_LONG) return walked;  // told apart: the task's ids go back
    return FAILED(walked) ? E_FAIL : S_OK;
  }
  if (path.empty()) return S_OK;
  return FAILED(AddFileEntry(queue_, task, path, upload.remote2, L"", base)) ? E_FAIL : S_OK;
}

HRESULT CTaskBuilder::AddPrimary(UploadTask& task, const std::wstring& primary, const std::wstring& remote1,
                                 DWORD flags) {
  return FAILED(AddFileEntry(queue_, task, primary, remote1, L"", flags)) ? E_FAIL : S_OK;
}

HRESULT CTaskBuilder::Abandon(size_t index, HRESULT hr) {
  const DWORD first_id = queue_.At(index).id;
  queue_.RemoveTaskAt(index);
  // A name that only the folder walk found too long is refused like an over-long argument,
  // without using up ids; the task took the latest ones and nobody has seen them.
  if (hr == E_NAME_TOO_LONG) {
    queue_.GiveBackIds(first_id);
    return E_FAIL;
  }
  return hr;
}
