// The page's access to the local file system and to the platform's file and folder pickers.
#pragma once
#include <windows.h>

namespace file_helpers {

// 0 only when the path is reported missing (error 2); 1 otherwise, a missing parent included.
LONG PathIsPresent(BSTR path);
// The low 32 bits of the size in the path's attributes; 0 for a folder or when unreadable.
ULONG FileSizeLow(BSTR path);
// The wrapping 32-bit sum of the files' sizes (with sub-folders when asked); 0 when the
// folder cannot be listed.
ULONG FolderSize(BSTR path, bool include_subfolders);

// Capacity of the dialogs' file name, filter and folder name, with the terminator.
inline constexpr size_t kDialogTextCapacity = 520;

// The chosen file's full path, or false on cancel. filter: "text|pattern|text|pattern|".
bool ChooseFile(HWND owner, BSTR title, BSTR filter, BSTR old_name, BSTR* chosen);
// The chosen folder, or null on cancel.
void ChooseFolder(HWND owner, BSTR title, BSTR old_folder, BSTR* chosen);

}  // namespace file_helpers
