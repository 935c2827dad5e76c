// Transfers that ride out broken connections by themselves: through a proxy that cuts, stalls,
// refuses and goes silent, against the real receiver. Where the engine must find a stalled or
// silent path on its own, the test sets the user's stall detection to its shortest (5 s) and
// the proxy a small window, so that the engine's send really waits within a short file.
#include "engine_harness.h"

#include <gtest/gtest.h>

#include "components/engine/protocol.h"
#include "components/engine/stall_setting.h"
#include "components/engine/xxh64.h"
#include "ovtransfer/com/unique.h"
#include "support/com_apartment.h"
#include "support/fault_proxy_process.h"
#include "support/scratch_folder.h"

namespace {

using engine_tests::ConnectedEngine;
using engine_tests::ConnectedEngineAt;
using engine_tests::Done;
using engine_tests::kFolderEntry;
using engine_tests::NotifyWindow;
using engine_tests::Put;
using engine_tests::TestBytes;
using testing_support::FaultProxy;
using testing_support::ReadFileBytes;
using testing_support::ReceiverProcess;
using testing_support::ScratchFolder;

// What one break may cost again, as the proxy counts it (bytes it passed on twice): the input
// the receiver had not taken yet when the new connection took the file over. One socket
// buffer's worth at most (Linux's largest automatic send buffer, 4 MiB), plus a handshake.
constexpr uint64_t kResentPerBreak = (4u << 20) + (64u << 10);

// The proxy's receive buffer where a path stalls: with the engine's send buffer (4 MiB at
// most) the engine's send waits once this much more is in flight, well within kStalledFile.
constexpr uint32_t kStalledWindow = 256u << 10;
constexpr size_t kStalledFile = 12u << 20;

// The user's stall detection at its shortest for the engines connected while it lives.
class ShortestStallDetection {
 public:
  ShortestStallDetection() {
    com::UniqueHKey key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, ovengine::kEngineKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              key.Receive(), nullptr),
              ERROR_SUCCESS);
    const DWORD seconds = ovengine::kMinStallSeconds;
    EXPECT_EQ(RegSetValueExW(key.Get(), ovengine::kStallSecondsValue, 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&seconds), sizeof(seconds)),
              ERROR_SUCCESS);
  }
  ~ShortestStallDetection() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, ovengine::kEngineKey, ovengine::kStallSecondsValue);
  }
  ShortestStallDetection(const ShortestStallDetection&) = delete;
  ShortestStallDetection& operator=(const ShortestStallDetection&) = delete;
};

class Reconnect : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(receiver.Start()) << receiver.Error(); }

  // Puts and starts one file as the scheduler does.
  void Start(ITransferEngine* engine, const std::wstring& remote, const std::wstring& path, LONG task_id,
             DWORD rate = 0) {
    ASSERT_EQ(Put(engine, remote, path, task_id), S_OK);
    ASSERT_EQ(engine->StartTransfer(), S_OK);
    engine->SetRateLimit(rate);
  }

  // Pumps until every task's file is done or timeout_ms pass; the done counts must never go
  // down on the way (the page would show bytes lost).
  bool WaitAllDone(const std::vector<std::pair<ITransferEngine*, LONG>>& tasks, DWORD timeout_ms) {
    std::vector<ULONGLONG> last(tasks.size(), 0);
    for (const DWORD since = GetTickCount(); GetTickCount() - since < timeout_ms;) {
      window.Pump(20);
      bool all = true;
      for (size_t i = 0; i < tasks.size(); ++i) {
        const ULONGLONG now = Done(tasks[i].first);
        EXPECT_GE(now, last[i]) << "progress of task " << tasks[i].second << " went back";
        last[i] = now;
        all = all && window.Count(NOTIFY_FILE_DONE, tasks[i].second) > 0;
      }
      if (all) return true;
      if (window.Count(NOTIFY_ABORTED) > 0) return false;
    }
    return false;
  }

  std::string Received(const std::wstring& remote) const { return ReadFileBytes(receiver.PathOf(remote)); }

  // Uploads one file through proxy with the stall detection at its shortest: it must arrive
  // whole on the first try of the task, the engine carrying it over whatever the path does,
  // and sooner than the detection's default (30 s) would have found a path that went silent.
  void UploadWholeThrough(const FaultProxy& proxy, const std::wstring& name, LONG task_id) {
    ShortestStallDetection stall_detection;
    auto engine = ConnectedEngineAt(proxy.Address(), window.Handle());
    ASSERT_TRUE(engine);
    const std::string bytes = TestBytes(kStalledFile, static_cast<unsigned>(task_id));
    Start(engine.Get(), name, local.WriteFile(name, bytes), task_id);
    ASSERT_TRUE(WaitAllDone({{engine.Get(), task_id}}, 25000));
    EXPECT_EQ(Done(engine.Get()), bytes.size());
    engine->Disconnect();
    EXPECT_EQ(Received(name), bytes);
    EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
    EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN, task_id), 1) << "a reconnect is no new beginning";
  }

  // Waits (bounded) until the proxy has seen count connections end for reason.
  void WaitForEnded(const FaultProxy& proxy, const std::string& reason, int count) {
    for (const DWORD since = GetTickCount(); proxy.Ended(reason) < count && GetTickCount() - since < 15000;)
      window.Pump(100);
    EXPECT_EQ(proxy.Ended(reason), count) << reason;
  }

  testing_support::ComApartment apartment;
  ReceiverProcess receiver;
  NotifyWindow window;
  ScratchFolder local;
};

TEST_F(Reconnect, CutsAStallAndARefusalLeaveTheFileWholeAndTheOtherTaskUndisturbed) {
  FaultProxy::Faults faults;
  faults.cut_every = 3u << 20;
  faults.stall_at = 4u << 20;
  faults.stall_seconds = 2;
  faults.refuse_seconds = 3;
  FaultProxy cutting(receiver.Port(), faults), clean(receiver.Port(), {});
  ASSERT_TRUE(cutting.Start()) << cutting.Error();
  ASSERT_TRUE(clean.Start()) << clean.Error();
  const std::string bytes = TestBytes(12u << 20, 21), other = TestBytes(12u << 20, 22);
  auto broken = ConnectedEngineAt(cutting.Address(), window.Handle());
  auto steady = ConnectedEngineAt(clean.Address(), window.Handle());
  ASSERT_TRUE(broken && steady);
  Start(broken.Get(), L"cut/movie.bin", local.WriteFile(L"movie.bin", bytes), 1);
  // The undisturbed task runs at a limited rate so that it is still running through the breaks.
  Start(steady.Get(), L"cut/other.bin", local.WriteFile(L"other.bin", other), 2, 16u << 20);

  ASSERT_TRUE(WaitAllDone({{broken.Get(), 1}, {steady.Get(), 2}}, 60000));
  EXPECT_EQ(Done(broken.Get()), bytes.size());
  broken->Disconnect();
  steady->Disconnect();
  window.Pump(300);  // the proxies note the connections' ends

  EXPECT_EQ(engine_tests::FileChecksum(receiver.PathOf(L"cut/movie.bin")),
            ovengine::ChecksumText(ovengine::Xxh64Of(bytes.data(), bytes.size())));
  EXPECT_EQ(Received(L"cut/other.bin"), other);
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN, 1), 1) << "a reconnect is no new beginning";
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN, 2), 1);

  const int cuts = cutting.Ended("cut");
  EXPECT_GE(cuts, 3);
  EXPECT_TRUE(cutting.Refused());
  EXPECT_EQ(clean.Ended("cut"), 0);
  EXPECT_EQ(clean.Ended("close"), 1) << "the other task kept its one connection";
  // Both files have the same size and the same framing: what the cut task needed beyond the
  // clean one is what it sent again.
  ASSERT_GE(cutting.Forwarded(), clean.Forwarded());
  const uint64_t resent = cutting.Forwarded() - clean.Forwarded();
  EXPECT_LE(resent, kResentPerBreak * static_cast<uint64_t>(cuts)) << resent << " bytes again over " << cuts << " cuts";
  std::printf("[ measured ] %d cuts re-sent %llu bytes (%llu per cut)\n", cuts,
              static_cast<unsigned long long>(resent), static_cast<unsigned long long>(resent / cuts));
}

TEST_F(Reconnect, AFolderTaskCutEveryMiBDeliversEveryFile) {
  FaultProxy::Faults faults;
  faults.cut_every = 1u << 20;
  FaultProxy proxy(receiver.Port(), faults);
  ASSERT_TRUE(proxy.Start()) << proxy.Error();
  auto engine = ConnectedEngineAt(proxy.Address(), window.Handle());
  ASSERT_TRUE(engine);
  std::vector<std::string> contents;
  EXPECT_EQ(Put(engine.Get(), L"album", local.Path(), 5, kFolderEntry), S_OK);
  for (int i = 0; i < 6; ++i) {
    contents.push_back(TestBytes((3u << 19) + 777 * i, 30 + i));
    const std::wstring name = L"track" + std::to_wstring(i) + L".bin";
    // One break lands between files: the next put goes on a new connection, a folder at once.
    if (i == 3) {
      proxy.CutNow();
      window.Pump(200);
      EXPECT_EQ(Put(engine.Get(), L"album/sub", local.Path(), 5, kFolderEntry), S_OK);
      proxy.CutNow();
      window.Pump(200);
    }
    Start(engine.Get(), L"album/" + name, local.WriteFile(name, contents.back()), 5);
    ASSERT_TRUE(window.WaitFor(NOTIFY_FILE_DONE, 20000, 5)) << name;
    EXPECT_EQ(Done(engine.Get()), contents.back().size());
    EXPECT_EQ(engine->FinishFile(), S_OK);
  }
  engine->Disconnect();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Received(L"album/track" + std::to_wstring(i) + L".bin"), contents[i]) << i;
  EXPECT_NE(GetFileAttributesW(receiver.PathOf(L"album/sub").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(receiver.ReadLog().size(), 6u) << "each file completed once";
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN), 6);
  EXPECT_GE(proxy.Ended("cut"), 8);
}

TEST_F(Reconnect, APausedTransferStaysPausedAcrossABreakAndThenCompletes) {
  FaultProxy proxy(receiver.Port(), {});
  ASSERT_TRUE(proxy.Start()) << proxy.Error();
  auto engine = ConnectedEngineAt(proxy.Address(), window.Handle());
  ASSERT_TRUE(engine);
  const std::string bytes = TestBytes(2u << 20, 40);
  const std::wstring file = local.WriteFile(L"paused.bin", bytes);
  Start(engine.Get(), L"paused.bin", file, 6, 4u << 20);
  for (const DWORD since = GetTickCount(); Done(engine.Get()) < 200000 && GetTickCount() - since < 10000;)
    window.Pump(10);
  ASSERT_EQ(engine->PauseTransfer(), S_OK);
  window.Pump(300);
  const ULONGLONG at_pause = Done(engine.Get());
  proxy.CutNow();
  window.Pump(1500);
  EXPECT_EQ(Done(engine.Get()), at_pause) << "nothing moves while paused";
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
  EXPECT_EQ(window.Count(NOTIFY_FILE_DONE), 0);
  EXPECT_EQ(proxy.Ended("cut"), 1);
  EXPECT_EQ(proxy.Ended("close"), 0) << "no new connection while paused";

  // Resumed as the scheduler does it: the entry put again, then started.
  ASSERT_EQ(Put(engine.Get(), L"paused.bin", file, 6), S_OK);
  EXPECT_EQ(engine->SetResumePosition(at_pause, at_pause), S_OK);
  ASSERT_EQ(engine->StartTransfer(), S_OK);
  engine->SetRateLimit(0);
  ASSERT_TRUE(WaitAllDone({{engine.Get(), 6}}, 20000));
  engine->Disconnect();
  EXPECT_EQ(Received(L"paused.bin"), bytes);
  EXPECT_EQ(window.Count(NOTIFY_FILE_BEGIN), 1);
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 0);
}

// The path takes nothing for longer than the stall detection, then would go on: the engine
// does not wait for it but goes on over a new connection, which takes the file over.
TEST_F(Reconnect, AStallLongerThanTheDetectionIsLeftForANewConnection) {
  FaultProxy::Faults faults;
  faults.stall_at = 1u << 20;
  faults.stall_seconds = 8;
  faults.window = kStalledWindow;
  FaultProxy proxy(receiver.Port(), faults);
  ASSERT_TRUE(proxy.Start()) << proxy.Error();
  UploadWholeThrough(proxy, L"stalled.bin", 7);
  // The stalled connection (ended by the receiver at the takeover) and the one that finished;
  // an engine that waited the stall out would have used one.
  WaitForEnded(proxy, "close", 2);
}

// The client's network vanished: nothing comes back and nothing is ever closed, neither
// towards the engine nor towards the receiver. Only the engine's own detection finds it.
TEST_F(Reconnect, APathThatVanishesWithoutACloseIsFoundAndTakenOver) {
  FaultProxy::Faults faults;
  faults.vanish_at = 1u << 20;
  faults.window = kStalledWindow;
  FaultProxy proxy(receiver.Port(), faults);
  ASSERT_TRUE(proxy.Start()) << proxy.Error();
  UploadWholeThrough(proxy, L"vanished.bin", 9);
  EXPECT_EQ(proxy.Ended("vanish"), 1);
  WaitForEnded(proxy, "close", 1);
}

// Cut, and then the path refuses every connection for longer than the engine's whole back-off:
// the engine gives up once, after its pauses, and the control hears of it once.
TEST_F(Reconnect, APathThatStaysDownEndsTheTransferOnceAfterTheWholeBackOff) {
  FaultProxy::Faults faults;
  faults.cut_every = 1u << 20;
  faults.refuse_seconds = 40;
  FaultProxy proxy(receiver.Port(), faults);
  ASSERT_TRUE(proxy.Start()) << proxy.Error();
  auto engine = ConnectedEngineAt(proxy.Address(), window.Handle());
  ASSERT_TRUE(engine);
  const DWORD since = GetTickCount();
  Start(engine.Get(), L"down.bin", local.WriteFile(L"down.bin", TestBytes(4u << 20, 10)), 10);
  EXPECT_FALSE(WaitAllDone({{engine.Get(), 10}}, 45000));  // progress never goes back meanwhile
  const DWORD took = GetTickCount() - since;
  ASSERT_EQ(window.Count(NOTIFY_ABORTED), 1) << "no give-up within " << took << " ms";
  // The pauses alone are 15.5 s; the refusal outlasts them all.
  EXPECT_GE(took, 14000u);
  EXPECT_LE(took, 40000u);
  const ULONGLONG done = Done(engine.Get());
  window.Pump(1000);
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 1);
  EXPECT_EQ(window.Count(NOTIFY_FILE_DONE), 0);
  EXPECT_EQ(Done(engine.Get()), done);
  engine->Disconnect();
  EXPECT_TRUE(proxy.Refused());
  EXPECT_GE(proxy.Ended("cut"), 1);
  EXPECT_TRUE(receiver.ReadLog().empty()) << "no file completed";
  std::printf("[ measured ] gave up %lu ms after the start\n", static_cast<unsigned long>(took));
}

TEST_F(Reconnect, ALoginRefusedOnReconnectGivesUpAtOnce) {
  auto engine = ConnectedEngine(receiver, window.Handle());
  ASSERT_TRUE(engine);
  Start(engine.Get(), L"refused.bin", local.WriteFile(L"refused.bin", TestBytes(4u << 20, 42)), 8, 1u << 20);
  for (const DWORD since = GetTickCount(); Done(engine.Get()) < 50000 && GetTickCount() - since < 10000;)
    window.Pump(10);
  receiver.Stop();
  receiver.SetUsers({"alice:changed"});
  ASSERT_TRUE(receiver.Start()) << receiver.Error();
  const DWORD since = GetTickCount();
  ASSERT_TRUE(window.WaitFor(NOTIFY_ABORTED, 20000));
  // The back-off alone would take over 15 s: a refused login ends it well before.
  EXPECT_LT(GetTickCount() - since, 8000u);
  window.Pump(300);
  EXPECT_EQ(window.Count(NOTIFY_ABORTED), 1);
  EXPECT_EQ(window.Count(NOTIFY_FILE_DONE), 0);
  engine->Disconnect();
  EXPECT_FALSE(testing_support::FileExists(receiver.PathOf(L"refused.bin")));
}

}  // namespace
