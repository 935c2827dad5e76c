// Address look-ups and the page's file-system helpers.
#include <winsock2.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/control/file_helpers.h"
#include "ovtransfer/control/host_resolution.h"
#include "support/com_apartment.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::ScratchFolder;

constexpr UINT kProbe = WM_APP + 7;
int g_window_probes = 0, g_child_probes = 0, g_ticks = 0;

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kProbe) ++(GetParent(window) ? g_child_probes : g_window_probes);
  if (message == WM_TIMER) ++g_ticks;
  return DefWindowProcW(window, message, wparam, lparam);
}

class Resolution : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    WSAStartup(0x0202, &data);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ResolutionTestWindow";
    RegisterClassW(&wc);
    window_ = CreateWindowW(L"ResolutionTestWindow", L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                            wc.hInstance, nullptr);
    child_ = CreateWindowW(L"ResolutionTestWindow", L"", WS_CHILD, 0, 0, 5, 5, window_, nullptr, wc.hInstance,
                           nullptr);
    g_window_probes = g_child_probes = g_ticks = 0;
  }
  void TearDown() override {
    DestroyWindow(window_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    WSACleanup();
  }
  ULONG Resolve(const wchar_t* text) {
    com::Bstr b(text);
    return ResolveHostAddress(window_, b.Get());
  }

  HWND window_ = nullptr, child_ = nullptr;
};

TEST_F(Resolution, ADottedAddressReturnsAtOnceWithoutDispatching) {
  PostMessageW(window_, kProbe, 0, 0);
  EXPECT_EQ(Resolve(L"192.168.10.20"), 0xC0A80A14u);
  EXPECT_EQ(g_window_probes, 0);
  EXPECT_EQ(Resolve(L"not an address"), 0u) << "an unknown name";
  EXPECT_EQ(Resolve(L""), 0u);
  EXPECT_EQ(ResolveHostAddress(nullptr, com::Bstr(L"localhost").Get()), 0u) << "no window: no look-up";
}

TEST_F(Resolution, ANameIsLookedUpWhileOnlyTheWindowsOwnMessagesAreHandled) {
  PostMessageW(window_, kProbe, 0, 0);
  PostMessageW(child_, kProbe, 0, 0);
  EXPECT_EQ(Resolve(L"localhost"), 0x7F000001u);
  EXPECT_EQ(g_window_probes, 1) << "the window's messages go on during the wait";
  EXPECT_EQ(g_child_probes, 0) << "its child windows' messages wait";
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_EQ(g_child_probes, 1) << "and are handled after it";

  // 255.255.255.255 is not taken as an address: it goes to the look-up.
  PostMessageW(window_, kProbe, 0, 0);
  Resolve(L"255.255.255.255");
  EXPECT_EQ(g_window_probes, 2);
}

TEST_F(Resolution, TimersKeepFiringDuringASlowLookUp) {
  // Holding the answer back: the look-up's message is taken from the queue by another
  // loop only after a while, so the wait sees timer ticks first.
  SetTimer(window_, 5, 10, nullptr);
  // A generous bound: the loop ends at the first tick, and a loaded machine may be slow to give it.
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 5000) {
    Resolve(L"localhost");
    if (g_ticks > 0) break;
  }
  KillTimer(window_, 5);
  EXPECT_GT(g_ticks, 0) << "after " << GetTickCount() - start << " ms";
}

TEST_F(Resolution, AQuitRequestEndsTheWaitAndIsPostedAgain) {
  PostQuitMessage(7);
  EXPECT_EQ(Resolve(L"localhost"), 0u);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the caller's loop must end too";
  EXPECT_EQ(msg.wParam, 7u);
}

TEST(FileHelpers, PresenceIsZeroOnlyForAMissingFile) {
  ScratchFolder d;
  const std::wstring file = d.WriteFile(L"a.txt", "abc");
  EXPECT_EQ(file_helpers::PathIsPresent(com::Bstr(file).Get()), 1);
  EXPECT_EQ(file_helpers::PathIsPresent(com::Bstr(d.Path()).Get()), 1) << "a folder counts too";
  EXPECT_EQ(file_helpers::PathIsPresent(com::Bstr(d / L"none.txt").Get()), 0);
  EXPECT_EQ(file_helpers::PathIsPresent(com::Bstr(d / L"no\\such\\x.txt").Get()), 1) << "missing parent: error 3";
}

TEST(FileHelpers, SizesAreLow32BitsAndFoldersSumWithWrapping) {
  ScratchFolder d;
  const std::wstring small = d.WriteFile(L"a.bin", std::string(1000, 'a'));
  d.WriteFile(L"sub\\b.bin", std::string(24, 'b'));
  d.WriteFile(L"sub\\deeper\\c.bin", std::string(3, 'c'));
  const std::wstring hidden = d.WriteFile(L"h.bin", "hh");
  SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(file_helpers::FileSizeLow(com::Bstr(small).Get()), 1000u);
  EXPECT_EQ(file_helpers::FileSizeLow(com::Bstr(d.Path()).Get()), 0u);
  EXPECT_EQ(file_helpers::FileSizeLow(com::Bstr(d / L"missing").Get()), 0u);
  EXPECT_EQ(file_helpers::FolderSize(com::Bstr(d.Path()).Get(), false), 1002u);
  EXPECT_EQ(file_helpers::FolderSize(com::Bstr(d.Path()).Get(), true), 1029u);
  EXPECT_EQ(file_helpers::FolderSize(com::Bstr(d / L"missing").Get(), true), 0u);

  // Two sparse files of 3 GiB each: the size and the sum wrap at 2^32.
  for (const wchar_t* name : {L"big1.bin", L"big2.bin"}) ASSERT_TRUE(d.WriteSparseFile(name, 3LL << 30));
  EXPECT_EQ(file_helpers::FileSizeLow(com::Bstr(d / L"big1.bin").Get()), 3u << 30);
  EXPECT_EQ(file_helpers::FolderSize(com::Bstr(d.Path()).Get(), false), static_cast<ULONG>(1002u + (6ULL << 30)));
  SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// EnumWindows callback (the system's calling convention, which a lambda lacks in 32-bit builds):
// the visible dialog of this process, into *p.
BOOL CALLBACK FindOwnDialog(HWND w, LPARAM p) {
  DWORD process = 0;
  GetWindowThreadProcessId(w, &process);
  wchar_t cls[16] = {};
  GetClassNameW(w, cls, 16);
  if (process == GetCurrentProcessId() && lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(w)) {
    *reinterpret_cast<HWND*>(p) = w;
    return FALSE;
  }
  return TRUE;
}

// Finds this process's open-file dialog and answers it as a user would.
void AnswerFileDialog(const std::wstring& name, bool confirm) {
  for (int i = 0; i < 250; ++i) {
    HWND found = nullptr;
    EnumWindows(FindOwnDialog, reinterpret_cast<LPARAM>(&found));
    if (found) {
      Sleep(200);
      if (confirm) {
        // The file name box of the dialog (edt1 or the combo cmb13 in the explorer style).
        HWND edit = GetDlgItem(found, 0x480);
        if (!edit) edit = GetDlgItem(found, 0x47c);
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
        PostMessageW(found, WM_COMMAND, IDOK, 0);
      } else {
        PostMessageW(found, WM_COMMAND, IDCANCEL, 0);
      }
      return;
    }
    Sleep(20);
  }
}

TEST(FileDialog, ConfirmGivesThePathAndCancelLeavesTheResult) {
  testing_support::ComApartment apartment;
  ScratchFolder d;
  const std::wstring file = d.WriteFile(L"pick.txt", "x");
  std::thread user([&] { AnswerFileDialog(file, true); });
  com::Bstr result;
  EXPECT_TRUE(file_helpers::ChooseFile(nullptr, com::Bstr(L"Pick").Get(), com::Bstr(L"Text|*.txt").Get(), nullptr,
                                       result.Receive()));
  user.join();
  EXPECT_EQ(CompareStringOrdinal(result.Get(), -1, file.c_str(), -1, TRUE), CSTR_EQUAL) << result.Str().size();

  std::thread cancel([&] { AnswerFileDialog(L"", false); });
  BSTR untouched = reinterpret_cast<BSTR>(0x1234);
  EXPECT_FALSE(file_helpers::ChooseFile(nullptr, nullptr, com::Bstr(L"All|*.*|").Get(),
                                        com::Bstr(std::wstring(600, L'n')).Get(), &untouched));
  cancel.join();
  EXPECT_EQ(untouched, reinterpret_cast<BSTR>(0x1234));
}

}  // namespace
