#include "file_helpers.h"

#include <commdlg.h>
#include <shlobj.h>

#include <string>
#include <type_traits>
#include <vector>

#include "../com/folder_walk.h"
#include "../com/text.h"
#include "../com/unique.h"
#include "../queue/upload_task.h"

namespace file_helpers {
namespace {

using com::BstrText;

// Adds the folder's file sizes to sum; false when the folder's listing fails.
bool SumFolder(const std::wstring& folder, bool include_subfolders, ULONG* sum) {
  if (folder.size() + 2 >= kPathCapacity) return false;  // the listing's pattern, folder\*, must fit
  bool ok = true;
  const bool listed = com::ForEachEntry(folder, [&](const WIN32_FIND_DATAW& found) {
    const std::wstring path = folder + L"\\" + found.cFileName;
    WIN32_FILE_ATTRIBUTE_DATA data;
    // A path beyond the limit cannot be read, like any entry whose attributes fail.
    if (path.size() >= kPathCapacity || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      ok = false;
      return false;
    }
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      *sum += data.nFileSizeLow;  // wraps, as an unsigned 32-bit sum does
    else if (include_subfolders)
      SumFolder(path, true, sum);  // what a sub-folder cannot give is left out
    return true;
  });
  return listed && ok;
}

// Copies text into a fixed dialog buffer; a text that does not fit is not used at all.
std::vector<wchar_t> DialogBuffer(const std::wstring& text) {
  std::vector<wchar_t> buffer(kDialogTextCapacity + 1, L'\0');  // one more: the filter's closing empty string
  if (text.size() < kDialogTextCapacity) text.copy(buffer.data(), text.size());
  return buffer;
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM lparam, LPARAM data) {
  if (message == BFFM_INITIALIZED && data) {
    SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
  } else if (message == BFFM_SELCHANGED) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(lparam), path))
      SendMessageW(window, BFFM_SETSTATUSTEXTW, 0, reinterpret_cast<LPARAM>(path));
  }
  return 0;
}

}  // namespace

LONG PathIsPresent(BSTR path) {
  const std::wstring p = BstrText(path);
  if (GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES) return 1;
  return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 1;
}

ULONG FileSizeLow(BSTR path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(BstrText(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : data.nFileSizeLow;
}

ULONG FolderSize(BSTR path, bool include_subfolders) {
  ULONG sum = 0;
  return SumFolder(BstrText(path), include_subfolders, &sum) ? sum : 0;
}

bool ChooseFile(HWND owner, BSTR title, BSTR filter, BSTR old_name, BSTR* chosen) {
  std::vector<wchar_t> name = DialogBuffer(BstrText(old_name));
  std::vector<wchar_t> filters = DialogBuffer(BstrText(filter));
  for (wchar_t& c : filters)
    if (c == L'|') c = L'\0';
  const std::wstring caption = BstrText(title);
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filters.data();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = name.data();
  dialog.nMaxFile = static_cast<DWORD>(kDialogTextCapacity);
  dialog.lpstrTitle = title ? caption.c_str() : nullptr;
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameW(&dialog)) return false;
  if (chosen) *chosen = SysAllocString(name.data());
  return true;
}

void ChooseFolder(HWND owner, BSTR title, BSTR old_folder, BSTR* chosen) {
  wchar_t display[kDialogTextCapacity] = {};
  const std::wstring instruction = BstrText(title), start = BstrText(old_folder);
  BROWSEINFOW info = {};
  info.hwndOwner = owner;
  info.pidlRoot = nullptr;  // the desktop
  info.pszDisplayName = display;
  info.lpszTitle = title ? instruction.c_str() : nullptr;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_NONEWFOLDERBUTTON;
  info.lpfn = BrowseCallback;
  info.lParam = old_folder && start.size() < MAX_PATH ? reinterpret_cast<LPARAM>(start.c_str()) : 0;
  com::UniqueCoTaskMem<std::remove_pointer_t<PIDLIST_ABSOLUTE>> item(SHBrowseForFolderW(&info));
  if (!chosen) return;
  *chosen = nullptr;
  if (!item) return;
  wchar_t path[MAX_PATH] = {};  // a file-system path fits MAX_PATH, well inside the 520 of the buffer
  if (SHGetPathFromIDListW(item.Get(), path)) *chosen = SysAllocString(path);
}

}  // namespace file_helpers
