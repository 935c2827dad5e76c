// Choosing and starting jobs, the workers' outcomes in the task's flags, and the report
// channel that carries them back to the control's thread.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "helper_processes.h"
#include "local_http_server.h"
#include "media_files.h"
#include "ovtransfer/com/folder_walk.h"
#include "ovtransfer/snapshot/probe_helper.h"
#include "ovtransfer/queue/task_queue.h"
#include "ovtransfer/snapshot/snapshot_jobs.h"
#include "support/com_apartment.h"
#include "support/scratch_folder.h"

namespace {

using snapshot::CJobReports;
using snapshot::ComposeSnapshotAddress;
using snapshot::kJobNotStarted;
using snapshot::kJobStarted;
using snapshot::SnapshotJob;
using snapshot_tests::HttpResponse;
using snapshot_tests::LocalHttpServer;

TEST(SnapshotAddress, IsThePagesAddressWithoutItsQueryAndTheRemoteNamesQuery) {
  struct Case {
    const wchar_t *url, *remote, *expected;
  };
  const Case cases[] = {
      {L"http://h/up?x=1", L"a.flv?id=7&k=2", L"http://h/up?id=7&k=2"},
      {L"http://h/up?x=1", L"a.flv", L"http://h/up"},
      {L"http://h/up", L"a.flv?", L"http://h/up"},
      {L"http://h/up", L"a?b?c", L"http://h/up?b?c"},
      {L"http://h/up#f", L"a?b", L"http://h/up#f?b"},
      {L"", L"a.flv", L""},
      {L"", L"a.flv?id=7", L"?id=7"},
  };
  for (const Case& c : cases) EXPECT_EQ(ComposeSnapshotAddress(c.url, c.remote), c.expected) << c.url << L" " << c.remote;
}

// Thread starters that run nothing: the bodies are kept for the test to run or drop.
std::vector<std::function<void()>> g_bodies;
bool KeepBody(std::function<void()> body) {
  g_bodies.push_back(std::move(body));
  return true;
}
bool NoThread(std::function<void()>) { return false; }

class Jobs : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bodies.clear();
    // Temporary files of the workers go to a folder of this test only.
    wchar_t previous[MAX_PATH] = {};
    had_tmp_ = GetEnvironmentVariableW(L"TMP", previous, MAX_PATH) > 0;
    previous_tmp_ = previous;
    SetEnvironmentVariableW(L"TMP", temp_.Path().c_str());
    task_.id = 41;
    task_.flags = STYLE_REPORT_DURATION;
    AddEntry(L"C:\\second.txt", L"s.txt", 0);
    AddEntry(L"C:\\clip.avi", L"v/clip.avi?id=7", FILE_PRIMARY);
  }
  void TearDown() override {
    g_bodies.clear();
    snapshot::SetProbeHelperSettings({});
    SetEnvironmentVariableW(L"TMP", had_tmp_ ? previous_tmp_.c_str() : nullptr);
  }
  void AddEntry(const std::wstring& path, const std::wstring& remote, DWORD flags) {
    UploadFile entry;
    entry.local_path = path;
    entry.remote_name = remote;
    entry.flags = flags;
    task_.files.push_back(entry);
  }
  SnapshotJob Job(const std::wstring& media, const std::wstring& address) {
    SnapshotJob job;
    job.media_path = media;
    job.address = address;
    job.reports = reports_;
    job.generation = reports_->Generation();
    job.task_id = 41;
    return job;
  }
  // The worker's report, applied as the control's thread applies it.
  DWORD FlagsAfter(DWORD flags, const std::function<DWORD()>& worker, DWORD* exit_code = nullptr) {
    CTaskQueue queue;
    UploadTask task;
    task.id = 41;
    task.flags = flags;
    queue.AppendTask(task);
    const DWORD code = worker();
    if (exit_code) *exit_code = code;
    reports_->ApplyTo(queue);
    return queue.At(0).flags;
  }
  std::vector<std::wstring> TempFiles() {
    std::vector<std::wstring> names;
    com::ForEachEntry(temp_.Path(), [&](const WIN32_FIND_DATAW& found) {
      names.push_back(found.cFileName);
      return true;
    });
    return names;
  }

  testing_support::ComApartment apartment_;
  testing_support::ScratchFolder files_, temp_;
  std::wstring previous_tmp_;
  bool had_tmp_ = false;
  std::shared_ptr<CJobReports> reports_ = std::make_shared<CJobReports>();
  UploadTask task_;
  LocalHttpServer server_;
};

TEST_F(Jobs, TheSnapshotComesFirstThenTheDurationAndOneJobAtATime) {
  task_.flags |= STYLE_SNAPSHOT;
  snapshot::StartJobForTask(task_, L"http://h/up", reports_, &KeepBody);
  EXPECT_EQ(task_.flags, STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING);
  snapshot::StartJobForTask(task_, L"http://h/up", reports_, &KeepBody);
  EXPECT_EQ(task_.flags, STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING | TASK_DURATION_RUNNING);
  snapshot::StartJobForTask(task_, L"http://h/up", reports_, &KeepBody);
  EXPECT_EQ(g_bodies.size(), 2u);

  UploadTask plain;
  plain.flags = STYLE_SNAPSHOT | STYLE_REPORT_DURATION;
  snapshot::StartJobForTask(plain, L"http://h/up", reports_, &KeepBody);
  EXPECT_EQ(plain.flags, STYLE_SNAPSHOT | STYLE_REPORT_DURATION) << "no primary entry, no job";
  EXPECT_EQ(g_bodies.size(), 2u);
}

TEST_F(Jobs, TheJobGetsThePrimaryEntryAndTheComposedAddress) {
  files_.WriteFile(L"clip.wav", snapshot_tests::WavBytes(8000, 12000));
  task_.files[1].local_path = files_ / L"clip.wav";
  snapshot::StartJobForTask(task_, server_.Url(L"/up?x=1"), reports_, &KeepBody);
  ASSERT_EQ(g_bodies.size(), 1u);
  g_bodies[0]();  // the duration worker, here on the test's thread
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].target, "/up?id=7&$dur$=1");
}

TEST_F(Jobs, InputsBeyondTheirRoomsStartNothing) {
  const std::wstring url = L"http://h/up";
  EXPECT_EQ(snapshot::StartSnapshotJob(task_, std::wstring(260, L'm'), L"r", false, url, reports_, &KeepBody),
            kJobNotStarted);
  EXPECT_EQ(snapshot::StartSnapshotJob(task_, L"m", std::wstring(260, L'r'), true, url, reports_, &KeepBody),
            kJobNotStarted);
  EXPECT_EQ(snapshot::StartSnapshotJob(task_, L"m", L"r", false, L"http://h/" + std::wstring(2048 - 9, L'u'),
                                       reports_, &KeepBody),
            kJobNotStarted);
  EXPECT_EQ(snapshot::StartSnapshotJob(task_, L"m", L"r?" + std::wstring(200, L'q'), false,
                                       L"http://h/" + std::wstring(1900, L'u'), reports_, &KeepBody),
            kJobNotStarted)
      << "the composed address counts";
  EXPECT_EQ(task_.flags, STYLE_REPORT_DURATION);
  EXPECT_TRUE(g_bodies.empty());

  EXPECT_EQ(snapshot::StartSnapshotJob(task_, std::wstring(259, L'm'), std::wstring(259, L'r'), false,
                                       L"http://h/" + std::wstring(2047 - 9, L'u'), reports_, &KeepBody),
            kJobStarted);
  EXPECT_EQ(task_.flags, STYLE_REPORT_DURATION | TASK_DURATION_RUNNING);
}

TEST_F(Jobs, AJobWithoutAThreadLeavesNoRunningBitBehind) {
  task_.flags |= STYLE_SNAPSHOT;
  EXPECT_EQ(snapshot::StartSnapshotJob(task_, L"m", L"r", true, L"http://h/up", reports_, &NoThread), kJobNotStarted);
  EXPECT_EQ(task_.flags, STYLE_SNAPSHOT | STYLE_REPORT_DURATION);
  snapshot::StartJobForTask(task_, L"http://h/up", reports_, &KeepBody);
  EXPECT_EQ(task_.flags & TASK_SNAPSHOT_RUNNING, TASK_SNAPSHOT_RUNNING) << "tried again at the next start step";
}

TEST_F(Jobs, ADurationJobClearsOnlyItsRunningBitWhateverTheOutcome) {
  const std::wstring wav = files_.WriteFile(L"a.wav", snapshot_tests::WavBytes(8000, 8000));
  const DWORD running = STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_DURATION_RUNNING | TASK_SNAPSHOT_RUNNING;
  const DWORD after = STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING;
  DWORD code = 9;
  EXPECT_EQ(FlagsAfter(running, [&] { return snapshot::DurationReportWorker(Job(wav, server_.Url(L"/d"))); }, &code),
            after);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(server_.Requests().at(0).target, "/d?$dur$=1");

  server_.QueueReply(HttpResponse(200, "ERROR"));
  EXPECT_EQ(FlagsAfter(running, [&] { return snapshot::DurationReportWorker(Job(wav, server_.Url(L"/d"))); }, &code),
            after);
  EXPECT_EQ(code, 1u);
  // Files the probe cannot read (a cut AVI, noise), or an address no post can reach:
  // nothing is posted.
  const std::wstring unreadable[] = {files_.WriteFile(L"n.bin", std::string(4000, 'n')),
                                     files_.WriteFile(L"cut.avi", snapshot_tests::TruncatedAvi())};
  for (const std::wstring& media : unreadable) {
    EXPECT_EQ(
        FlagsAfter(running, [&] { return snapshot::DurationReportWorker(Job(media, server_.Url(L"/d"))); }, &code),
        after);
    EXPECT_EQ(code, 1u);
  }
  EXPECT_EQ(FlagsAfter(running, [&] { return snapshot::DurationReportWorker(Job(wav, L"")); }, &code), after);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(server_.Requests().size(), 2u);
}

TEST_F(Jobs, ASuccessfulSnapshotEndsBothWishesAndLeavesNoTemporaryFile) {
  const std::wstring avi =
      files_.WriteFile(L"v.avi", snapshot_tests::AviBytes(64, 48, 20, 10, RGB(250, 250, 0), RGB(0, 0, 0)));
  const DWORD running = 0x4 | STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING | TASK_DURATION_RUNNING;
  DWORD code = 9;
  EXPECT_EQ(FlagsAfter(running, [&] { return snapshot::SnapshotWorker(Job(avi, server_.Url(L"/s?id=7"))); }, &code),
            0x4 | TASK_DURATION_RUNNING);
  EXPECT_EQ(code, 0u);
  ASSERT_EQ(server_.Requests().size(), 1u);
  const auto request = server_.Requests()[0];
  EXPECT_EQ(request.target, "/s?id=7&$dur$=2");
  snapshot_tests::Image still;
  ASSERT_TRUE(snapshot_tests::DecodeImage(request.body, &still));
  EXPECT_EQ(still.width, 64u);
  EXPECT_EQ(still.height, 48u);
  EXPECT_TRUE(TempFiles().empty()) << "neither the still nor the reserved name stays";
}

TEST_F(Jobs, AFailedSnapshotIsTriedAgainAndLeavesNoTemporaryFile) {
  const std::wstring avi = files_.WriteFile(L"v.avi", snapshot_tests::AviBytes(16, 16, 5, 10, 0, 0));
  const std::wstring wav = files_.WriteFile(L"a.wav", snapshot_tests::WavBytes(8000, 8000));
  const DWORD running = STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING;
  const DWORD after = STYLE_SNAPSHOT | STYLE_REPORT_DURATION;
  server_.QueueReply(HttpResponse(200, "REFUSED"));
  const std::wstring cut = files_.WriteFile(L"cut.avi", snapshot_tests::TruncatedAvi());
  const std::wstring noise = files_.WriteFile(L"noise.avi", std::string(3000, 'n'));
  const std::pair<std::wstring, std::wstring> failures[] = {
      {avi, server_.Url(L"/s")},    // the server refuses
      {wav, server_.Url(L"/s")},    // no video
      {cut, server_.Url(L"/s")},    // headers cut off
      {noise, server_.Url(L"/s")},  // no media at all
      {avi, L""},                 // nowhere to post
      {avi, L"ftp://h/s"},
  };
  for (const auto& [media, address] : failures) {
    DWORD code = 9;
    EXPECT_EQ(FlagsAfter(running, [&] { return snapshot::SnapshotWorker(Job(media, address)); }, &code), after)
        << media << L" " << address;
    EXPECT_EQ(code, 1u);
    EXPECT_TRUE(TempFiles().empty());
  }
  EXPECT_EQ(server_.Requests().size(), 1u) << "only the still that was made is posted";
}

TEST_F(Jobs, AHelperThatHangsFailsTheJobAtTheLimit) {
  snapshot::ProbeHelperSettings settings;
  settings.program = snapshot_tests::FakeHelperPath();
  settings.time_limit_ms = 1000;
  snapshot::SetProbeHelperSettings(settings);
  const std::wstring media = files_ / L"hang.avi";
  DWORD code = 9;
  EXPECT_EQ(FlagsAfter(STYLE_REPORT_DURATION | TASK_DURATION_RUNNING,
                       [&] { return snapshot::DurationReportWorker(Job(media, server_.Url(L"/d"))); }, &code),
            STYLE_REPORT_DURATION);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(FlagsAfter(STYLE_SNAPSHOT | STYLE_REPORT_DURATION | TASK_SNAPSHOT_RUNNING,
                       [&] { return snapshot::SnapshotWorker(Job(media, server_.Url(L"/s"))); }, &code),
            STYLE_SNAPSHOT | STYLE_REPORT_DURATION);
  EXPECT_EQ(code, 1u);
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(snapshot_tests::ChildProcesses(L"fake_probe.exe"), 0);
}

TEST_F(Jobs, ReportsWakeTheWindowAndOutlivedOnesAreDropped) {
  HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  CTaskQueue queue;
  UploadTask task;
  task.id = 41;
  task.flags = TASK_SNAPSHOT_RUNNING | TASK_DURATION_RUNNING;
  queue.AppendTask(task);
  MSG msg;

  // A report made while there is no window waits for the next one.
  reports_->Report(reports_->Generation(), 41, TASK_DURATION_RUNNING);
  EXPECT_FALSE(PeekMessageW(&msg, window, snapshot::WM_JOB_REPORT, snapshot::WM_JOB_REPORT, PM_REMOVE));
  reports_->SetWindow(window);
  EXPECT_TRUE(PeekMessageW(&msg, window, snapshot::WM_JOB_REPORT, snapshot::WM_JOB_REPORT, PM_REMOVE));
  reports_->ApplyTo(queue);
  EXPECT_EQ(queue.At(0).flags, TASK_SNAPSHOT_RUNNING);

  // Jobs of an earlier generation name ids that new tasks get again.
  const DWORD old = reports_->Generation();
  reports_->NewGeneration();
  reports_->Report(old, 41, TASK_SNAPSHOT_RUNNING);
  EXPECT_FALSE(PeekMessageW(&msg, window, snapshot::WM_JOB_REPORT, snapshot::WM_JOB_REPORT, PM_REMOVE));
  reports_->ApplyTo(queue);
  EXPECT_EQ(queue.At(0).flags, TASK_SNAPSHOT_RUNNING);

  // The control has gone: nothing is kept and nothing is posted.
  reports_->Close();
  reports_->Report(reports_->Generation(), 41, TASK_SNAPSHOT_RUNNING);
  reports_->SetWindow(window);
  EXPECT_FALSE(PeekMessageW(&msg, window, snapshot::WM_JOB_REPORT, snapshot::WM_JOB_REPORT, PM_REMOVE));
  reports_->ApplyTo(queue);
  EXPECT_EQ(queue.At(0).flags, TASK_SNAPSHOT_RUNNING);
  DestroyWindow(window);
}

}  // namespace
