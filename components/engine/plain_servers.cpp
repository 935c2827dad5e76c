#include "plain_servers.h"

namespace ovengine {

bool NamedAsPlain(const std::wstring& server_name, USHORT port) {
  // Value names are at most 16383 characters; a name near that is no server's.
  if (server_name.empty() || server_name.size() > 1024) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kPlainServersKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  // Value names compare without regard to case, as host names do.
  const std::wstring with_port = server_name + L":" + std::to_wstring(port);
  const bool plain = RegQueryValueExW(key, server_name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS ||
                     RegQueryValueExW(key, with_port.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return plain;
}

}  // namespace ovengine
