// ovhost.exe: runs an HTML page's objects and JScript the way a browser would.
//   ovhost.exe page.html
// Exit code: the script's host.quit code (0 when it ends without quitting); 1 after a script
// error; 2 for a bad command line or an unreadable page; 3 when an object cannot be used.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "page_host.h"

namespace {

// Lines go to the console as text, or to a pipe or file as UTF-8.
void WriteLine(DWORD which, const std::wstring& text) {
  HANDLE out = GetStdHandle(which);
  if (!out || out == INVALID_HANDLE_VALUE) return;
  std::wstring line = text + L"\n";
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return;
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n, nullptr, nullptr);
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  FlushFileBuffers(out);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 || argv[1][0] == L'-') {
    WriteLine(STD_ERROR_HANDLE, L"usage: ovhost.exe page.html");
    return host::kExitUsage;
  }
  if (FAILED(OleInitialize(nullptr))) {
    WriteLine(STD_ERROR_HANDLE, L"ovhost: cannot initialise OLE");
    return host::kExitUsage;
  }
  host::PageOptions options;
  options.visible = true;
  options.out = [](const std::wstring& s) { WriteLine(STD_OUTPUT_HANDLE, s); };
  options.err = [](const std::wstring& s) { WriteLine(STD_ERROR_HANDLE, s); };
  int code = host::RunPageFile(argv[1], options);
  OleUninitialize();
  return code;
}
