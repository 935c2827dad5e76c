// The cleaning steps of the cache cleaner: which folder may be emptied, stopping the
// player's service program, and the shell deletion of the folder's contents.
#pragma once
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace scourly {

// The shell's source buffer, in UTF-16 code units, including both terminators.
constexpr size_t kPatternCapacity = 2048;

// The folder's contents: "*.*" after a trailing "\", "\*.*" otherwise.
std::wstring DeletionPattern(const std::wstring& folder);

// The full path of the folder that path names, or nothing when emptying it could destroy
// data that is not cache: a relative or device path, wildcards, a drive or share root, a
// path that is not an existing folder, the Windows folder or anything inside it, a user's
// profile, or a folder holding any of the system's or user's standard folders.
std::optional<std::wstring> CleanableFolder(const std::wstring& path);

// How the service program is found and stopped; the defaults use the running system.
struct ProcessControl {
  // Ids of the running processes whose executable name matches, in snapshot order.
  std::function<std::vector<DWORD>(const wchar_t* exe_name)> find;
  // Terminates one process; true when it has ended.
  std::function<bool(DWORD pid)> terminate;
};
ProcessControl SystemProcessControl();

struct StopLimits {
  int attempts_per_process = 3;
  DWORD total_ms = 8000;
};

// Stops every running instance of exe_name. An instance that resists is given up after a few
// attempts (and the whole loop after a few seconds), so a protected process cannot hang the
// program. True when no instance is left.
bool StopAllInstances(const wchar_t* exe_name, const ProcessControl& control, const StopLimits& limits = {});

// Executable names match without regard to case.
bool SameExeName(const wchar_t* a, const wchar_t* b);

// Enables the debug privilege in the program's own token; true when the system reports no error.
bool EnableDebugPrivilege();

// Deletes what pattern matches, for good (not into the recycle bin), asking nothing.
// Returns the shell's result, 0 when nothing needed deleting.
int DeleteFolderContents(HWND owner, const std::wstring& folder);

}  // namespace scourly
