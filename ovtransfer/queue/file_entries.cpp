#include "file_entries.h"

#include "../com/folder_walk.h"

namespace {

// The low 32 bits of the size, as the entry keeps it; 0 when the attributes cannot be read.
LONGLONG EntrySize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<LONGLONG>(data.nFileSizeLow);
}

}  // namespace

HRESULT AddFileEntry(CTaskQueue& queue, UploadTask& task, const std::wstring& local_path,
                     const std::wstring& remote_name, const std::wstring& relative_name, DWORD flags) {
  if (!Fits(local_path, kPathCapacity) || !Fits(remote_name, kRemoteNameCapacity) ||
      !Fits(relative_name, kRelativeNameCapacity))
    return E_NAME_TOO_LONG;
  UploadFile entry;
  entry.id = queue.TakeId();
  entry.size = EntrySize(local_path);
  entry.flags = flags;
  entry.local_path = local_path;
  entry.remote_name = remote_name;
  entry.relative_name = relative_name;
  task.total_size += entry.size;
  task.files.push_back(std::move(entry));
  return S_OK;
}

std::wstring ChildRemoteName(const std::wstring& remote_prefix, const std::wstring& name) {
  const size_t query = remote_prefix.find(L'?');
  if (query == std::wstring::npos) return remote_prefix + L"/" + name;
  return remote_prefix.substr(0, query) + L"/" + name + remote_prefix.substr(query);
}

HRESULT AddFolderEntries(CTaskQueue& queue, UploadTask& task, const std::wstring& path,
                         const std::wstring& remote_prefix, const std::wstring& relative_prefix, DWORD flags,
                         bool include_subfolders) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return E_INVALIDARG;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return AddFileEntry(queue, task, path, remote_prefix, relative_prefix, flags);

  HRESULT result = S_OK;
  const bool listed = com::ForEachEntry(path, [&](const WIN32_FIND_DATAW& found) {
    const std::wstring name = found.cFileName;
    if (!include_subfolders && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    const std::wstring child_path = path + L"\\" + name;
    const std::wstring child_remote = ChildRemoteName(remote_prefix, name);
    const std::wstring child_relative = relative_prefix.empty() ? name : relative_prefix + L"\\" + name;
    // A child's own failures are passed over, as for an unreadable sub-folder; a name that
    // does not fit refuses the whole folder rather than leave a file out.
    if (!Fits(child_path, kPathCapacity) || !Fits(child_remote, kRemoteNameCapacity) ||
        !Fits(child_relative, kRelativeNameCapacity) ||
        AddFolderEntries(queue, task, child_path, child_remote, child_relative, flags, true) == E_NAME_TOO_LONG) {
      result = E_NAME_TOO_LONG;
      return false;
    }
    return true;
  });
  return listed ? result : S_FALSE;  // an unreadable folder counts as done, with nothing to add
}
