// Upload tasks made from the arguments of the AddItem family: the checks that refuse a call,
// the task record, its file entries, and taking a task back out when a later step fails.
#pragma once
#include <windows.h>

#include <string>

#include "task_queue.h"

// One AddItem-family call's texts. A text ends at its first NUL, as the store, the list and
// the engine read it.
struct NewUpload {
  std::wstring title;
  std::wstring address;
  USHORT port = 0;  // 0: the default port
  std::wstring primary;
  std::wstring secondary;  // a second file, or with STYLE_FOLDER a folder
  std::wstring remote1;
  std::wstring remote2;
  ULONG style = 0;
};

class CTaskBuilder {
 public:
  static constexpr USHORT kDefaultPort = 8852;

  explicit CTaskBuilder(CTaskQueue& queue) : queue_(queue) {}

  // The call's checks after its address is resolved: a task already queued for the same
  // address, port and first remote name ends it with S_OK, a text too long for its field
  // with E_INVALIDARG (refused whole rather than stored cut, before a task or an id is
  // taken). False when the call ends here, with *result set.
  bool Accept(const NewUpload& upload, DWORD ipv4, LONG* result) const;

  // Appends the new task with its secondary entries: the second file, or the folder's own
  // entry and every file below it. *hr tells how far it got. The task's index.
  size_t Begin(const NewUpload& upload, DWORD ipv4, HRESULT* hr);

  // The primary entry, which ends every task's entries.
  HRESULT AddPrimary(UploadTask& task, const std::wstring& primary, const std::wstring& remote1, DWORD flags);

  // Takes a task whose making failed out of the queue again; the result the call reports.
  HRESULT Abandon(size_t index, HRESULT hr);

  // Whether one of the first `among` tasks has this address, port and first remote name.
  bool IsQueued(DWORD ipv4, DWORD port, const std::wstring& remote1, size_t among) const;

  // The entry flags every entry of a task of this style carries.
  static DWORD BaseFlags(ULONG style) { return (style & STYLE_FILE_OPTION) ? FILE_OPTION : 0; }

 private:
  HRESULT AddSecondaryEntries(UploadTask& task, const NewUpload& upload);

  CTaskQueue& queue_;
};
