// The scheduler and the engine's notifications, against a scripted engine made through the
// engine's real creation path.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "ovtransfer/com/registry.h"
#include "ovtransfer/module/settings.h"
#include "support/fake_engine.h"
#include "support/hosted_test_control.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::CountCalls;
using testing_support::EngineScript;
using testing_support::FakeEngineRegistration;
using testing_support::HostedTestControl;

class Scheduler : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control_.Active());
    file_ = files_.WriteFile(L"f.bin", std::string(1000, 'x'));
    control_.Script()->Open(com::Bstr(L"u1").Get(), com::Bstr(L"alice").Get(), com::Bstr(L"pw").Get());
    SetMaxTasks(2);  // "4", whatever an earlier test stored
  }
  void TearDown() override { com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey); }
  void Queue(const wchar_t* name, const std::wstring& secondary = L"", ULONG style = 0) {
    ASSERT_EQ(control_.Add(HostedTestControl::kAddItem, name, L"10.1.2.3", 9000, file_, secondary, name, L"r/d",
                           style),
              0);
  }
  void Tick() { SendMessageW(Window(), WM_TIMER, 0, 0); }
  void Notify(WPARAM code, DWORD id) { SendMessageW(Window(), WM_TRANSFER_NOTIFY, code, id); }
  HWND Window() { return control_.Host().ControlWindow(); }
  UploadTask& Task(size_t i) { return control_.Object().Queue().At(i); }
  LONG Running() { return control_.Object().RunningCount(); }
  void SetMaxTasks(int index) { control_.Choose(207, index); }

  // The script outlives the control, whose engines report to it until they go.
  testing_support::ComApartment apartment_;
  EngineScript script_;
  FakeEngineRegistration engines_{script_};
  HostedTestControl control_;
  testing_support::ScratchFolder files_;
  std::wstring file_;
};

TEST_F(Scheduler, TheEngineGetsItsCallsInOrderWithTheirArguments) {
  Queue(L"a");
  Tick();
  const std::wstring id = std::to_wstring(Task(0).id);
  const std::vector<std::wstring> expected = {
      L"SetNotifyWindow(1124)",
      L"Initialize(2,0.0.0.0:0,0)",
      L"Connect(10.1.2.3:9000,2000)",
      L"Login(alice,pw,64)",
      L"PutFile(a," + file_ + L",0,1," + id + L",260,64)",
      L"StartTransfer()",
      L"SetRateLimit(" + std::to_wstring(2048u * 1024u) + L")",
  };
  EXPECT_EQ(script_.calls, expected);
  EXPECT_EQ(script_.window, Window());
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Running(), 1);
  EXPECT_EQ(control_.Cell(0, 0), L"上传");
}

TEST_F(Scheduler, OnlyMaxTaskCountTasksUploadAndTheNextStartsWhenOneFinishes) {
  SetMaxTasks(0);  // "1"
  Queue(L"a");
  Queue(L"b");
  Queue(L"c");
  Tick();
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(control_.Cell(1, 0), L"排队");
  EXPECT_EQ(control_.Cell(2, 0), L"排队");
  script_.bytes = 1000;
  Notify(NOTIFY_FILE_DONE, Task(0).id);
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_DONE));
  EXPECT_EQ(script_.live, 0) << "a finished task's engine is released";
  EXPECT_EQ(Running(), 0);
  Tick();
  EXPECT_EQ(Task(1).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Task(2).state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(Running(), 1);
}

TEST_F(Scheduler, LoweringTheLimitSendsLaterUploadsBackToTheQueue) {
  Queue(L"a");
  Queue(L"b");
  Queue(L"c");
  Tick();
  ASSERT_EQ(Running(), 3);
  SetMaxTasks(0);
  Tick();
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Task(1).state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(Task(2).state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_TRUE(Task(1).engine) << "paused, keeping its engine";
  EXPECT_EQ(Running(), 1);
  EXPECT_EQ(CountCalls(script_, L"PauseTransfer"), 2);
}

TEST_F(Scheduler, AFolderRootIsHandedOverWithoutATransfer) {
  const std::wstring folder = files_.MakeFolder(L"d");
  files_.WriteFile(L"d\\x.txt", "12345");
  Queue(L"folder", folder, STYLE_FOLDER);
  Tick();
  EXPECT_EQ(CountCalls(script_, L"PutFile"), 2) << "the root and the first file in one call";
  EXPECT_EQ(CountCalls(script_, L"StartTransfer"), 1);
  EXPECT_EQ(Task(0).files[0].state, static_cast<DWORD>(TASK_DONE));
  EXPECT_EQ(Task(0).current_file, 1u);
  EXPECT_EQ(Running(), 1);
}

TEST_F(Scheduler, ProgressNotificationsMoveTheBarAndPausedTasksStayPaused) {
  Queue(L"a");
  Tick();
  const DWORD id = Task(0).id;
  script_.bytes = 456;
  Notify(NOTIFY_PROGRESS, id);
  EXPECT_EQ(Task(0).files[0].done, 456);
  EXPECT_EQ(Task(0).progress, (6u << 16) | 45u) << "45.6%";
  EXPECT_EQ(control_.Cell(0, 2), std::to_wstring((6 << 16) | 45));
  Notify(NOTIFY_PAUSED, id);
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_PAUSED));
  script_.bytes = 500;
  Notify(NOTIFY_PROGRESS, id);
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_PAUSED));
  EXPECT_EQ(Task(0).progress, 50u);

  // Notifications that name nothing, or that the engine cannot back, change nothing.
  const DWORD before = Task(0).progress;
  Notify(NOTIFY_PROGRESS, 12345);
  Notify(64, id);
  script_.bytes_fail = true;
  Notify(NOTIFY_FILE_DONE, id);
  EXPECT_EQ(Task(0).progress, before);
  EXPECT_EQ(Task(0).files[0].state, static_cast<DWORD>(TASK_PAUSED));
}

TEST_F(Scheduler, ATaskOfNoBytesShowsAFullBarAtItsFirstNotification) {
  const std::wstring empty = files_.WriteFile(L"empty.bin", "");
  ASSERT_EQ(control_.Add(HostedTestControl::kAddItem, L"z", L"10.1.2.3", 9000, empty, L"", L"z", L"", 0), 0);
  Tick();
  Notify(NOTIFY_FILE_BEGIN, Task(0).id);
  EXPECT_EQ(Task(0).progress, 100u);
}

TEST_F(Scheduler, FailingConnectsAreTriedOnFiveTicksThenRest) {
  script_.failing = {L"Connect"};
  Queue(L"a");
  for (int i = 0; i < 7; ++i) Tick();
  EXPECT_EQ(CountCalls(script_, L"Connect"), 5);
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_ERR_CONNECT));
  EXPECT_EQ(control_.Cell(0, 0), L"错误");
  EXPECT_EQ(script_.live, 0);

  // The resting task holds its slot; deleting it gives the slot back.
  EXPECT_EQ(Running(), 1);
  control_.Object().Queue().RemoveTaskAt(0);
  EXPECT_EQ(Running(), 0);
}

TEST_F(Scheduler, AnEngineThatCannotBeMadeTakesNoSlot) {
  script_.fail_creation = true;
  Queue(L"a");
  Queue(L"b");
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_EQ(Running(), 0) << "the queue must not stall on a missing engine";
  script_.fail_creation = false;
  Tick();
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Task(1).state, static_cast<DWORD>(TASK_UPLOADING));
}

TEST_F(Scheduler, AnAbortStopsEveryUploadAndTheNextTickReconnects) {
  Queue(L"a");
  Queue(L"b");
  Queue(L"c");
  Tick();
  script_.bytes = 1000;
  Notify(NOTIFY_FILE_DONE, Task(2).id);
  ASSERT_EQ(Task(2).state, static_cast<DWORD>(TASK_DONE));
  Notify(NOTIFY_ABORTED, 0);
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_ERR_STOPPED));
  EXPECT_EQ(Task(1).state, static_cast<DWORD>(TASK_ERR_STOPPED));
  EXPECT_EQ(Task(2).state, static_cast<DWORD>(TASK_DONE));
  EXPECT_EQ(Running(), 0);
  EXPECT_EQ(script_.live, 0);
  Tick();
  EXPECT_EQ(Task(0).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Task(1).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Running(), 2);
}

TEST_F(Scheduler, ATemporaryFileGoesWhenItsUploadIsDone) {
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
