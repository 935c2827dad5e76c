// The per-user store of the two limits of the task list.
#pragma once
#include <windows.h>

namespace settings {

// Under HKEY_CURRENT_USER.
inline constexpr wchar_t kSettingsKey[] = L"Software\\Corvane\\Tessaly";
inline constexpr wchar_t kMaxUploadRate[] = L"MaxUploadRate";
inline constexpr wchar_t kMaxTaskCount[] = L"MaxTaskCount";

// True when the value exists and holds 4 bytes, of any type; value is left alone otherwise.
bool ReadDword(const wchar_t* name, DWORD* value);
// Creates the key when it is absent and writes the one value. Failures are the caller's to ignore.
bool WriteDword(const wchar_t* name, DWORD value);

}  // namespace settings
