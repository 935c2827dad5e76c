// The resource identity library: fixed keys to the class ids of the outside components,
// and the module name and type that a program shows.
#pragma once
#include <windows.h>

#ifdef OVRES_BUILD
#define OVRES_API extern "C" __declspec(dllexport)
#else
#define OVRES_API extern "C" __declspec(dllimport)
#endif

// Takes the caller's module instance handle; the second argument is 0. The result is ignored.
OVRES_API BOOL WINAPI OVRES_InitGuidModule(HINSTANCE module, DWORD reserved);
// Resolves key to a class id. Always returns a valid pointer to the 16 bytes of the
// result (an unregistered class id for an unknown key); callers copy from it.
OVRES_API GUID* WINAPI OVRES_LoadGuid(GUID* buffer, GUID key);
// Non-zero when buffer (capacity in characters, 64 by the callers) holds the terminated text.
OVRES_API BOOL WINAPI OVRES_LoadModuleName(wchar_t* buffer, int capacity);
OVRES_API BOOL WINAPI OVRES_LoadModuleType(wchar_t* buffer, int capacity);

inline constexpr GUID GUID_KEY_ENGINE = {0x1C907CF7, 0xF875, 0x4075, {0xA3, 0x9C, 0x4D, 0x48, 0x82, 0x5B, 0x78, 0xFE}};
inline constexpr GUID GUID_KEY_NETSUPPORT = {0xD158C588, 0x9867, 0x4378, {0x96, 0xAF, 0xDF, 0x69, 0x8A, 0x37, 0xEC, 0x07}};
inline constexpr GUID GUID_KEY_MEDIAINFO = {0x62A54909, 0x01CD, 0x44E0, {0x8E, 0x76, 0x68, 0x06, 0x2D, 0x9B, 0xFE, 0x1A}};
