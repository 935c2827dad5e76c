// The scheduler on its own: a queue, scripted engines made by a fake factory, and a sink that
// records what the control would be told. No window is involved.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "ovtransfer/queue/file_entries.h"
#include "ovtransfer/queue/scheduler.h"
#include "ovtransfer/queue/task_builder.h"
#include "support/fake_engine.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::CountCalls;
using testing_support::EngineScript;

struct RecordingSink final : ISchedulerSink {
  void TaskRowChanged(const UploadTask& task, int) override { rows.push_back(task.state); }
  void TaskFinished(const UploadTask& task) override { finished.push_back(task.id); }
  void SaveWanted() override { ++saves; }
  void TransferStarting(UploadTask& task) override { starting.push_back(task.id); }

  std::vector<DWORD> rows;  // the state each row change showed
  std::vector<DWORD> finished;
  int saves = 0;
  std::vector<DWORD> starting;
};

class Scheduler : public ::testing::Test {
 protected:
  void SetUp() override { file_ = files_.WriteFile(L"f.bin", std::string(1000, 'x')); }

  // A task as the page queues it: the builder's entries, the primary file last.
  UploadTask& Queue(const wchar_t* name, const std::wstring& secondary = L"", ULONG style = 0,
                    DWORD primary_flags = FILE_PRIMARY, const std::wstring& primary = L"") {
    const NewUpload upload{name, L"10.1.2.3", 9000, primary.empty() ? file_ : primary, secondary, name, L"r/d", style};
    HRESULT hr = E_FAIL;
    const size_t index = builder_.Begin(upload, 0x0A010203, &hr);
    EXPECT_EQ(hr, S_OK);
    UploadTask& task = queue_.At(index);
    EXPECT_EQ(builder_.AddPrimary(task, upload.primary, name, primary_flags), S_OK);
    CScheduler::Admit(task);
    return task;
  }
  void Tick() { scheduler_.Tick(); }
  void Notify(WPARAM code, DWORD id) { scheduler_.OnTransferNotify(code, id); }
  UploadTask& Task(size_t i) { return queue_.At(i); }
  DWORD State(size_t i) { return queue_.At(i).state; }
  LONG Running() { return queue_.RunningCount(); }

  // The script outlives the queue, whose engines report to it until they go.
  EngineScript script_;
  testing_support::ScratchFolder files_;
  std::wstring file_;
  LONG max_tasks_ = 2;
  ULONG rate_ = 2048;
  com::Bstr user_{L"alice"}, password_{L"pw"};
  HWND window_ = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1234));  // only handed to the engines
  CTaskQueue queue_;
  CTaskBuilder builder_{queue_};
  testing_support::FakeEngineFactory engines_{script_};
  RecordingSink sink_;
  CScheduler scheduler_{queue_, engines_, sink_, SchedulerInputs{max_tasks_, rate_, user_, password_, window_}};
};

TEST_F(Scheduler, TheEngineGetsItsCallsInOrderWithTheirArguments) {
  Queue(L"a");
  Tick();
  const std::wstring id = std::to_wstring(Task(0).id);
  const std::vector<std::wstring> expected = {
      L"SetNotifyWindow(" + std::to_wstring(WM_TRANSFER_NOTIFY) + L")",
      L"Initialize(2,0.0.0.0:0,0)",
      L"Connect(10.1.2.3:9000,2000)",
      L"Login(alice,pw,64)",
      L"PutFile(a," + file_ + L",0,1," + id + L",260,64)",
      L"StartTransfer()",
      L"SetRateLimit(" + std::to_wstring(2048u * 1024u) + L")",
  };
  EXPECT_EQ(script_.calls, expected);
  EXPECT_EQ(script_.window, window_);
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Running(), 1);
  EXPECT_EQ(sink_.rows, std::vector<DWORD>{TASK_UPLOADING}) << "the tick shows the row once";
  EXPECT_EQ(sink_.starting, std::vector<DWORD>{Task(0).id}) << "the snapshot jobs hear of the start";
}

TEST_F(Scheduler, OnlyMaxTaskCountTasksUploadAndTheNextStartsWhenOneFinishes) {
  max_tasks_ = 1;
  Queue(L"a");
  Queue(L"b");
  Queue(L"c");
  Tick();
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(State(1), static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(State(2), static_cast<DWORD>(TASK_QUEUED));
  script_.bytes = 1000;
  Notify(NOTIFY_FILE_DONE, Task(0).id);
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_DONE));
  EXPECT_EQ(script_.live, 0) << "a finished task's engine is released";
  EXPECT_EQ(Running(), 0);
  EXPECT_EQ(sink_.finished, std::vector<DWORD>{Task(0).id});
  EXPECT_EQ(sink_.saves, 1) << "a finished task is kept at once";
  Tick();
  EXPECT_EQ(State(1), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(State(2), static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(Running(), 1);
}

TEST_F(Scheduler, LoweringTheLimitSendsLaterUploadsBackToTheQueue) {
  max_tasks_ = 4;
  Queue(L"a");
  Queue(L"b");
  Queue(L"c");
  Tick();
  ASSERT_EQ(Running(), 3);
  max_tasks_ = 1;
  Tick();
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(State(1), static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(State(2), static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(Task(1).files[0].state, static_cast<DWORD>(TASK_PAUSED));
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
  Notify(NOTIFY_PAUSED, id);
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_PAUSED));
  script_.bytes = 500;
  Notify(NOTIFY_PROGRESS, id);
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_PAUSED));
  EXPECT_EQ(Task(0).progress, 50u);

  // Notifications that name nothing, or that the engine cannot back, change nothing.
  const DWORD before = Task(0).progress;
  const size_t shown = sink_.rows.size();
  Notify(NOTIFY_PROGRESS, 12345);
  Notify(64, id);
  script_.bytes_fail = true;
  Notify(NOTIFY_FILE_DONE, id);
  EXPECT_EQ(Task(0).progress, before);
  EXPECT_EQ(Task(0).files[0].state, static_cast<DWORD>(TASK_PAUSED));
  EXPECT_EQ(sink_.rows.size(), shown);
}

TEST_F(Scheduler, ATaskOfNoBytesShowsAFullBarAtItsFirstNotification) {
  Queue(L"z", L"", 0, FILE_PRIMARY, files_.WriteFile(L"empty.bin", ""));
  Tick();
  Notify(NOTIFY_FILE_BEGIN, Task(0).id);
  EXPECT_EQ(Task(0).progress, 100u);
}

TEST_F(Scheduler, FailingConnectsAreTriedOnFiveTicksThenRest) {
  script_.failing = {L"Connect"};
  Queue(L"a");
  for (int i = 0; i < 7; ++i) Tick();
  EXPECT_EQ(CountCalls(script_, L"Connect"), 5);
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_ERR_CONNECT));
  EXPECT_EQ(script_.live, 0);

  // The resting task holds its slot; deleting it gives the slot back.
  EXPECT_EQ(Running(), 1);
  queue_.RemoveTaskAt(0);
  EXPECT_EQ(Running(), 0);
}

TEST_F(Scheduler, EachFailingStepLeavesItsOwnStateAndOnlyAnEntryStepMarksTheEntry) {
  const struct {
    const wchar_t* call;
    DWORD state;
    bool entry_marked;
  } steps[] = {{L"Initialize", TASK_ERR_CONNECT, false},
               {L"Login", TASK_ERR_LOGIN, false},
               {L"PutFile", TASK_ERR_PUT, true},
               {L"StartTransfer", TASK_ERR_START, true}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.call);
    script_.failing = {step.call};
    Queue(step.call);
    Tick();
    UploadTask& task = queue_.At(queue_.Size() - 1);
    EXPECT_EQ(task.state, step.state);
    EXPECT_EQ(task.retries, 1u);
    EXPECT_EQ(task.files[0].state, step.entry_marked ? step.state : static_cast<DWORD>(TASK_QUEUED));
    queue_.RemoveTaskAt(queue_.Size() - 1);
  }
  EXPECT_EQ(Running(), 0);
  EXPECT_EQ(script_.live, 0) << "a failed login disconnects; the rest go with their tasks";
}

TEST_F(Scheduler, AnEngineThatCannotBeMadeTakesNoSlot) {
  script_.fail_creation = true;
  Queue(L"a");
  Queue(L"b");
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_EQ(Running(), 0) << "the queue must not stall on a missing engine";
  script_.fail_creation = false;
  Tick();
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(State(1), static_cast<DWORD>(TASK_UPLOADING));
}

TEST_F(Scheduler, AnAbortStopsEveryUploadAndTheNextTickReconnects) {
  max_tasks_ = 4;
  Queue(L"a");
  Queue(L"b");
  Queue(L"c");
  Tick();
  script_.bytes = 1000;
  Notify(NOTIFY_FILE_DONE, Task(2).id);
  ASSERT_EQ(State(2), static_cast<DWORD>(TASK_DONE));
  Notify(NOTIFY_ABORTED, 0);
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_ERR_STOPPED));
  EXPECT_EQ(State(1), static_cast<DWORD>(TASK_ERR_STOPPED));
  EXPECT_EQ(Task(0).files[0].state, static_cast<DWORD>(TASK_ERR_STOPPED));
  EXPECT_EQ(State(2), static_cast<DWORD>(TASK_DONE));
  EXPECT_EQ(Running(), 0);
  EXPECT_EQ(script_.live, 0);
  Tick();
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(State(1), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Running(), 2);
}

TEST_F(Scheduler, AFileMarkedForDeletionGoesWhenItsUploadIsDone) {
  const std::wstring temp = files_.WriteFile(L"t.tmp", "abc");
  Queue(L"t", L"", 0, FILE_PRIMARY | FILE_DELETE_AFTER_UPLOAD, temp);
  Tick();
  EXPECT_NE(script_.calls[4].find(L",1,"), std::wstring::npos) << "the delete flag is not the engine's business";
  Notify(NOTIFY_FILE_DONE, Task(0).id);
  EXPECT_FALSE(testing_support::FileExists(temp));
  EXPECT_EQ(CountCalls(script_, L"FinishFile"), 1);
}

TEST_F(Scheduler, TheNextEntryGoesOnWithTheSameEngineAndSlot) {
  Queue(L"two", files_.WriteFile(L"second.bin", std::string(10, 'y')));
  Tick();
  Notify(NOTIFY_FILE_DONE, Task(0).id);
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Task(0).current_file, 1u);
  EXPECT_EQ(CountCalls(script_, L"Connect"), 1);
  EXPECT_EQ(CountCalls(script_, L"PutFile"), 2);
  EXPECT_EQ(Running(), 1);
  EXPECT_EQ(sink_.saves, 1);
  EXPECT_TRUE(sink_.finished.empty());
}

TEST_F(Scheduler, PauseAndResumeByTheUserKeepTheEngineAndTheSlotCount) {
  max_tasks_ = 1;
  Queue(L"a");
  Queue(L"b");
  Tick();
  scheduler_.Pause(Task(0));
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_PAUSED));
  EXPECT_EQ(Task(0).files[0].state, static_cast<DWORD>(TASK_PAUSED));
  EXPECT_EQ(Running(), 0);
  Tick();  // the paused task's slot goes to the next one
  ASSERT_EQ(State(1), static_cast<DWORD>(TASK_UPLOADING));
  scheduler_.Resume(Task(0));
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_QUEUED)) << "no slot free: it waits, keeping its engine";
  EXPECT_TRUE(Task(0).engine);
  scheduler_.Pause(Task(1));
  Task(0).state = TASK_PAUSED;
  scheduler_.Resume(Task(0));
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Task(0).files[0].state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(Running(), 1);
  EXPECT_EQ(CountCalls(script_, L"Connect"), 2) << "no engine was made again";
}

TEST_F(Scheduler, ResumingATaskThatRestsAfterFailuresGivesItFreshRetries) {
  script_.failing = {L"Connect"};
  Queue(L"a");
  for (int i = 0; i < 6; ++i) Tick();
  ASSERT_EQ(Task(0).retries, CScheduler::kMaxRetries);
  scheduler_.Resume(Task(0));
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(Task(0).retries, 0u);
  EXPECT_EQ(Running(), 0);
  script_.failing.clear();
  Tick();
  EXPECT_EQ(State(0), static_cast<DWORD>(TASK_UPLOADING));
}

TEST_F(Scheduler, StoredTasksThatWereMovingStartAgain) {
  for (DWORD state : {TASK_UPLOADING, TASK_PAUSED}) {
    UploadTask task;
    task.state = state;
    CScheduler::Restore(task);
    EXPECT_EQ(task.state, static_cast<DWORD>(TASK_RESTORED));
  }
  for (DWORD state : {TASK_QUEUED, TASK_DONE, TASK_ERR_PUT}) {
    UploadTask task;
    task.state = state;
    CScheduler::Restore(task);
    EXPECT_EQ(task.state, state);
  }
}

}  // namespace
