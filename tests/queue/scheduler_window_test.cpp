// The scheduler as the control drives it: the tick timer and the engines' messages reach it
// through the control's window, against a scripted engine made through the engine's real
// creation path, and what it reports shows in the task list.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "ovtransfer/com/registry.h"
#include "ovtransfer/control/settings.h"
#include "ovtransfer/ui/resource_ids.h"
#include "support/fake_engine.h"
#include "support/hosted_test_control.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::CountCalls;
using testing_support::EngineScript;
using testing_support::FakeEngineRegistration;
using testing_support::HostedTestControl;

class HostedScheduler : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control_.Active());
    file_ = files_.WriteFile(L"f.bin", std::string(1000, 'x'));
    control_.Script()->Open(com::Bstr(L"u1").Get(), com::Bstr(L"alice").Get(), com::Bstr(L"pw").Get());
    SetMaxTasks(2);  // "4", whatever an earlier test stored
  }
  void TearDown() override { com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey); }
  void Queue(const wchar_t* name, const std::wstring& secondary = L"", ULONG style = 0) {
    ASSERT_EQ(control_.Add(HostedTestControl::kAddItem, name, L"10.1.2.3", 9000, file_, secondary, name, L"r/d", style),
              0);
  }
  void Tick() { control_.Tick(); }
  void Notify(WPARAM code, DWORD id) { SendMessageW(Window(), WM_TRANSFER_NOTIFY, code, id); }
  HWND Window() { return control_.Host().ControlWindow(); }
  UploadTask& Task(size_t i) { return control_.Task(i); }
  LONG Running() { return control_.RunningCount(); }
  void SetMaxTasks(int index) { control_.Choose(IDC_COUNT_COMBO, index); }

  // The script outlives the control, whose engines report to it until they go.
  testing_support::ComApartment apartment_;
  EngineScript script_;
  FakeEngineRegistration engines_{script_};
  HostedTestControl control_;
  testing_support::ScratchFolder files_;
  std::wstring file_;
};

TEST_F(HostedScheduler, TheTimerStartsAnEngineWithTheControlsWindowUserAndRate) {
  Queue(L"a");
  Tick();
  EXPECT_EQ(script_.window, Window());
  EXPECT_EQ(CountCalls(script_, L"SetNotifyWindow(" + std::to_wstring(WM_TRANSFER_NOTIFY) + L")"), 1);
  EXPECT_EQ(CountCalls(script_, L"Login(alice,pw,"), 1) << "the user of Open";
  EXPECT_EQ(CountCalls(script_, L"SetRateLimit(" + std::to_wstring(2048u * 1024u) + L")"), 1);
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Running(), 1);
  EXPECT_EQ(control_.Cell(0, 0), L"上传");
}

TEST_F(HostedScheduler, RowsShowProgressAndErrors) {
  Queue(L"a");
  Tick();
  script_.bytes = 456;
  Notify(NOTIFY_PROGRESS, Task(0).id);
  EXPECT_EQ(control_.Cell(0, 2), std::to_wstring((6 << 16) | 45));
  script_.failing = {L"Connect"};
  Queue(L"b");
  Tick();
  EXPECT_EQ(control_.Cell(0, 0), L"上传");
  EXPECT_EQ(control_.Cell(1, 0), L"错误");
}

TEST_F(HostedScheduler, ATemporaryFileGoesWhenItsUploadIsDone) {
  ASSERT_EQ(control_.Add(HostedTestControl::kAddItem2, L"t", L"10.1.2.3", 9000, L"abc", L"", L"t", L"", 0), 0);
  const std::wstring temp = Task(0).files[0].local_path;
  ASSERT_TRUE(testing_support::FileExists(temp));
  Tick();
  EXPECT_NE(script_.calls[4].find(L",1,"), std::wstring::npos) << "the delete flag is not the engine's business";
  Notify(NOTIFY_FILE_DONE, Task(0).id);
  EXPECT_FALSE(testing_support::FileExists(temp));
  EXPECT_EQ(CountCalls(script_, L"FinishFile"), 1);
}

}  // namespace
