// Look-ups whose wait ends early: the late answer must neither be taken for a later
// look-up's nor land in memory that is gone; and no wait may hang.
#include <winsock2.h>
#include <gtest/gtest.h>

#include <thread>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/control/host_resolution.h"

namespace {

constexpr UINT kQuitDuringWait = WM_APP + 21;
constexpr UINT kDestroyDuringWait = WM_APP + 22;

LRESULT CALLBACK LookupWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kQuitDuringWait) PostQuitMessage(static_cast<int>(wparam));
  if (message == kDestroyDuringWait) DestroyWindow(window);
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND MakeWindow() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = LookupWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"HostLookupTestWindow";
  RegisterClassW(&wc);
  return CreateWindowW(wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance,
                       nullptr);
}

class CutShort : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    window_ = MakeWindow();
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (IsWindow(window_)) DestroyWindow(window_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    WSACleanup();
  }
  ULONG Resolve(const wchar_t* text) { return ResolveHostAddress(window_, com::Bstr(text).Get()); }
  // The answer of a look-up we stopped waiting for arrives at the window later.
  bool LateAnswerQueued() {
    MSG msg;
    for (int i = 0; i < 100; ++i) {
      if (PeekMessageW(&msg, window_, WM_HOSTNAME_RESOLVED, WM_HOSTNAME_RESOLVED, PM_NOREMOVE)) return true;
      Sleep(20);
    }
    return false;
  }
  int TakeQuit() {
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) ? static_cast<int>(msg.wParam) : -1;
  }

  HWND window_ = nullptr;
};

TEST_F(CutShort, ALateAnswerIsNotTakenForTheNextLookUp) {
  PostQuitMessage(3);
  EXPECT_EQ(Resolve(L"localhost"), 0u);
  EXPECT_EQ(TakeQuit(), 3);
  ASSERT_TRUE(LateAnswerQueued()) << "the cancelled look-up still answered (precondition)";

  // The queued answer is localhost's success, written to the abandoned look-up's buffer;
  // the next look-up must wait for its own answer, a failure.
  EXPECT_EQ(Resolve(L"no-such-host.invalid"), 0u);
  EXPECT_EQ(Resolve(L"localhost"), 0x7F000001u);
}

TEST_F(CutShort, AQuitDuringTheWaitCancelsAndIsPostedAgain) {
  PostMessageW(window_, kQuitDuringWait, 9, 0);  // handled inside the wait, before the answer
  EXPECT_EQ(Resolve(L"localhost"), 0u);
  EXPECT_EQ(TakeQuit(), 9) << "the caller's own loop must end too";
  EXPECT_EQ(TakeQuit(), -1) << "posted once";
  LateAnswerQueued();
  EXPECT_EQ(Resolve(L"localhost"), 0x7F000001u) << "later look-ups are unaffected";
}

TEST_F(CutShort, AWindowDestroyedDuringTheWaitEndsItWithZero) {
  PostMessageW(window_, kDestroyDuringWait, 0, 0);
  EXPECT_EQ(Resolve(L"localhost"), 0u);
  EXPECT_FALSE(IsWindow(window_));
  Sleep(100);  // the late answer goes nowhere and its buffer stays valid
}

TEST_F(CutShort, AWindowOfAnotherThreadGivesZeroWithoutWaiting) {
  HWND foreign = nullptr;
  com::UniqueHandle made(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  com::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread owner([&] {
    foreign = MakeWindow();
    SetEvent(made.Get());
    WaitForSingleObject(done.Get(), INFINITE);
    DestroyWindow(foreign);
  });
  WaitForSingleObject(made.Get(), INFINITE);
  EXPECT_EQ(ResolveHostAddress(foreign, com::Bstr(L"localhost").Get()), 0u);
  EXPECT_EQ(ResolveHostAddress(foreign, com::Bstr(L"10.0.0.1").Get()), 0x0A000001u) << "an address needs no window";
  SetEvent(done.Get());
  owner.join();
}

}  // namespace
