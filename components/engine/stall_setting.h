// The user's choice of how long a running transfer may see nothing taken by the path before
// the engine counts the connection as broken and reconnects: the DWORD value StallSeconds of
// HKEY_CURRENT_USER\Software\Corvane\Engine (the key whose PlainServers subkey names the
// servers reached in clear). Shorter finds a vanished path sooner; longer rides out a slow or
// congested one without reconnecting.
#pragma once
#include <windows.h>

namespace ovengine {

inline constexpr wchar_t kEngineKey[] = L"Software\\Corvane\\Engine";
inline constexpr wchar_t kStallSecondsValue[] = L"StallSeconds";
constexpr DWORD kDefaultStallSeconds = 30;
// Below this a receiver busy writing to disk could look broken; above it a vanished path
// holds the upload up for longer than a user waits.
constexpr DWORD kMinStallSeconds = 5;
constexpr DWORD kMaxStallSeconds = 600;

// The stall detection in milliseconds, read from key under HKEY_CURRENT_USER. A value that
// is missing, out of range, or not a four-byte REG_DWORD gives the default.
DWORD StallTimeoutMs(const wchar_t* key = kEngineKey);

}  // namespace ovengine
