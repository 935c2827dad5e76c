#include "settings.h"

#include "../com/ptr.h"

namespace settings {

bool ReadDword(const wchar_t* name, DWORD* value) {
  com::RegKey key;
  if (key.Open(HKEY_CURRENT_USER, kSettingsKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
  DWORD type = 0, data = 0, size = sizeof(data);
  if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(data))
    return false;
  *value = data;
  return true;
}

bool WriteDword(const wchar_t* name, DWORD value) {
  com::RegKey key;
  if (key.Create(HKEY_CURRENT_USER, kSettingsKey, KEY_SET_VALUE) != ERROR_SUCCESS) return false;
  return RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

}  // namespace settings
