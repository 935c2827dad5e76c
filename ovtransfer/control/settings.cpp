#include "settings.h"

#include "../com/unique.h"

namespace settings {

bool ReadDword(const wchar_t* name, DWORD* value) {
  com::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS) return false;
  // Four bytes whatever their type (a value written as binary reads the same); a value of
  // another size is no limit at all.
  DWORD data = 0, size = sizeof(data);
  if (RegQueryValueExW(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      size != sizeof(data))
    return false;
  *value = data;
  return true;
}

bool WriteDword(const wchar_t* name, DWORD value) {
  com::UniqueHKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Receive(), nullptr) !=
      ERROR_SUCCESS)
    return false;
  return RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

}  // namespace settings
