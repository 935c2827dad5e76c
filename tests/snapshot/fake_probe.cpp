// fake_probe.exe: stands in for the media helper in tests and misbehaves as the media file's
// name says:
//   ...hang...        never answers
//   ...garbage...     answers something that is no answer
//   ...long...        answers an "ok" padded beyond the longest answer
//   ...flood...       writes far more than the pipe holds
//   ...crash...       faults
//   ...exit...        answers "ok 3" but exits with 3
//   ...handle-<hex>   answers "ok 1" if that handle value is open in this process, else "ok 0"
//   anything else     answers "ok 7"
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

namespace {

void Send(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const std::wstring media = argv && argc >= 3 ? argv[2] : L"";
  auto has = [&](const wchar_t* word) { return media.find(word) != std::wstring::npos; };
  if (has(L"hang")) Sleep(INFINITE);
  if (has(L"garbage")) Send("ok seven\n");
  else if (has(L"long")) Send("ok 7" + std::string(40, ' ') + "\n");
  else if (has(L"flood")) Send(std::string(1 << 20, 'x'));
  else if (has(L"crash")) *static_cast<volatile int*>(nullptr) = 1;
  else if (has(L"exit")) {
    Send("ok 3\n");
    return 3;
  } else if (has(L"handle-")) {
    const auto value = static_cast<uintptr_t>(wcstoull(media.c_str() + media.find(L"handle-") + 7, nullptr, 16));
    DWORD flags = 0;
    Send(GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? "ok 1\n" : "ok 0\n");
  } else {
    Send("ok 7\n");
  }
  return 0;
}
