// The media helper: its answer format, the real ovprobe.exe on good, cut and meaningless
// media files, and stand-ins that hang, crash or answer wrongly.
#include <gtest/gtest.h>

#include <thread>

#include "helper_processes.h"
#include "media_files.h"
#include "ovtransfer/probe/probe_protocol.h"
#include "ovtransfer/com/unique.h"
#include "ovtransfer/snapshot/probe_helper.h"
#include "support/com_apartment.h"
#include "support/scratch_folder.h"

namespace {

using snapshot::CaptureStillInHelper;
using snapshot::ProbeDurationInHelper;
using snapshot_tests::ChildProcesses;
using testing_support::FileExists;

TEST(ProbeAnswer, OnlyTheTwoFormsAreRead) {
  EXPECT_EQ(probe::FormatAnswer(S_OK, 42), "ok 42\n");
  EXPECT_EQ(probe::FormatAnswer(S_OK, -2147483647 - 1), "ok -2147483648\n");
  EXPECT_EQ(probe::FormatAnswer(E_ACCESSDENIED, 9), "fail 80070005\n");
  EXPECT_EQ(probe::FormatAnswer(S_FALSE, 9), "fail 80004005\n") << "what is not S_OK fails";

  HRESULT status = 1;
  LONG seconds = 5;
  EXPECT_TRUE(probe::ParseAnswer("ok 2147483647\n", &status, &seconds));
  EXPECT_EQ(status, S_OK);
  EXPECT_EQ(seconds, 2147483647);
  EXPECT_TRUE(probe::ParseAnswer("ok 0\n", &status, &seconds));
  EXPECT_EQ(seconds, 0);
  EXPECT_TRUE(probe::ParseAnswer("fail 80070005\n", &status, &seconds));
  EXPECT_EQ(status, E_ACCESSDENIED);
  EXPECT_EQ(seconds, 0) << "a failure brings no seconds";

  const char* wrong[] = {"",           "ok 5",          "ok 5\n\n",       "ok  5\n",       "ok 05\n",
                         "ok -0\n",    "ok +5\n",       "ok 2147483648\n", "ok 5 \n",       "ok 5\r\n",
                         "OK 5\n",     "ok\n",          "fail 00000000\n", "fail 7fffffff\n", "fail 8004022\n",
                         "fail 8004022F\n", "fail 8004022f0\n", "ok 5\n" "ok 6\n", "ok 99999999999\n"};
  for (const char* answer : wrong) EXPECT_FALSE(probe::ParseAnswer(answer, &status, &seconds)) << answer;
  EXPECT_FALSE(probe::ParseAnswer(std::string("ok 5\0\n", 6), &status, &seconds));
  EXPECT_FALSE(probe::ParseAnswer("ok 1" + std::string(40, '0') + "\n", &status, &seconds));
}

class Helper : public ::testing::Test {
 protected:
  void TearDown() override { snapshot::SetProbeHelperSettings({}); }
  void UseFakeHelper(DWORD time_limit_ms) {
    snapshot::ProbeHelperSettings settings;
    settings.program = snapshot_tests::FakeHelperPath();
    settings.time_limit_ms = time_limit_ms;
    snapshot::SetProbeHelperSettings(settings);
  }
  std::wstring Still() { return files_ / L"OVT1.JPG"; }

  testing_support::ComApartment apartment_;
  testing_support::ScratchFolder files_;
};

TEST_F(Helper, MeasuresAndCapturesGoodFilesOutOfProcess) {
  LONG seconds = -1;
  // A name with spaces, and a ".csf" file that the registered component measures in the helper.
  ASSERT_EQ(ProbeDurationInHelper(files_.WriteFile(L"a clip.wav", snapshot_tests::WavBytes(8000, 28000)), &seconds),
            S_OK);
  EXPECT_EQ(seconds, 3);
  ASSERT_EQ(ProbeDurationInHelper(files_.WriteFile(L"talk.CSF", snapshot_tests::WavBytes(8000, 12008)), &seconds),
            S_OK);
  EXPECT_EQ(seconds, 2);

  const std::wstring video =
      files_.WriteFile(L"my video.avi", snapshot_tests::AviBytes(64, 48, 25, 10, RGB(220, 30, 30), RGB(30, 30, 220)));
  seconds = -1;
  ASSERT_EQ(CaptureStillInHelper(video, Still(), &seconds), S_OK);
  EXPECT_EQ(seconds, 2);
  snapshot_tests::Image image;
  ASSERT_TRUE(snapshot_tests::DecodeImage(testing_support::ReadFileBytes(Still()), &image));
  EXPECT_EQ(image.width, 64u);
  EXPECT_TRUE(snapshot_tests::Near(image.At(32, 5), RGB(220, 30, 30)));
  EXPECT_EQ(ChildProcesses(probe::kHelperName), 0);
}

TEST_F(Helper, CutAndMeaninglessFilesFailAndTheHelperIsGone) {
  const std::wstring files[] = {files_.WriteFile(L"cut.avi", snapshot_tests::TruncatedAvi()),
                                files_.WriteFile(L"noise.avi", std::string(4000, '\x5a')),
                                files_ / L"missing.avi"};
  for (const std::wstring& file : files) {
    LONG seconds = -1;
    EXPECT_LT(ProbeDurationInHelper(file, &seconds), 0) << file;
    EXPECT_LT(CaptureStillInHelper(file, Still(), &seconds), 0) << file;
    EXPECT_EQ(seconds, -1);
    EXPECT_FALSE(FileExists(Still()));
  }
  EXPECT_EQ(ChildProcesses(probe::kHelperName), 0);
}

TEST_F(Helper, AHelperThatHangsIsEndedAtTheLimit) {
  UseFakeHelper(3000);
  LONG seconds = -1;
  HRESULT hung = S_OK;
  std::thread job([&] { hung = ProbeDurationInHelper(files_ / L"hang.avi", &seconds); });
  bool seen = false;  // the helper is there while the job waits for it
  for (int i = 0; i < 250 && !seen; ++i, Sleep(10)) seen = ChildProcesses(L"fake_probe.exe") == 1;
  job.join();
  EXPECT_TRUE(seen);
  EXPECT_EQ(hung, snapshot::kHelperTimedOut);
  EXPECT_EQ(ChildProcesses(L"fake_probe.exe"), 0);
  EXPECT_EQ(CaptureStillInHelper(files_ / L"flood.avi", Still(), &seconds), snapshot::kHelperTimedOut)
      << "an answer the pipe cannot hold never ends";
  EXPECT_EQ(seconds, -1);
  EXPECT_EQ(ChildProcesses(L"fake_probe.exe"), 0);
}

TEST_F(Helper, WrongAnswersAndCrashesAreFailures) {
  UseFakeHelper(20000);
  LONG seconds = -1;
  for (const wchar_t* name : {L"garbage.avi", L"long.avi", L"exit.avi", L"crash.avi"}) {
    EXPECT_EQ(ProbeDurationInHelper(files_ / name, &seconds), snapshot::kHelperAnswerWrong) << name;
    files_.WriteFile(L"OVT1.JPG", "partial");
    EXPECT_EQ(CaptureStillInHelper(files_ / name, Still(), &seconds), snapshot::kHelperAnswerWrong) << name;
    EXPECT_FALSE(FileExists(Still())) << "no part of a still stays";
  }
  EXPECT_EQ(seconds, -1);
  ASSERT_EQ(ProbeDurationInHelper(files_ / L"fine.avi", &seconds), S_OK);
  EXPECT_EQ(seconds, 7) << "the stand-in itself answers";
  EXPECT_EQ(ChildProcesses(L"fake_probe.exe"), 0);

  snapshot::ProbeHelperSettings missing;
  missing.program = files_ / L"ovprobe.exe";
  snapshot::SetProbeHelperSettings(missing);
  EXPECT_EQ(ProbeDurationInHelper(files_ / L"fine.avi", &seconds), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(Helper, TheHelperInheritsNoOtherHandle) {
  UseFakeHelper(20000);
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  com::UniqueHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  wchar_t name[40];
  swprintf(name, 40, L"handle-%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(event.Get())));
  LONG open = -1;
  ASSERT_EQ(ProbeDurationInHelper(files_ / name, &open), S_OK);
  EXPECT_EQ(open, 0) << "an inheritable handle of the page's process reached the helper";
}

}  // namespace
