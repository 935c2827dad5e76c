// Jobs started by the control's scheduler and reported back through its window; the control
// (in this program and as the registered DLL) going away while a job still runs.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <functional>

#include "helper_processes.h"
#include "host/hosted_control.h"
#include "local_http_server.h"
#include "media_files.h"
#include "ovtransfer/com/module_lock.h"
#include "support/com_apartment.h"
#include "support/fake_engine.h"
#include "support/hosted_test_control.h"
#include "support/scratch_folder.h"

namespace {

using snapshot_tests::LocalHttpServer;
using testing_support::EngineScript;
using testing_support::FakeEngineRegistration;
using testing_support::HostedTestControl;

// Runs the thread's messages until done() holds; false after timeout_ms.
bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms = 15000) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(10);
  }
}

class ControlJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control_->Active());
    // Start steps come only from the test's own ticks: jobs take the media helper's start-up
    // time, during which the control's timer would start further jobs.
    KillTimer(control_->Host().ControlWindow(), 0);
    // Connecting fails, so the task comes through a start step at every tick.
    script_.failing = {L"Connect"};
    video_ = files_.WriteFile(L"v.avi", snapshot_tests::AviBytes(32, 24, 10, 10, RGB(0, 0, 255), RGB(0, 0, 255)));
    sound_ = files_.WriteFile(L"a.wav", snapshot_tests::WavBytes(8000, 16000));
    control_->Script()->Open(com::Bstr(L"snap-user").Get(), com::Bstr(L"u").Get(), com::Bstr(L"p").Get());
    control_->Script()->put_SnapshotUploadUrl(com::Bstr(server_.Url(L"/up?x=1")).Get());
  }
  void Queue(const std::wstring& primary, ULONG style, const wchar_t* remote = L"v/m?id=7") {
    ASSERT_EQ(control_->Add(HostedTestControl::kAddItem, L"t", L"10.1.2.3", 9000, primary, L"", remote, L"", style),
              0);
  }
  void Tick() { SendMessageW(control_->Host().ControlWindow(), WM_TIMER, 0, 0); }
  DWORD Flags(size_t i = 0) { return control_->Task(i).flags; }
  // Until every worker of this program has ended and its report has been applied.
  bool WorkersEnded() {
    return PumpUntil([&] { return com::ModuleLockCount() == idle_locks_; });
  }

  testing_support::ComApartment apartment_;
  EngineScript script_;
  FakeEngineRegistration engines_{script_};
  LocalHttpServer server_;
  testing_support::ScratchFolder files_;
  std::unique_ptr<HostedTestControl> control_ = std::make_unique<HostedTestControl>();
  LONG idle_locks_ = com::ModuleLockCount();
  std::wstring video_, sound_;
};

TEST_F(ControlJobs, ASnapshotThroughTheSchedulerEndsBothWishes) {
  Queue(video_, STYLE_SNAPSHOT);
  ASSERT_EQ(Flags(), STYLE_SNAPSHOT | STYLE_REPORT_DURATION);
  Tick();
  EXPECT_EQ(Flags(), STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING);
  ASSERT_TRUE(PumpUntil([&] { return Flags() == 0; })) << std::hex << Flags();
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].target, "/up?id=7&$dur$=1");
  Tick();
  EXPECT_EQ(Flags(), 0u) << "nothing more to report";
  EXPECT_TRUE(WorkersEnded());
}

TEST_F(ControlJobs, AFailedSnapshotLeavesTheWishesAndTheDurationIsReportedMeanwhile) {
  Queue(sound_, STYLE_SNAPSHOT);  // no video: no still
  Tick();
  ASSERT_TRUE(PumpUntil([&] { return !(Flags() & TASK_SNAPSHOT_RUNNING); }));
  EXPECT_EQ(Flags(), STYLE_SNAPSHOT | STYLE_REPORT_DURATION);
  EXPECT_TRUE(server_.Requests().empty());

  // While a snapshot job waits for its answer, the next start step sends the duration.
  const std::wstring both = files_.WriteFile(L"w.avi", snapshot_tests::AviBytes(32, 24, 20, 10, 0, 0));
  control_->Task(0).files[0].local_path = both;
  server_.HoldReplies();
  Tick();
  ASSERT_TRUE(server_.WaitForRequests(1));
  Tick();
  EXPECT_EQ(Flags(), STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING | TASK_DURATION_RUNNING);
  ASSERT_TRUE(server_.WaitForRequests(2));
  server_.ReleaseReplies();
  ASSERT_TRUE(WorkersEnded());
  EXPECT_EQ(Flags(), 0u);
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/up?id=7&$dur$=2");
  EXPECT_EQ(requests[1].target, "/up?id=7&$dur$=2");
  EXPECT_EQ(requests[1].body, "") << "the duration report has no body";
}

TEST_F(ControlJobs, CutAndMeaninglessMediaFailTheirJobsInTheHelperOnly) {
  Queue(files_.WriteFile(L"cut.avi", snapshot_tests::TruncatedAvi()), STYLE_SNAPSHOT, L"v/cut.avi");
  Queue(files_.WriteFile(L"noise.avi", std::string(3000, 'n')), 0, L"v/noise.avi");
  Tick();
  EXPECT_EQ(Flags(0), STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING);
  EXPECT_EQ(Flags(1), STYLE_REPORT_DURATION | TASK_DURATION_RUNNING);
  constexpr DWORD kRunning = TASK_SNAPSHOT_RUNNING | TASK_DURATION_RUNNING;
  ASSERT_TRUE(PumpUntil([&] { return !(Flags(0) & kRunning) && !(Flags(1) & kRunning); }));
  EXPECT_EQ(Flags(0), STYLE_SNAPSHOT | STYLE_REPORT_DURATION) << "the snapshot is tried again";
  EXPECT_EQ(Flags(1), STYLE_REPORT_DURATION);
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(snapshot_tests::ChildProcesses(L"ovprobe.exe"), 0);
}

TEST_F(ControlJobs, ATaskDeletedWhileItsJobRunsIsNotTouched) {
  server_.HoldReplies();
  Queue(sound_, 0);
  Tick();
  ASSERT_TRUE(server_.WaitForRequests(1));
  control_->RemoveTask(0);
  Queue(sound_, 0);
  control_->Task(0).flags |= TASK_DURATION_RUNNING;  // as if its own job ran
  server_.ReleaseReplies();
  ASSERT_TRUE(WorkersEnded());
  EXPECT_EQ(Flags(), STYLE_REPORT_DURATION | TASK_DURATION_RUNNING);
}

TEST_F(ControlJobs, TheControlMayGoWhileAJobRuns) {
  server_.HoldReplies();
  Queue(sound_, 0);
  Tick();
  ASSERT_TRUE(server_.WaitForRequests(1));
  control_.reset();
  const LONG worker_only = com::ModuleLockCount() - 1;  // the waiting worker holds one lock
  server_.ReleaseReplies();
  EXPECT_TRUE(PumpUntil([&] { return com::ModuleLockCount() == worker_only; }));
}

TEST_F(ControlJobs, TheRegisteredControlStaysLoadedUntilItsLastWorkerEnds) {
  server_.HoldReplies();
  {
    host::HostedControl page;
    host::ControlOptions options;
    options.width = 716;
    options.height = 188;
    control_.reset();  // with it goes this program's own factory for the class
    ASSERT_EQ(page.Start(CLSID_OvTransferControl, options), S_OK) << page.Error();
    ASSERT_TRUE(GetModuleHandleW(L"ovtransfer.dll"));
    com::ComPtr<IOvTransferControl> control;
    ASSERT_EQ(page.Unknown()->QueryInterface(IID_IOvTransferControl, control.ReceiveVoid()), S_OK);
    control->put_SnapshotUploadUrl(com::Bstr(server_.Url(L"/dll")).Get());
    control->Open(com::Bstr(L"snap-dll").Get(), com::Bstr(L"u").Get(), com::Bstr(L"p").Get());
    LONG result = -1;
    control->AddItem(com::Bstr(L"t").Get(), com::Bstr(L"127.0.0.1").Get(), 9, com::Bstr(sound_).Get(),
                     com::Bstr(L"").Get(), com::Bstr(L"a.wav").Get(), com::Bstr(L"").Get(), 0, &result);
    ASSERT_EQ(result, 0);
    SendMessageW(page.ControlWindow(), WM_TIMER, 0, 0);
    ASSERT_TRUE(server_.WaitForRequests(1));
    control.Reset();
    page.Close();
  }
  HMODULE dll = GetModuleHandleW(L"ovtransfer.dll");
  ASSERT_TRUE(dll);
  auto can_unload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  ASSERT_TRUE(can_unload);
  EXPECT_EQ(can_unload(), S_FALSE) << "the worker holds the module";
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_TRUE(GetModuleHandleW(L"ovtransfer.dll"));

  server_.ReleaseReplies();
  // The worker ends, drops its report and lets the module go.
  EXPECT_TRUE(PumpUntil([&] {
    CoFreeUnusedLibrariesEx(0, 0);
    return GetModuleHandleW(L"ovtransfer.dll") == nullptr;
  })) << "the module is released once the worker has ended";
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].target, "/dll?$dur$=2");
}

}  // namespace
