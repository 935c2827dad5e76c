#include "plain_servers.h"

#include "../../ovtransfer/com/unique.h"

namespace ovengine {

bool NamedAsPlain(const std::wstring& server_name, USHORT port) {
  // Value names are at most 16383 characters; a name near that is no server's.
  if (server_name.empty() || server_name.size() > 1024) return false;
  com::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kPlainServersKey, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS)
    return false;
  // Value names compare without regard to case, as host names do.
  const std::wstring with_port = server_name + L":" + std::to_wstring(port);
  const bool plain = RegQueryValueExW(key.Get(), server_name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS ||
                     RegQueryValueExW(key.Get(), with_port.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  return plain;
}

}  // namespace ovengine
