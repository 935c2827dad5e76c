// Resolves the fixed keys to the companion components' class ids. Stateless apart from the
// caller's module handle, so every call is safe from any thread.
#include "ovres.h"

#include <cwchar>

#include "component_classes.h"

namespace {

struct KeyClass {
  const GUID* key;
  const CLSID* clsid;
};

constexpr KeyClass kKeyClasses[] = {
    {&GUID_KEY_ENGINE, &CLSID_OvTransferEngine},
    {&GUID_KEY_NETSUPPORT, &CLSID_OvNetSupport},
    {&GUID_KEY_MEDIAINFO, &CLSID_OvMediaFileInfo},
};

constexpr wchar_t kModuleName[] = L"Lumivo";
constexpr wchar_t kModuleType[] = L"Player";

BOOL CopyText(const wchar_t* text, wchar_t* buffer, int capacity) {
  size_t n = wcslen(text);
  if (!buffer || capacity <= 0 || n >= static_cast<size_t>(capacity)) return FALSE;
  wmemcpy(buffer, text, n + 1);
  return TRUE;
}

}  // namespace

OVRES_API BOOL WINAPI OVRES_InitGuidModule(HINSTANCE, DWORD) { return TRUE; }

OVRES_API GUID* WINAPI OVRES_LoadGuid(GUID* buffer, GUID key) {
  // A null buffer still gets a valid answer: callers copy from the returned pointer.
  static const GUID unregistered = CLSID_OvUnregistered;
  const CLSID* found = &unregistered;
  for (const KeyClass& kc : kKeyClasses)
    if (IsEqualGUID(*kc.key, key)) found = kc.clsid;
  if (!buffer) return const_cast<GUID*>(found);
  *buffer = *found;
  return buffer;
}

OVRES_API BOOL WINAPI OVRES_LoadModuleName(wchar_t* buffer, int capacity) {
  return CopyText(kModuleName, buffer, capacity);
}

OVRES_API BOOL WINAPI OVRES_LoadModuleType(wchar_t* buffer, int capacity) {
  return CopyText(kModuleType, buffer, capacity);
}
