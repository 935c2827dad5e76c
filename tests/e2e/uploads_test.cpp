// Uploads for real: the control in a container, its registered engine and the native
// receiver on loopback. What the receiver holds at the end is compared byte for byte.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ovtransfer/com/registry.h"
#include "ovtransfer/control/settings.h"
#include "snapshot/helper_processes.h"
#include "snapshot/local_http_server.h"
#include "snapshot/media_files.h"
#include "support/hosted_test_control.h"
#include "support/receiver_process.h"
#include "support/relay_process.h"
#include "support/scratch_folder.h"
#include "ui/resource_ids.h"

namespace {

using testing_support::HostedTestControl;
using testing_support::ReceiverProcess;
using testing_support::RelayProcess;

constexpr ULONG kEightMegabit = 8192;  // UploadRate of "8M bps": 1 MiB a second

std::string Bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return bytes;
}

class Uploads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(receiver_.Start()) << receiver_.Error();
    Open(*control_);
  }
  void TearDown() override {
    if (control_) control_->Script()->Close();
    com::DeleteTree(HKEY_CURRENT_USER, settings::kSettingsKey);
  }
  void Open(HostedTestControl& control, const wchar_t* password = L"secret") {
    ASSERT_TRUE(control.Active());
    control.Script()->Open(com::Bstr(L"e2e").Get(), com::Bstr(L"alice").Get(), com::Bstr(password).Get());
    control.Script()->put_UploadRate(0);
  }
  LONG Add(const std::wstring& primary, const std::wstring& secondary, const wchar_t* remote1, const wchar_t* remote2,
           ULONG style = 0, const wchar_t* address = L"127.0.0.1") {
    return control_->Add(HostedTestControl::kAddItem, remote1, address, receiver_.Port(), primary, secondary, remote1,
                         remote2, style, 12345);
  }
  UploadTask& Task(size_t index) { return control_->Task(index); }
  // Pumps the control's messages (its ticks and the engines' notifications) until done().
  bool Until(const std::function<bool()>& done, DWORD timeout_ms = 60000) {
    return host::PumpMessagesUntil(done, timeout_ms);
  }
  bool AllDone() { return control_->AllTasksDone(); }
  void ExpectReceived(const std::wstring& remote, const std::string& bytes) {
    SCOPED_TRACE(std::string(remote.begin(), remote.end()));
    EXPECT_EQ(testing_support::ReadFileBytes(receiver_.PathOf(remote)), bytes);
  }
  void Click(int id) {
    HWND window = control_->Host().ControlWindow();
    PostMessageW(GetDlgItem(window, id), BM_CLICK, 0, 0);
  }
  void SelectRow(int row) {
    LVITEMW item = {};
    item.stateMask = item.state = LVIS_SELECTED;
    SendMessageW(control_->List(), LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
  }

  ReceiverProcess receiver_;
  std::unique_ptr<HostedTestControl> control_ = std::make_unique<HostedTestControl>();
  testing_support::ScratchFolder files_;
};

TEST_F(Uploads, FileWithSecondaryAndNestedFoldersArriveWhole) {
  const std::string video = Bytes(300000, 1), subtitles = Bytes(1234, 2), a = Bytes(70000, 3), b = Bytes(5, 4);
  const std::wstring primary = files_.WriteFile(L"video.avi", video);
  const std::wstring secondary = files_.WriteFile(L"video.srt", subtitles);
  files_.MakeFolder(L"album");
  files_.MakeFolder(L"album\\inner");
  files_.MakeFolder(L"album\\inner\\deeper");
  files_.MakeFolder(L"nothing");
  files_.WriteFile(L"album\\a.jpg", a);
  files_.WriteFile(L"album\\inner\\deeper\\b.txt", b);
  const std::wstring cover = files_.WriteFile(L"cover.jpg", "c");
  ASSERT_EQ(Add(primary, secondary, L"up/video.avi", L"up/video.srt"), 0);
  ASSERT_EQ(Add(cover, files_ / L"album", L"up/cover.jpg?id=9", L"up/album?id=9", STYLE_FOLDER), 0);
  ASSERT_EQ(Add(cover, files_ / L"nothing", L"up/again.jpg", L"up/nothing", STYLE_FOLDER), 0);

  ASSERT_TRUE(Until([&] { return AllDone(); }));
  ExpectReceived(L"up/video.avi", video);
  ExpectReceived(L"up/video.srt", subtitles);
  ExpectReceived(L"up/cover.jpg", "c");
  ExpectReceived(L"up/album/a.jpg", a);
  ExpectReceived(L"up/album/inner/deeper/b.txt", b);
  // A folder with no files still arrives as a folder.
  const DWORD empty = GetFileAttributesW(receiver_.PathOf(L"up/nothing").c_str());
  EXPECT_TRUE(empty != INVALID_FILE_ATTRIBUTES && (empty & FILE_ATTRIBUTE_DIRECTORY));
  ExpectReceived(L"up/again.jpg", "c");
  EXPECT_EQ(receiver_.ReadLog().size(), 6u) << "every file logged once";
  EXPECT_EQ(Task(0).progress, 100u) << "100.0%";
  EXPECT_EQ(control_->RunningCount(), 0);
}

// A user's media file that the media framework cannot read (or that crashes it) costs only
// its still and playing time: the page's process goes on and every file arrives.
TEST_F(Uploads, CutAndMeaninglessMediaFilesArriveWhileOnlyTheirJobsFail) {
  snapshot_tests::LocalHttpServer snapshots;
  control_->Script()->put_SnapshotUploadUrl(com::Bstr(snapshots.Url(L"/snap")).Get());
  const std::string cut = snapshot_tests::TruncatedAvi(), noise = Bytes(70000, 6),
                    good = snapshot_tests::AviBytes(32, 24, 10, 10, RGB(0, 0, 255), RGB(0, 0, 255));
  const struct {
    const wchar_t* name;
    const std::string& bytes;
    ULONG style;
    DWORD flags_after;
  } uploads[] = {
      {L"cut.avi", cut, STYLE_SNAPSHOT, STYLE_SNAPSHOT | STYLE_REPORT_DURATION},
      {L"noise.avi", noise, STYLE_SNAPSHOT, STYLE_SNAPSHOT | STYLE_REPORT_DURATION},
      {L"cut-too.avi", cut, 0, STYLE_REPORT_DURATION},
      {L"noise-too.avi", noise, 0, STYLE_REPORT_DURATION},
      {L"good.avi", good, STYLE_SNAPSHOT, 0},
  };
  for (const auto& upload : uploads)
    ASSERT_EQ(Add(files_.WriteFile(upload.name, upload.bytes), L"", upload.name, L"", upload.style), 0);

  constexpr DWORD kRunning = TASK_SNAPSHOT_RUNNING | TASK_DURATION_RUNNING;
  ASSERT_TRUE(Until([&] {
    for (size_t i = 0; i < std::size(uploads); ++i)
      if (Task(i).flags & kRunning) return false;
    return AllDone();
  }));
  for (size_t i = 0; i < std::size(uploads); ++i) {
    ExpectReceived(uploads[i].name, uploads[i].bytes);
    EXPECT_EQ(Task(i).flags, uploads[i].flags_after) << i;
  }
  const auto posts = snapshots.Requests();
  ASSERT_EQ(posts.size(), 1u) << "only the good video's still";
  EXPECT_EQ(posts[0].target, "/snap?$dur$=1");
  EXPECT_EQ(snapshot_tests::ChildProcesses(L"ovprobe.exe"), 0);
}

TEST_F(Uploads, LargeFileWithoutLimit) {
  const std::string big = Bytes(64u << 20, 5);
  ASSERT_EQ(Add(files_.WriteFile(L"big.bin", big), L"", L"big.bin", L""), 0);
  ASSERT_TRUE(Until([&] { return AllDone(); }, 120000));
  ExpectReceived(L"big.bin", big);
}

// The engine rides out a receiver that is back within its reconnect pauses: the task never
// shows an error, and goes on from what the receiver held.
TEST_F(Uploads, ReceiverKilledMidFileResumesWhereTheServerStood) {
  control_->Script()->put_UploadRate(kEightMegabit);
  const std::string data = Bytes(5u << 20, 6);
  ASSERT_EQ(Add(files_.WriteFile(L"movie.bin", data), L"", L"movie.bin", L""), 0);
  ASSERT_TRUE(Until([&] { return Task(0).files[0].done > (1 << 20); }));
  const LONGLONG before = Task(0).files[0].done;
  receiver_.Kill();
  // Watched on every message until the end: the state and the lowest done count shown.
  bool error_shown = false;
  LONGLONG lowest = before;
  const auto watch = [&] {
    error_shown = error_shown || (Task(0).state != TASK_UPLOADING && Task(0).state != TASK_DONE);
    lowest = std::min<LONGLONG>(lowest, Task(0).files[0].done);
    return AllDone();
  };
  Until(watch, 1000);
  ASSERT_TRUE(receiver_.Start()) << receiver_.Error();
  ASSERT_TRUE(Until(watch));
  EXPECT_GE(lowest, before) << "the done count shown never went back";
  EXPECT_FALSE(error_shown) << "the break never reached the task";
  ExpectReceived(L"movie.bin", data);
}

TEST_F(Uploads, PauseAndStartFromTheWindow) {
  control_->Script()->put_UploadRate(kEightMegabit);
  const std::string data = Bytes(3u << 20, 7);
  ASSERT_EQ(Add(files_.WriteFile(L"clip.bin", data), L"", L"clip.bin", L""), 0);
  ASSERT_TRUE(Until([&] { return Task(0).state == TASK_UPLOADING && Task(0).files[0].done > 0; }));
  SelectRow(0);
  Click(ID_TASK_PAUSE);
  ASSERT_TRUE(Until([&] { return Task(0).state == TASK_PAUSED; }, 5000));
  Until([] { return false; }, 300);  // what was in flight
  const LONGLONG paused_at = Task(0).files[0].done;
  Until([] { return false; }, 1500);
  EXPECT_EQ(Task(0).files[0].done, paused_at) << "nothing moves while paused";
  EXPECT_EQ(control_->Cell(0, 0), L"暂停");

  Click(ID_TASK_START);
  ASSERT_TRUE(Until([&] { return AllDone(); }));
  ExpectReceived(L"clip.bin", data);
}

TEST_F(Uploads, WrongPasswordEndsInLoginError) {
  HostedTestControl other;
  Open(other, L"wrong");
  ASSERT_EQ(other.Add(HostedTestControl::kAddItem, L"t", L"127.0.0.1", receiver_.Port(), files_.WriteFile(L"f", "x"),
                      L"", L"f", L"", 0),
            0);
  UploadTask& task = other.Task(0);
  ASSERT_TRUE(Until([&] { return task.retries >= 5; }, 15000));
  EXPECT_EQ(task.state, TASK_ERR_LOGIN);
  EXPECT_EQ(task.engine.Get(), nullptr);
  EXPECT_FALSE(testing_support::FileExists(receiver_.PathOf(L"f")));
  other.Script()->Close();
}

TEST_F(Uploads, NoServerEndsInConnectErrorAfterFiveTries) {
  receiver_.Stop();
  ASSERT_EQ(Add(files_.WriteFile(L"f", "x"), L"", L"f", L""), 0);
  ASSERT_TRUE(Until([&] { return Task(0).retries >= 5; }, 15000));
  EXPECT_EQ(Task(0).state, TASK_ERR_CONNECT);
  Until([] { return false; }, 2500);
  EXPECT_EQ(Task(0).retries, 5u) << "given up: no sixth try";
}

TEST_F(Uploads, NameLeavingTheRootIsRefusedAndNothingIsWrittenOutside) {
  ASSERT_EQ(Add(files_.WriteFile(L"evil.txt", "evil"), L"", L"../evil.txt", L""), 0);
  ASSERT_TRUE(Until([&] { return Task(0).retries >= 5; }, 15000));
  EXPECT_EQ(Task(0).state, TASK_ERR_PUT);
  EXPECT_FALSE(testing_support::FileExists(receiver_.Root() + L"\\..\\evil.txt"));
  EXPECT_TRUE(receiver_.ReadLog().empty());
}

TEST_F(Uploads, SeveralTasksAtOnceStayUnderMaxTaskCount) {
  control_->Choose(IDC_COUNT_COMBO, 1);  // "2"
  ASSERT_EQ(control_->Object().MaxTaskCount(), 2);
  control_->Script()->put_UploadRate(kEightMegabit);
  std::vector<std::string> contents;
  for (int i = 0; i < 5; ++i) {
    contents.push_back(Bytes(400000, 10 + i));
    const std::wstring name = L"many" + std::to_wstring(i) + L".bin";
    ASSERT_EQ(Add(files_.WriteFile(name, contents.back()), L"", name.c_str(), L""), 0);
  }
  int most = 0;
  ASSERT_TRUE(Until([&] {
    int uploading = 0;
    for (size_t i = 0; i < 5; ++i) uploading += Task(i).state == TASK_UPLOADING;
    most = std::max(most, uploading);
    EXPECT_LE(control_->RunningCount(), 2);
    return AllDone();
  }));
  EXPECT_EQ(most, 2) << "two at a time, never more";
  for (int i = 0; i < 5; ++i) ExpectReceived(L"many" + std::to_wstring(i) + L".bin", contents[i]);
}

TEST_F(Uploads, TaskSavedWhileUploadingIsRestoredAndResumesAtItsFileAndDoneCount) {
  const std::wstring database = L"{5F0C1A2B-3D4E-4F50-8172-93A4B5C6D7E8}";
  control_->Script()->Close();
  control_ = std::make_unique<HostedTestControl>(std::vector<host::PageParam>{{L"DatabaseGUID", database}});
  Open(*control_);
  control_->Script()->put_UploadRate(kEightMegabit);
  // The secondary file is the task's first entry, the primary its second.
  const std::string first = Bytes(4u << 20, 20), second = Bytes(200000, 21);
  ASSERT_EQ(Add(files_.WriteFile(L"one.bin", first), files_.WriteFile(L"two.bin", second), L"pair/one.bin",
                L"pair/two.bin"),
            0);
  ASSERT_TRUE(Until([&] { return Task(0).current_file == 1 && Task(0).files[1].done > (1 << 20); }, 20000));
  control_->Script()->Close();  // saves the queue; the engine goes
  const LONGLONG saved = Task(0).files[1].done;
  control_.reset();

  control_ = std::make_unique<HostedTestControl>(std::vector<host::PageParam>{{L"DatabaseGUID", database}});
  Open(*control_);
  ASSERT_EQ(control_->TaskCount(), 1u);
  EXPECT_EQ(control_->Cell(0, 0), L"恢复");
  EXPECT_EQ(Task(0).current_file, 1u);
  EXPECT_EQ(Task(0).files[0].state, TASK_DONE);
  EXPECT_GE(Task(0).files[1].done, saved);
  ASSERT_TRUE(Until([&] { return Task(0).state == TASK_UPLOADING && Task(0).files[1].done > 0; }, 10000));
  EXPECT_GE(Task(0).files[1].done, saved / 2) << "the file goes on, it does not start again";
  ASSERT_TRUE(Until([&] { return AllDone(); }));
  ExpectReceived(L"pair/one.bin", first);
  ExpectReceived(L"pair/two.bin", second);
  EXPECT_EQ(receiver_.ReadLog().size(), 2u) << "the finished entry was not sent twice";
}

// The page names the server; a relay on the path between control and receiver reads nothing
// of the upload: not the user's password, not a command, not a byte of the file.
TEST_F(Uploads, ARelayOnThePathReadsNothingOfTheUpload) {
  RelayProcess relay(receiver_.Port());
  ASSERT_TRUE(relay.Start()) << relay.Error();
  const std::string data = Bytes(300000, 30);
  ASSERT_EQ(control_->Add(HostedTestControl::kAddItem, L"t", L"localhost", relay.Port(), files_.WriteFile(L"p.bin", data),
                          L"", L"secret/p.bin", L"", 0),
            0);
  ASSERT_TRUE(Until([&] { return AllDone(); }));
  ExpectReceived(L"secret/p.bin", data);
  const std::string seen = relay.Recorded();
  ASSERT_GT(seen.size(), data.size());
  for (const char* text : {"LOGIN", "alice", "secret", "p.bin"})
    EXPECT_EQ(seen.find(text), std::string::npos) << text;
  for (size_t at = 0; at + 32 <= data.size(); at += 4096)
    ASSERT_EQ(seen.find(data.substr(at, 32)), std::string::npos) << "file bytes at " << at;
}

// The certificate is judged against the name the page gave: one that names localhost but
// carries no address is good for a page that passes "localhost".
TEST_F(Uploads, ThePagesServerNameIsWhatTheCertificateMustCarry) {
  RelayProcess relay(receiver_.Port(), L"address-as-dns", true);
  ASSERT_TRUE(relay.Start()) << relay.Error();
  ASSERT_EQ(control_->Add(HostedTestControl::kAddItem, L"t", L"localhost", relay.Port(), files_.WriteFile(L"n", "n"),
                          L"", L"n.txt", L"", 0),
            0);
  ASSERT_TRUE(Until([&] { return AllDone(); }, 20000));
  ExpectReceived(L"n.txt", "n");
}

// Relays in the middle presenting certificates of their own: each task fails as a server that
// cannot be reached does, nothing is placed, and no relay reads a password.
TEST_F(Uploads, RelaysWithTheirOwnCertificatesGetNoPasswordAndPlaceNothing) {
  control_->Choose(IDC_COUNT_COMBO, 2);  // "4": the four fail side by side
  struct Case {
    const wchar_t* certificate;
    const wchar_t* address;
  };
  const Case cases[] = {{L"rogue", L"localhost"},             // an authority nobody trusts
                        {L"other-name", L"localhost"},        // trusted, for another server
                        {L"expired", L"localhost"},           // trusted, expired
                        {L"address-as-dns", L"127.0.0.1"}};   // the page's address only as a DNS entry
  std::vector<std::unique_ptr<RelayProcess>> relays;
  for (const Case& c : cases) {
    relays.push_back(std::make_unique<RelayProcess>(receiver_.Port(), c.certificate, true));
    ASSERT_TRUE(relays.back()->Start()) << relays.back()->Error();
    const std::wstring name = std::wstring(c.certificate) + L".bin";
    ASSERT_EQ(control_->Add(HostedTestControl::kAddItem, c.certificate, c.address, relays.back()->Port(),
                            files_.WriteFile(name, "x"), L"", name.c_str(), L"", 0),
              0);
  }
  ASSERT_TRUE(Until([&] {
    for (size_t i = 0; i < relays.size(); ++i)
      if (Task(i).retries < 5) return false;
    return true;
  }, 30000));
  for (size_t i = 0; i < relays.size(); ++i) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(cases[i].certificate)));
    EXPECT_EQ(Task(i).state, TASK_ERR_CONNECT);
    EXPECT_EQ(relays[i]->Recorded(), "") << "the relay read nothing";
  }
  EXPECT_TRUE(receiver_.ReadLog().empty()) << "nothing placed";
}

// The playing time and the still reach the receiver's own endpoint over https, trusted
// through the same authority as the uploads.
TEST_F(Uploads, PlayingTimeAndStillArriveAtTheReceiversEndpointOverHttps) {
  const std::wstring address = L"https://localhost:" + std::to_wstring(receiver_.HttpPort()) + L"/snap?site=e2e";
  control_->Script()->put_SnapshotUploadUrl(com::Bstr(address).Get());
  const std::string video = snapshot_tests::AviBytes(64, 48, 10, 5, RGB(200, 30, 30), RGB(30, 30, 200));
  const std::string sound = snapshot_tests::WavBytes(8000, 24000);
  ASSERT_EQ(Add(files_.WriteFile(L"clip.avi", video), L"", L"clip.avi?id=1", L"", STYLE_SNAPSHOT), 0);
  ASSERT_EQ(Add(files_.WriteFile(L"tone.wav", sound), L"", L"tone.wav?id=2", L""), 0);
  const std::wstring log = receiver_.Root() + L"\\.ovreceiver\\received.log";
  ASSERT_TRUE(Until([&] {
    const std::string text = testing_support::ReadFileBytes(log);
    return AllDone() && text.find("STILL\t/snap?id=1&$dur$=2\t2\t") != std::string::npos &&
           text.find("DURATION\t/snap?id=2&$dur$=3\t3\n") != std::string::npos;
  }, 30000)) << testing_support::ReadFileBytes(log);
}

}  // namespace
