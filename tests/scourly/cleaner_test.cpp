// The cache cleaner run as a user runs it: the real Scourly.exe, its button and its messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cache_cleaner.h"
#include "ovtransfer/com/folder_walk.h"
#include "ovtransfer/com/unique.h"
#include "support/com_apartment.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::FileExists;
using testing_support::ScratchFolder;

const wchar_t kSettings[] = L"Software\\Corvane\\Lumivo\\Brevant";

void SetCachePath(const std::wstring* path) {
  RegDeleteKeyW(HKEY_CURRENT_USER, kSettings);
  if (!path) return;
  com::UniqueHKey key;
  RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(), nullptr);
  RegSetValueExW(key.Get(), L"P2PCachePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path->c_str()),
                 static_cast<DWORD>((path->size() + 1) * sizeof(wchar_t)));
}

com::UniqueHandle Start(const std::wstring& exe, const std::wstring& folder) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::wstring command = L"\"" + exe + L"\"";
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi))
    return {};
  com::UniqueHandle thread(pi.hThread);
  return com::UniqueHandle(pi.hProcess);
}

struct Found {
  DWORD process;
  bool message_box;
  HWND window;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* f = reinterpret_cast<Found*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  if (process != f->process || lstrcmpW(cls, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
  if ((GetDlgItem(window, 0xFFFF) != nullptr) != f->message_box) return TRUE;
  f->window = window;
  return FALSE;
}

HWND WaitForWindow(DWORD process, bool message_box, DWORD timeout_ms = 10000) {
  for (DWORD waited = 0; waited < timeout_ms; waited += 20) {
    Found f = {process, message_box, nullptr};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&f));
    if (f.window) return f.window;
    Sleep(20);
  }
  return nullptr;
}

// One run of the program: press the button (or Enter), give back the message box's text.
class CleanerRun {
 public:
  explicit CleanerRun(const std::wstring& working_folder) {
    process_ = Start(testing_support::ProgramFolder() + L"\\Scourly.exe", working_folder);
    if (process_) dialog_ = WaitForWindow(GetProcessId(process_.Get()), false);
  }
  ~CleanerRun() {
    if (dialog_) PostMessageW(dialog_, WM_COMMAND, IDCANCEL, 0);
    if (process_ && WaitForSingleObject(process_.Get(), 10000) != WAIT_OBJECT_0) TerminateProcess(process_.Get(), 9);
  }
  bool Ready() const { return dialog_ != nullptr; }
  // Presses "清理" and answers the message that follows; its text, or empty without one.
  std::wstring Clean() {
    PostMessageW(GetDlgItem(dialog_, 1000), BM_CLICK, 0, 0);
    return AnswerMessage(30000);
  }
  std::wstring AnswerMessage(DWORD timeout_ms) {
    HWND box = WaitForWindow(GetProcessId(process_.Get()), true, timeout_ms);
    if (!box) return {};
    wchar_t text[256] = {}, caption[64] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 256);
    GetWindowTextW(box, caption, 64);
    caption_ = caption;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(20);
    return text;
  }
  HWND Dialog() const { return dialog_; }
  HANDLE Process() const { return process_.Get(); }
  const std::wstring& Caption() const { return caption_; }

 private:
  com::UniqueHandle process_;
  HWND dialog_ = nullptr;
  std::wstring caption_;
};

class Cleaner : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_ = scratch_.MakeFolder(L"cache");
    scratch_.WriteFile(L"cache\\a.dat", "12345");
    scratch_.WriteFile(L"cache\\sub\\deep\\b.dat", "x");
    const std::wstring hidden = scratch_.WriteFile(L"cache\\h.dat", "hidden");
    SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
    sibling_ = scratch_.WriteFile(L"sibling\\keep.txt", "keep");
    work_ = scratch_.MakeFolder(L"work");  // an empty working folder for the shell's deletion
  }
  void TearDown() override {
    SetCachePath(nullptr);
    for (const com::UniqueHandle& p : services_) TerminateProcess(p.Get(), 0);
  }
  HANDLE StartService(const wchar_t* name) {
    const std::wstring exe = scratch_.MakeFolder(std::wstring(L"bin-") + name) + L"\\" + name;
    CopyFileW((testing_support::ProgramFolder() + L"\\service_stub.exe").c_str(), exe.c_str(), FALSE);
    com::UniqueHandle p = Start(exe, work_);
    if (!p) return nullptr;
    services_.push_back(std::move(p));
    return services_.back().Get();
  }
  bool CacheIsEmpty() {
    int entries = 0;
    const bool listed = com::ForEachEntry(cache_, [&](const WIN32_FIND_DATAW&) { return ++entries, true; });
    return listed && entries == 0;
  }

  ScratchFolder scratch_;
  std::wstring cache_, sibling_, work_;
  std::vector<com::UniqueHandle> services_;
};

TEST_F(Cleaner, StopsEveryServiceInstanceAndEmptiesOnlyTheCacheFolder) {
  SetCachePath(&cache_);
  HANDLE first = StartService(L"Brevant.exe");
  HANDLE second = StartService(L"BREVANT.EXE");
  ASSERT_TRUE(first && second);
  CleanerRun run(work_);
  ASSERT_TRUE(run.Ready());
  EXPECT_EQ(run.Clean(), L"缓存文件清理完毕！");
  EXPECT_EQ(run.Caption(), L"提示");
  EXPECT_EQ(WaitForSingleObject(first, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(first, &code) && code == 1) << "terminated by the cleaner, code " << code;
  EXPECT_TRUE(GetExitCodeProcess(second, &code) && code == 1) << "terminated by the cleaner, code " << code;
  EXPECT_TRUE(FileExists(cache_)) << "the folder itself stays";
  EXPECT_TRUE(CacheIsEmpty()) << "files, hidden files and sub-folders go";
  EXPECT_TRUE(FileExists(sibling_)) << "nothing else is touched";
}

TEST_F(Cleaner, WithoutARecordedPathOnlyTheFirstMessageShows) {
  SetCachePath(nullptr);
  HANDLE service = StartService(L"Brevant.exe");
  CleanerRun run(work_);
  ASSERT_TRUE(run.Ready());
  EXPECT_EQ(run.Clean(), L"未找到缓存路径，无需清理！");
  EXPECT_EQ(WaitForSingleObject(service, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "no process is touched";
  EXPECT_FALSE(CacheIsEmpty());
}

TEST_F(Cleaner, PathsThatAreNotACacheFolderOfTheirOwnAreRefused) {
  wchar_t windows[MAX_PATH], profile[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  const std::wstring refused[] = {L"C:\\",       L"cache",    std::wstring(windows),
                                  std::wstring(profile), L"C:\\users", std::wstring(windows) + L"\\system32",
                                  scratch_ / L"cache\\a.dat", scratch_ / L"missing", scratch_ / L"cache\\..\\..",
                                  scratch_ / L"cache\\*"};
  // The program would empty these for real: make sure of the verdict before letting it try.
  for (const std::wstring& path : refused)
    ASSERT_FALSE(scourly::CleanableFolder(path)) << std::string(path.begin(), path.end());
  ASSERT_TRUE(scourly::CleanableFolder(cache_));

  HANDLE service = StartService(L"Brevant.exe");
  // "cache" relative to the program's working folder names a real folder with files.
  CleanerRun run(scratch_.Path());
  ASSERT_TRUE(run.Ready());
  for (const std::wstring& path : refused) {
    SetCachePath(&path);
    EXPECT_EQ(run.Clean(), L"未找到缓存路径，无需清理！") << std::string(path.begin(), path.end());
  }
  EXPECT_EQ(WaitForSingleObject(service, 200), static_cast<DWORD>(WAIT_TIMEOUT)) << "no process is touched";
  EXPECT_FALSE(CacheIsEmpty());
  EXPECT_TRUE(FileExists(sibling_));
}

TEST_F(Cleaner, TheFormWithATrailingSeparatorCleansTheSame) {
  const std::wstring path = cache_ + L"\\";
  SetCachePath(&path);
  CleanerRun run(work_);
  ASSERT_TRUE(run.Ready());
  EXPECT_EQ(run.Clean(), L"缓存文件清理完毕！");
  EXPECT_TRUE(FileExists(cache_));
  EXPECT_TRUE(CacheIsEmpty());
  EXPECT_TRUE(FileExists(sibling_));
  // Pressed again on the emptied folder, it just says so again.
  EXPECT_EQ(run.Clean(), L"缓存文件清理完毕！");
}

TEST_F(Cleaner, EnterNeitherCleansNorClosesEscapeAndTheCloseBoxClose) {
  SetCachePath(&cache_);
  {
    CleanerRun run(work_);
    ASSERT_TRUE(run.Ready());
    // Enter as the keyboard delivers it: to the focused control (the button) and to the dialog.
    HWND button = GetDlgItem(run.Dialog(), 1000);
    for (HWND target : {button, run.Dialog()}) {
      PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
      PostMessageW(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
    }
    PostMessageW(run.Dialog(), WM_COMMAND, IDOK, 0);
    EXPECT_EQ(run.AnswerMessage(1500), L"");
    EXPECT_TRUE(IsWindow(run.Dialog()));
    EXPECT_FALSE(CacheIsEmpty());
    PostMessageW(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    EXPECT_EQ(WaitForSingleObject(run.Process(), 5000), WAIT_OBJECT_0) << "Escape closes";
  }
  CleanerRun run(work_);
  ASSERT_TRUE(run.Ready());
  PostMessageW(run.Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(WaitForSingleObject(run.Process(), 5000), WAIT_OBJECT_0) << "the close box closes";
  EXPECT_FALSE(CacheIsEmpty());
}

TEST(CleanerSteps, BothPatternFormsAgree) {
  EXPECT_EQ(scourly::DeletionPattern(L"D:\\cache"), L"D:\\cache\\*.*");
  EXPECT_EQ(scourly::DeletionPattern(L"D:\\cache\\"), L"D:\\cache\\*.*");
}

TEST(CleanerSteps, AnInstanceThatWillNotStopIsGivenUp) {
  int terminations = 0;
  scourly::ProcessControl stubborn{[](const wchar_t*) { return std::vector<DWORD>{42}; },
                                   [&](DWORD) {
                                     ++terminations;
                                     return false;
                                   }};
  EXPECT_FALSE(scourly::StopAllInstances(L"Brevant.exe", stubborn, {3, 2000}));
  EXPECT_EQ(terminations, 3);
  EXPECT_TRUE(scourly::SameExeName(L"brevant.EXE", L"Brevant.exe"));
}

}  // namespace
