// The unfinished queue on disk: one file per database id and user, the records behind a
// 16-byte header, replaced whole at every save.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "upload_task.h"

inline constexpr DWORD TASK_STORE_MAGIC = 0x75696668;  // "hfiu"
inline constexpr DWORD kTaskStoreVersion = 1;
inline constexpr size_t kStoreHeaderSize = 16;
inline constexpr size_t kStoreTaskSize = 4664;
inline constexpr size_t kStoreEntrySize = 3120;

// Windows directory\ovtransfer\<database id>_<user id>.ini. E_FAIL when either is empty,
// holds a character a file name may not have, ends in a dot or a space, or the path would
// not fit in 260 characters.
HRESULT TaskStorePath(const std::wstring& database, const std::wstring& user, std::wstring* path);

// The file's bytes for the tasks that are not done.
std::vector<BYTE> EncodeTaskStore(const std::vector<UploadTask>& tasks);

enum class StoreDamage { kNone, kHeader, kBlocks };

// Tasks and their entries as stored (ids of tasks are the caller's to give). The file is
// outside data: every count is checked against the bytes really there and every string must
// end inside its field.
StoreDamage DecodeTaskStore(const std::vector<BYTE>& bytes, std::vector<UploadTask>* tasks);

// Writes bytes to a temporary file beside path and puts it in place only once it is whole,
// so a failed save leaves the previous store as it was.
HRESULT ReplaceFileAtomically(const std::wstring& path, const std::vector<BYTE>& bytes);

// The whole file; the status of the last error when it cannot be read.
HRESULT ReadWholeFile(const std::wstring& path, std::vector<BYTE>* bytes);
