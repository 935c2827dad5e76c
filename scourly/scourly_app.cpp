#include "scourly_app.h"

#include <commctrl.h>

#include <vector>

#include "../ovtransfer/com/unique.h"
#include "ovres.h"
#include "scourly_dlg.h"

CScourlyApp::CScourlyApp(HINSTANCE instance) : instance_(instance) {}

void CScourlyApp::LoadModuleIdentity() {
  OVRES_InitGuidModule(instance_, 0);
  wchar_t buffer[64] = {};
  if (OVRES_LoadModuleName(buffer, 64)) {
    buffer[63] = L'\0';
    module_name_ = buffer;
  }
  wchar_t type[64] = {};
  if (OVRES_LoadModuleType(type, 64)) {
    type[63] = L'\0';
    module_type_ = type;
  }
}

BOOL CScourlyApp::InitInstance() {
  // Visual styles need the common control classes registered before any window exists.
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);

  LoadModuleIdentity();
  app_name_ = module_name_;
  SetRegistryKey(L"Corvane");

  CScourlyDlg dialog(*this);
  dialog.DoModal();
  return FALSE;
}

std::wstring CScourlyApp::ProfileKey(const wchar_t* section) const {
  return L"Software\\" + registry_key_ + L"\\" + app_name_ + L"\\" + section;
}

std::wstring CScourlyApp::GetProfileString(const wchar_t* section, const wchar_t* entry,
                                           const wchar_t* def) const {
  com::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, ProfileKey(section).c_str(), 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS)
    return def;
  std::wstring result = def;
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key.Get(), entry, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && bytes <= 1u << 20) {
    std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = bytes;
    if (RegQueryValueExW(key.Get(), entry, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) ==
            ERROR_SUCCESS &&
        got <= bytes) {
      // The stored text need not carry its terminator: the extra unit above supplies one.
      result.assign(text.data(), wcsnlen(text.data(), got / sizeof(wchar_t)));
    }
  }
  return result;
}
