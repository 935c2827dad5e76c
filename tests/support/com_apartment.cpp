#include "support/com_apartment.h"

#include "ovtransfer/com/unique.h"

namespace testing_support {

std::optional<std::wstring> ReadRegString(HKEY root, const std::wstring& key, const wchar_t* name) {
  com::UniqueHKey k;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, k.Receive()) != ERROR_SUCCESS) return std::nullopt;
  wchar_t data[2048];
  DWORD size = sizeof(data), type = 0;
  if (RegQueryValueExW(k.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return std::nullopt;
  return std::wstring(data, size / sizeof(wchar_t)).c_str();
}

bool RegKeyExists(HKEY root, const std::wstring& key) {
  com::UniqueHKey k;
  return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, k.Receive()) == ERROR_SUCCESS;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

}  // namespace testing_support
