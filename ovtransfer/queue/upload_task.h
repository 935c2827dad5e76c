// The upload queue's records: a task per accepted AddItem call, with its file entries.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "../com/ptr.h"
#include "../outside/transfer_engine.h"

// Style bits of the AddItem family; they stay in the task's flags.
inline constexpr DWORD STYLE_FOLDER = 0x1;
inline constexpr DWORD STYLE_FILE_OPTION = 0x4;
inline constexpr DWORD STYLE_SNAPSHOT = 0x10;
inline constexpr DWORD STYLE_REPORT_DURATION = 0x20;
inline constexpr DWORD STYLE_DELETE_PRIMARY = 0x8000;
inline constexpr DWORD TASK_SNAPSHOT_RUNNING = 0x10000;
inline constexpr DWORD TASK_DURATION_RUNNING = 0x20000;

// File entry flags; all but FILE_DELETE_AFTER_UPLOAD are handed to the engine.
inline constexpr DWORD FILE_PRIMARY = 0x1;
inline constexpr DWORD FILE_NO_DATA = 0x2;
inline constexpr DWORD FILE_FOLDER = 0x4;
inline constexpr DWORD FILE_OPTION = 0x8;
inline constexpr DWORD FILE_DELETE_AFTER_UPLOAD = 0x8000;

enum TaskState : DWORD {
  TASK_NEW = 0,
  TASK_QUEUED = 1,
  TASK_UPLOADING = 2,
  TASK_PAUSED = 3,
  TASK_DONE = 4,
  TASK_RESTORED = 6,
  TASK_ERR_CONNECT = 104,
  TASK_ERR_STOPPED = 105,
  TASK_ERR_LOGIN = 106,
  TASK_ERR_PUT = 107,
  TASK_ERR_START = 109,
};

inline bool IsErrorState(DWORD state) { return state >= TASK_ERR_CONNECT && state <= TASK_ERR_START; }

// The text the task list shows for a state.
const wchar_t* StatusText(DWORD state);

// Capacities of the stored fields, in UTF-16 units with the terminator; longer texts are refused.
inline constexpr size_t kTitleCapacity = 1024;
inline constexpr size_t kRemoteNameCapacity = 1024;
inline constexpr size_t kPathCapacity = 260;
inline constexpr size_t kAddressCapacity = 260;
inline constexpr size_t kRelativeNameCapacity = 260;

inline bool Fits(const std::wstring& text, size_t capacity) { return text.size() < capacity; }

struct UploadFile {
  std::wstring local_path;
  std::wstring remote_name;    // may carry a query part after "?"
  std::wstring relative_name;  // below a folder task's folder (a.txt, sub\b.txt); empty otherwise
  LONGLONG size = 0;           // low 32 bits of the size when the entry was made
  LONGLONG done = 0;           // bytes transferred: the resume position
  DWORD state = TASK_QUEUED;
  DWORD flags = 0;
  DWORD id = 0;
};

struct UploadTask {
  DWORD flags = 0;
  DWORD state = TASK_NEW;
  std::wstring title;
  DWORD progress = 0;  // low 16 bits whole percent, high 16 bits tenths
  std::wstring address_text;
  DWORD ipv4 = 0;  // host byte order
  DWORD port = 0;
  std::wstring first_remote_name;
  DWORD id = 0;
  LONGLONG total_size = 0;
  DWORD current_file = 0;
  DWORD retries = 0;
  std::vector<UploadFile> files;
  com::ComPtr<ITransferEngine> engine;  // the task's one reference
  bool holds_slot = false;              // counts in the running count (not stored)
};
