#include "cache_cleaner.h"

#include <shlobj.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <map>

#include "../ovtransfer/com/folder_walk.h"
#include "../ovtransfer/com/text.h"
#include "../ovtransfer/com/unique.h"

namespace scourly {
namespace {

// True when inner lies strictly below outer.
bool IsBelow(const std::wstring& inner, const std::wstring& outer) {
  if (outer.empty() || inner.size() <= outer.size()) return false;
  std::wstring head = inner.substr(0, outer.size());
  if (!com::SameText(head, outer)) return false;
  return outer.back() == L'\\' || inner[outer.size()] == L'\\';
}

std::wstring TrimSeparators(std::wstring path) {
  // Keep "C:\" and "\\" whole; only a trailing separator after a name goes.
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

std::wstring FullPath(const std::wstring& path) {
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return {};
  std::wstring out(n, L'\0');
  n = GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
  if (n == 0 || n >= out.size()) return {};
  out.resize(n);
  return TrimSeparators(out);
}

// Where the folder really is once links and junctions are followed; empty when unknown.
std::wstring FinalPath(const std::wstring& path) {
  com::UniqueFile h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.Valid()) return {};
  wchar_t buffer[MAX_PATH * 4];
  DWORD n = GetFinalPathNameByHandleW(h.Get(), buffer, ARRAYSIZE(buffer), VOLUME_NAME_DOS);
  if (n == 0 || n >= ARRAYSIZE(buffer)) return {};
  std::wstring out(buffer, n);
  if (out.rfind(L"\\\\?\\UNC\\", 0) == 0) out = L"\\\\" + out.substr(8);
  else if (out.rfind(L"\\\\?\\", 0) == 0) out = out.substr(4);
  return TrimSeparators(out);
}

bool IsRoot(const std::wstring& full) {
  if (full.size() >= 2 && full[1] == L':') return full.size() <= 3;
  if (full.rfind(L"\\\\", 0) == 0) {
    // "\\server\share" is the root of a share.
    size_t server_end = full.find(L'\\', 2);
    if (server_end == std::wstring::npos) return true;
    size_t share_end = full.find(L'\\', server_end + 1);
    return share_end == std::wstring::npos || share_end + 1 >= full.size();
  }
  return true;
}

// A path the shell reads the same way whatever the working directory and current drive are.
bool IsPlainAbsolute(const std::wstring& path) {
  if (path.find_first_of(L"*?\"<>|") != std::wstring::npos) return false;
  if (path.find(L'\0') != std::wstring::npos) return false;
  if (path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
    return path.find(L':', 2) == std::wstring::npos;
  if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\')  // a share, but no device or "\\?\" form
    return path[2] != L'?' && path[2] != L'.' && path.find(L':') == std::wstring::npos;
  return false;
}

void AddFolder(std::vector<std::wstring>& to, const std::wstring& path) {
  if (path.empty()) return;
  std::wstring full = FullPath(path);
  if (full.empty()) return;
  to.push_back(full);
  std::wstring real = FinalPath(full);
  if (!real.empty() && !com::SameText(real, full)) to.push_back(real);
}

void AddKnownFolder(std::vector<std::wstring>& to, REFKNOWNFOLDERID id) {
  com::UniqueCoTaskMem<wchar_t> path;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, path.Receive())) && path)
    AddFolder(to, path.Get());
}

// Folders that no cache folder may be, or hold.
std::vector<std::wstring> StandardFolders() {
  std::vector<std::wstring> folders;
  static const KNOWNFOLDERID* const ids[] = {
      &FOLDERID_Windows,       &FOLDERID_System,         &FOLDERID_SystemX86,   &FOLDERID_ProgramFiles,
      &FOLDERID_ProgramFilesX86, &FOLDERID_ProgramData,  &FOLDERID_UserProfiles, &FOLDERID_Profile,
      &FOLDERID_Public,        &FOLDERID_Desktop,        &FOLDERID_Documents,   &FOLDERID_Downloads,
      &FOLDERID_Music,         &FOLDERID_Pictures,       &FOLDERID_Videos,      &FOLDERID_Favorites,
      &FOLDERID_RoamingAppData, &FOLDERID_LocalAppData,  &FOLDERID_Startup,     &FOLDERID_StartMenu,
  };
  for (const KNOWNFOLDERID* id : ids) AddKnownFolder(folders, *id);
  wchar_t buffer[MAX_PATH + 1];
  if (UINT n = GetWindowsDirectoryW(buffer, MAX_PATH); n && n < MAX_PATH) AddFolder(folders, buffer);
  if (DWORD n = GetTempPathW(MAX_PATH + 1, buffer); n && n <= MAX_PATH) AddFolder(folders, buffer);
  if (DWORD n = GetEnvironmentVariableW(L"USERPROFILE", buffer, MAX_PATH); n && n < MAX_PATH)
    AddFolder(folders, buffer);
  return folders;
}

std::vector<std::wstring> WindowsFolders() {
  std::vector<std::wstring> folders;
  AddKnownFolder(folders, FOLDERID_Windows);
  wchar_t buffer[MAX_PATH];
  if (UINT n = GetWindowsDirectoryW(buffer, MAX_PATH); n && n < MAX_PATH) AddFolder(folders, buffer);
  return folders;
}

bool IsProtected(const std::wstring& folder) {
  if (folder.empty() || IsRoot(folder)) return true;
  for (const std::wstring& standard : StandardFolders())
    if (com::SameText(folder, standard) || IsBelow(standard, folder)) return true;
  for (const std::wstring& windows : WindowsFolders())
    if (IsBelow(folder, windows)) return true;
  // Any user's profile: a folder right below the profiles folder.
  std::vector<std::wstring> profiles;
  AddKnownFolder(profiles, FOLDERID_UserProfiles);
  size_t cut = folder.find_last_of(L'\\');
  if (cut != std::wstring::npos) {
    std::wstring parent = folder.substr(0, cut);
    for (const std::wstring& p : profiles)
      if (com::SameText(parent, p)) return true;
  }
  return false;
}

bool HasEntries(const std::wstring& folder) {
  bool any = false;
  com::ForEachEntry(folder, [&](const WIN32_FIND_DATAW&) {
    any = true;
    return false;  // one is enough
  });
  return any;
}

std::vector<DWORD> FindBySnapshot(const wchar_t* exe_name) {
  std::vector<DWORD> found;
  com::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.Valid()) return found;  // no snapshot: as if nothing ran
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
    if (SameExeName(entry.szExeFile, exe_name)) found.push_back(entry.th32ProcessID);
  return found;
}

bool TerminateById(DWORD pid) {
  // Administrators need the privilege for service processes of other accounts; a process of our
  // own account can be ended without it, so a refusal here does not stop the attempt.
  EnableDebugPrivilege();
  com::UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
  if (!process.Valid()) return false;
  if (!TerminateProcess(process.Get(), 1)) return false;
  // Termination completes asynchronously; wait briefly so the next look does not find it again.
  return WaitForSingleObject(process.Get(), 2000) == WAIT_OBJECT_0;
}

}  // namespace

std::wstring DeletionPattern(const std::wstring& folder) {
  if (!folder.empty() && folder.back() == L'\\') return folder + L"*.*";
  return folder + L"\\*.*";
}

std::optional<std::wstring> CleanableFolder(const std::wstring& path) {
  if (path.empty() || !IsPlainAbsolute(path)) return std::nullopt;
  std::wstring full = FullPath(path);
  if (full.empty() || DeletionPattern(full).size() + 2 > kPatternCapacity) return std::nullopt;
  DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  if (IsProtected(full)) return std::nullopt;
  // A link or junction is judged by where it leads.
  std::wstring real = FinalPath(full);
  if (!real.empty() && !com::SameText(real, full) && IsProtected(real)) return std::nullopt;
  return full;
}

bool SameExeName(const wchar_t* a, const wchar_t* b) { return com::SameText(a, b); }

ProcessControl SystemProcessControl() { return {FindBySnapshot, TerminateById}; }

bool StopAllInstances(const wchar_t* exe_name, const ProcessControl& control, const StopLimits& limits) {
  std::map<DWORD, int> attempts;
  const ULONGLONG deadline = GetTickCount64() + limits.total_ms;
  for (;;) {
    std::vector<DWORD> running = control.find(exe_name);
    DWORD target = 0;
    bool have_target = false;
    for (DWORD pid : running)
      if (attempts[pid] < limits.attempts_per_process) {
        target = pid;
        have_target = true;
        break;
      }
    if (!have_target) return running.empty();
    if (GetTickCount64() >= deadline) return false;
    ++attempts[target];
    control.terminate(target);
  }
}

bool EnableDebugPrivilege() {
  com::UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, token.Receive())) return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) return false;
  SetLastError(ERROR_SUCCESS);
  AdjustTokenPrivileges(token.Get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
  return GetLastError() == ERROR_SUCCESS;
}

int DeleteFolderContents(HWND owner, const std::wstring& folder) {
  // An empty folder needs no shell call (the shell would only complain that nothing matched).
  if (!HasEntries(folder)) return 0;
  std::wstring pattern = DeletionPattern(folder);
  if (pattern.size() + 2 > kPatternCapacity) return ERROR_BUFFER_OVERFLOW;
  std::vector<wchar_t> from(kPatternCapacity, L'\0');  // the list ends with a second terminator
  pattern.copy(from.data(), pattern.size());

  // Some shells, on a path they cannot handle, fall back to the working directory; make that
  // the cache folder itself, so such a fault can only ever empty the cache.
  wchar_t previous[MAX_PATH * 2];
  DWORD had = GetCurrentDirectoryW(ARRAYSIZE(previous), previous);
  bool moved = SetCurrentDirectoryW(folder.c_str()) != FALSE;

  SHFILEOPSTRUCTW op{};
  op.hwnd = owner;
  op.wFunc = FO_DELETE;
  op.pFrom = from.data();
  op.pTo = nullptr;
  op.fFlags = FOF_NOCONFIRMATION;
  op.lpszProgressTitle = L"删除缓存文件";
  int result = SHFileOperationW(&op);

  if (moved && had && had < ARRAYSIZE(previous)) SetCurrentDirectoryW(previous);
  return result;
}

}  // namespace scourly
