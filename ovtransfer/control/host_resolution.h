// Address texts of the AddItem family to IPv4 addresses.
#pragma once
#include <winsock2.h>
#include <windows.h>

inline constexpr UINT WM_HOSTNAME_RESOLVED = WM_USER + 130;

// A dotted address, or a host name looked up while the window's own messages go on being
// handled; the address in host byte order, 0 on every failure. Needs a window for the
// look-up's answer: without one a name gives 0.
ULONG ResolveHostAddress(HWND window, BSTR text);
