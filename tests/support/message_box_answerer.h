// Answers the next message box of this process from another thread, as a user would, and
// keeps its text.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace testing_support {

class MessageBoxAnswerer {
 public:
  // answer: IDYES, IDNO, IDOK...; gives up after timeout_ms without a box.
  explicit MessageBoxAnswerer(int answer, DWORD timeout_ms = 5000);
  ~MessageBoxAnswerer();
  // Waits for the answering thread; true when a box was seen and answered.
  bool Answered();
  std::wstring Text();
  std::wstring Title();

 private:
  std::thread thread_;
  std::atomic<bool> answered_{false};
  std::wstring text_, title_;
};

}  // namespace testing_support
