// The file entries of a task: single files, and a folder walked into its files.
#pragma once
#include <string>

#include "task_queue.h"

// A path or name that does not fit its field: the entry is refused, never cut.
inline const HRESULT E_NAME_TOO_LONG = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

// Appends one entry (size from the file's attributes, 0 when they cannot be read).
// E_NAME_TOO_LONG when a text does not fit its field; S_OK otherwise.
HRESULT AddFileEntry(CTaskQueue& queue, UploadTask& task, const std::wstring& local_path,
                     const std::wstring& remote_name, const std::wstring& relative_name, DWORD flags);

// Adds the files below path (sub-folders give no entry of their own), in the order the file
// system lists them. S_OK; 1 when the folder cannot be listed; E_INVALIDARG when its
// attributes cannot be read; E_NAME_TOO_LONG when a name built for one of its files does not
// fit its field (the file would otherwise be left out without a word).
HRESULT AddFolderEntries(CTaskQueue& queue, UploadTask& task, const std::wstring& path,
                         const std::wstring& remote_prefix, const std::wstring& relative_prefix, DWORD flags,
                         bool include_subfolders);

// The remote name of a child: the prefix's path, "/", the name, then the prefix's query part.
std::wstring ChildRemoteName(const std::wstring& remote_prefix, const std::wstring& name);
