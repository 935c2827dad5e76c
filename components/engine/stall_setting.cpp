#include "stall_setting.h"

#include "../../ovtransfer/com/unique.h"

namespace ovengine {

DWORD StallTimeoutMs(const wchar_t* key_path) {
  DWORD seconds = kDefaultStallSeconds;
  com::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key_path, 0, KEY_QUERY_VALUE, key.Receive()) == ERROR_SUCCESS) {
    DWORD type = 0, value = 0, size = sizeof(value);
    // Anyone may write the user's key: only a well-formed value in range is taken.
    if (RegQueryValueExW(key.Get(), kStallSecondsValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(value) && value >= kMinStallSeconds && value <= kMaxStallSeconds)
      seconds = value;
  }
  return seconds * 1000;
}

}  // namespace ovengine
