// Pausing, resuming, breaking and ending transfers of the real engine against the real receiver.
#include "engine_harness.h"

#include <gtest/gtest.h>

#include "support/com_apartment.h"
#include "support/scratch_folder.h"

namespace {

using engine_tests::ConnectedEngine;
using engine_tests::Done;
using engine_tests::NotifyWindow;
using engine_tests::Put;
using engine_tests::TestBytes;
using testing_support::ReadFileBytes;
using testing_support::ReceiverProcess;
using testing_support::ScratchFolder;

class TransferControl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(receiver.Start()) << receiver.Error(); }

  // Starts file (of bytes) as the scheduler does, at rate bits per second.
  com::ComPtr<ITransferEngine> Started(const std::wstring& remote, const std::string& bytes, DWORD rate,
                                       LONG task_id = 5) {
    file = local.WriteFile(L"upload.bin", bytes);
    auto engine = ConnectedEngine(receiver, window.Handle());
    if (!engine) return {};
    EXPECT_EQ(Put(engine.Get(), remote, file, task_id), S_OK);
    EXPECT_EQ(engine->StartTransfer(), S_OK);
    engine->SetRateLimit(rate);
    return engine;
  }

  // Pumps until the engine reports at least bytes done.
  bool WaitUntilDone(ITransferEngine* engine, ULONGLONG bytes, DWORD timeout_ms = 20000) {
    for (const DWORD since = GetTickCount(); GetTickCount() - since < timeout_ms;) {
      if (Done(engine) >= bytes) return true;
      window.Pump(10);
    }
    return false;
  }

  testing_support::ComApartment apartment;
  ReceiverProcess receiver;
  NotifyWindow window;
  ScratchFolder local;
  std::wstring file;
};

TEST_F(TransferControl, PauseStopsQuicklyEvenAtTheLowestRateAndResumeCompletesTheFile) {
  const std::string bytes = TestBytes(40000, 3);
  auto engine = Started(L"paused.bin", bytes, 102400);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(WaitUntilDone(engine.Get(), 3000));
  ASSERT_EQ(engine->PauseTransfer(), S_OK);
  const ULONGLONG at_pause = Done(engine.Get());
  EXPECT_TRUE(window.WaitFor(NOTIFY_PAUSED, 1000, 5));
  window.Pump(600);
  const ULONGLONG later = Done(engine.Get());
  EXPECT_LE(later - at_pause, 256u) << "at most the chunk in flight goes after the pause";
  window.Pump(400);
  EXPECT_EQ(Done(engine.Get()), later) << "nothing moves while paused";
  EXPECT_EQ(engine->PauseTransfer(), S_OK) << "paused is paused";

  // The scheduler puts a paused entry again when it gets a slot back, then resumes it.
  std::wstring status;
  EXPECT_EQ(Put(engine.Get(), L"paused.bin", file, 5, 0, &status), S_OK);
  EXPECT_EQ(engine->SetResumePosition(later, later), S_OK);
  engine->SetRateLimit(0);
  ASSERT_EQ(engine->StartTransfer(), S_OK);
  ASSERT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 10000, 5));
  EXPECT_EQ(Done(engine.Get()), bytes.size());
  EXPECT_TRUE(FAILED(engine->PauseTransfer())) << "nothing runs after the file is done";
  engine->FinishFile();
  engine->Disconnect();
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"paused.bin")), bytes);
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN), 1) << "a resume is no new beginning";
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
}

TEST_F(TransferControl, AfterTheReceiverDiedMidFileTheEngineGoesOnByItselfOnceItIsBack) {
  const std::string bytes = TestBytes(6u << 20, 4);
  auto engine = Started(L"resume/movie.csf", bytes, 16 * 1024 * 1024);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(WaitUntilDone(engine.Get(), 2u << 20));
  receiver.Kill();
  window.Pump(1000);
  const ULONGLONG done_before = Done(engine.Get());
  EXPECT_LT(done_before, bytes.size());
  ASSERT_TRUE(receiver.Start()) << receiver.Error();
  engine->SetRateLimit(0);
  ASSERT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 30000, 5));
  EXPECT_EQ(Done(engine.Get()), bytes.size());
  engine->Disconnect();
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"resume/movie.csf")), bytes);
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN), 1) << "the same transfer went on";
}

// A new engine for a file the receiver partly holds goes on from what it holds, even when
// the control's own count of the file is lower: asking from that would drop the rest.
TEST_F(TransferControl, ANewEngineGoesOnFromWhatTheReceiverHoldsNotFromTheControlsCount) {
  const std::string bytes = TestBytes(6u << 20, 4);
  auto engine = Started(L"resume/held.csf", bytes, 16 * 1024 * 1024);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(WaitUntilDone(engine.Get(), 2u << 20));
  engine->Disconnect();
  engine.Reset();

  engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  std::wstring status;
  ASSERT_EQ(Put(engine.Get(), L"resume/held.csf", file, 6, 0, &status), S_OK);
  unsigned long long held = 0;
  ASSERT_EQ(swscanf(status.c_str(), L"OK held %llu", &held), 1) << status;
  ASSERT_GT(held, 1000u) << "the receiver kept the partial data";
  ASSERT_EQ(engine->SetResumePosition(held / 2, held / 2), S_OK);
  ASSERT_EQ(engine->StartTransfer(), S_OK);
  EXPECT_EQ(Done(engine.Get()), held) << "the transfer goes on where the receiver stands";
  engine->SetRateLimit(0);
  ASSERT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 20000, 6));
  EXPECT_EQ(Done(engine.Get()), bytes.size());
  engine->Disconnect();
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"resume/held.csf")), bytes);
}

TEST_F(TransferControl, AFileChangedBetweenAttemptsIsRefusedAtTheEndAndThenSentWholeOnce) {
  const std::string first = TestBytes(3u << 20, 9), second = TestBytes(3u << 20, 10);
  auto engine = Started(L"changed.bin", first, 16 * 1024 * 1024);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(WaitUntilDone(engine.Get(), 1u << 20));
  engine->Disconnect();
  engine.Reset();

  // Same name and size, other content: the part the receiver holds no longer matches. The
  // checksum at END says so, and the engine sends the file again from its start, once.
  local.WriteFile(L"upload.bin", second);
  engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  std::wstring status;
  ASSERT_EQ(Put(engine.Get(), L"changed.bin", file, 6, 0, &status), S_OK);
  EXPECT_NE(status, L"OK held 0");
  ASSERT_EQ(engine->StartTransfer(), S_OK);
  engine->SetRateLimit(0);
  ASSERT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 20000, 6));
  EXPECT_EQ(Done(engine.Get()), second.size());
  engine->Disconnect();
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"changed.bin")), second);
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN, 6), 2) << "the file began again from 0";
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
}

TEST_F(TransferControl, DisconnectDuringATransferEndsItQuietly) {
  auto engine = Started(L"cut.bin", TestBytes(4u << 20, 5), 1048576);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(WaitUntilDone(engine.Get(), 100000));
  const DWORD since = GetTickCount();
  EXPECT_EQ(engine->Disconnect(), S_OK);
  EXPECT_LT(GetTickCount() - since, 2000u);
  EXPECT_EQ(engine->Disconnect(), S_OK);
  EXPECT_TRUE(FAILED(engine->StartTransfer()));
  window.Pump(0);  // what was posted before Disconnect returned
  const size_t seen = window.All().size();
  window.Pump(500);
  EXPECT_EQ(window.All().size(), seen) << "nothing is posted after Disconnect";
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
  engine.Reset();
  EXPECT_FALSE(testing_support::FileExists(receiver.PathOf(L"cut.bin"))) << "an unfinished file is not put in place";
}

TEST_F(TransferControl, ReleaseWithoutDisconnectWhileRunningOrPaused) {
  auto running = Started(L"released.bin", TestBytes(4u << 20, 6), 1048576, 11);
  auto paused = Started(L"released2.bin", TestBytes(1u << 20, 7), 1048576, 12);
  ASSERT_TRUE(running && paused);
  ASSERT_TRUE(WaitUntilDone(running.Get(), 50000));
  ASSERT_EQ(paused->PauseTransfer(), S_OK);
  running.Reset();
  paused.Reset();
  window.Pump(0);  // what was posted before the releases returned
  const size_t seen = window.All().size();
  window.Pump(500);
  EXPECT_EQ(window.All().size(), seen) << "a released engine posts nothing more";
  CoFreeUnusedLibraries();

  // The receiver and a new engine carry on.
  const std::string bytes = TestBytes(1000, 8);
  auto engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  ASSERT_EQ(Put(engine.Get(), L"after.bin", local.WriteFile(L"after.bin", bytes), 13), S_OK);
  ASSERT_EQ(engine->StartTransfer(), S_OK);
  EXPECT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 10000, 13));
  engine->Disconnect();
  EXPECT_EQ(ReadFileBytes(receiver.PathOf(L"after.bin")), bytes);
}

}  // namespace
