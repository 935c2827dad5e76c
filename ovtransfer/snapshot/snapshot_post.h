// The two HTTP requests of the snapshot address: the playing time alone, or a still with
// it. Both block on the calling worker thread until the server has answered.
#pragma once
#include <windows.h>

#include <string>

namespace snapshot {

// Result of a post: 0 when the server answered with a body shorter than 5 bytes; E_FAIL
// (as a DWORD) for a scheme other than http/https, a still that is empty or too large, or
// a longer answer; otherwise the system error code of the call that failed.
using PostResult = DWORD;
inline constexpr PostResult kPostRefused = static_cast<DWORD>(E_FAIL);

// Stills from 1 byte up to this size are sent.
inline constexpr DWORD kMaxStillSize = 2047998;
// Room of the address and of the request target, terminator included.
inline constexpr size_t kAddressRoom = 2048;

// POST with an empty body to the address, the seconds in the target's "$dur$" parameter.
PostResult PostDuration(const std::wstring& address, LONG seconds);
// POST with the file's bytes as the body, the seconds as above.
PostResult PostFile(const std::wstring& address, const std::wstring& file_path, LONG seconds);

// True when a post to the address could be made at all: it parses and is http or https.
bool AddressIsPostable(const std::wstring& address);

}  // namespace snapshot
