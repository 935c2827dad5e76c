#include "support/message_box_answerer.h"

namespace testing_support {
namespace {

struct Search {
  DWORD process;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  if (process == search->process && lstrcmpW(cls, L"#32770") == 0 && GetDlgItem(window, 0xFFFF)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

MessageBoxAnswerer::MessageBoxAnswerer(int answer, DWORD timeout_ms) {
  thread_ = std::thread([this, answer, timeout_ms] {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout_ms) {
      Search search = {GetCurrentProcessId(), nullptr};
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
      if (search.found) {
        wchar_t text[1024] = {}, title[256] = {};
        GetDlgItemTextW(search.found, 0xFFFF, text, 1024);
        GetWindowTextW(search.found, title, 256);
        text_ = text;
        title_ = title;
        PostMessageW(search.found, WM_COMMAND, answer, 0);
        answered_ = true;
        return;
      }
      Sleep(20);
    }
  });
}

MessageBoxAnswerer::~MessageBoxAnswerer() {
  if (thread_.joinable()) thread_.join();
}

bool MessageBoxAnswerer::Answered() {
  if (thread_.joinable()) thread_.join();
  return answered_;
}

std::wstring MessageBoxAnswerer::Text() {
  Answered();
  return text_;
}

std::wstring MessageBoxAnswerer::Title() {
  Answered();
  return title_;
}

}  // namespace testing_support
