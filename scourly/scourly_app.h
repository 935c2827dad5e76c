// The cleaner's application object: start-up, the names the resource identity library
// reports, and the per-user settings under the company's registry root.
#pragma once
#include <windows.h>

#include <string>

class CScourlyApp {
 public:
  explicit CScourlyApp(HINSTANCE instance);

  // Sets up the program and runs the dialog; returns FALSE when the dialog has closed, so the
  // program ends without a message loop of its own.
  BOOL InitInstance();
  int ExitInstance() { return 0; }

  // A string from HKCU\Software\<registry key>\<application name>\section; def when absent.
  std::wstring GetProfileString(const wchar_t* section, const wchar_t* entry, const wchar_t* def) const;
  // The key GetProfileString reads for section.
  std::wstring ProfileKey(const wchar_t* section) const;

  HINSTANCE Instance() const { return instance_; }
  const std::wstring& ModuleName() const { return module_name_; }
  const std::wstring& ModuleType() const { return module_type_; }

  // Takes over the module name and type from the resource identity library.
  void LoadModuleIdentity();
  void SetRegistryKey(const wchar_t* company) { registry_key_ = company; }

 private:
  HINSTANCE instance_;
  std::wstring module_name_ = L"Lumivo";
  std::wstring module_type_ = L"Lumivo";
  std::wstring app_name_;
  std::wstring registry_key_;
};
