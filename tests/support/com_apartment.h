// Shared helpers of the test programs.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <optional>
#include <string>

namespace testing_support {

// A single-threaded apartment for the test's thread, as a page's script thread has.
class ComApartment {
 public:
  ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComApartment() { CoUninitialize(); }
};

// The value's text, or nothing when the key or value is absent.
std::optional<std::wstring> ReadRegString(HKEY root, const std::wstring& key, const wchar_t* name = nullptr);
bool RegKeyExists(HKEY root, const std::wstring& key);

// A function exported by a loaded module, as its real type.
template <class F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Folder of the running test program (the build's bin folder, beside the DLLs).
std::wstring ProgramFolder();

}  // namespace testing_support
