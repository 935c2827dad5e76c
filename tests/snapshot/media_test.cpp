// What the media helper runs, here in the test's own process: the playing-time probe (through
// a scripted media-file information object and through the media framework on real files),
// the media-file information component, and the still.
#include <gtest/gtest.h>

#include "components/ovres/component_classes.h"
#include "media_files.h"
#include "ovtransfer/com/factory.h"
#include "ovtransfer/com/object.h"
#include "ovtransfer/com/ptr.h"
#include "ovtransfer/outside/media_file_info.h"
#include "ovtransfer/probe/media_probe.h"
#include "ovtransfer/probe/snapshot_capture.h"
#include "support/com_apartment.h"
#include "support/scratch_folder.h"

namespace {

using probe::CaptureSnapshot;
using probe::ProbeMediaDuration;
using snapshot_tests::AviBytes;
using snapshot_tests::Image;
using snapshot_tests::WavBytes;
using testing_support::FileExists;
using testing_support::ReadFileBytes;

// What the scripted media-file information object reports, and what it was asked.
struct InfoScript {
  LONG playing_time_ms = 0;
  HRESULT open_result = S_OK;
  HRESULT info_result = S_OK;
  std::wstring opened_path;
  DWORD opened_flags = 99;
  int opens = 0;
};
InfoScript g_info;

class CScriptedInfo final : public com::CComBase, public IMediaFileInfo {
 public:
  explicit CScriptedInfo(IUnknown* outer) : CComBase(outer) {}
  COM_DELEGATE_IUNKNOWN
  STDMETHODIMP OpenMediaFile(const wchar_t* path, DWORD flags) override {
    ++g_info.opens;
    g_info.opened_path = path;
    g_info.opened_flags = flags;
    return g_info.open_result;
  }
  STDMETHODIMP Reserved2() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved3() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved4() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved5() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved6() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved8() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaFileInfo(MediaFileInfo* info) override {
    memset(info, 0xCD, sizeof(*info));  // the rest of the record is the component's
    info->playing_time_ms = g_info.playing_time_ms;
    return g_info.info_result;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    static const com::QiEntry<CScriptedInfo> table[] = {COM_QI(CScriptedInfo, IMediaFileInfo)};
    return com::FindInTable(this, table, iid);
  }
};

class Probe : public ::testing::Test {
 protected:
  // The scripted object answers for the component's class in this apartment.
  void UseScriptedInfo() {
    static com::CClassFactory factory(&com::CreateInstance<CScriptedInfo>);
    g_info = InfoScript();
    ASSERT_EQ(CoRegisterClassObject(CLSID_OvMediaFileInfo, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie_),
              S_OK);
  }
  void TearDown() override {
    if (cookie_) CoRevokeClassObject(cookie_);
  }
  std::wstring Wav(const std::wstring& name, DWORD samples_at_8k) {
    return files_.WriteFile(name, WavBytes(8000, samples_at_8k));
  }

  testing_support::ComApartment apartment_;
  testing_support::ScratchFolder files_;
  DWORD cookie_ = 0;
};

TEST_F(Probe, CsfTimesRoundToTheNearestSecondAnExactHalfDown) {
  UseScriptedInfo();
  const std::pair<LONG, LONG> cases[] = {{1500, 1}, {1501, 2}, {500, 0}, {501, 1}, {0, 0}, {7499, 7}};
  for (const auto& [ms, expected] : cases) {
    g_info.playing_time_ms = ms;
    LONG seconds = -1;
    ASSERT_EQ(ProbeMediaDuration(L"C:\\media\\clip.csf", &seconds), S_OK);
    EXPECT_EQ(seconds, expected) << ms << " ms";
  }
  EXPECT_EQ(g_info.opened_path, L"C:\\media\\clip.csf");
  EXPECT_EQ(g_info.opened_flags, 0u);
  EXPECT_EQ(ProbeMediaDuration(L"C:\\media\\clip.csf", nullptr), S_OK) << "the seconds may be left out";
}

TEST_F(Probe, OnlyALongerPathEndingInCsfInAnyCaseTakesTheComponent) {
  UseScriptedInfo();
  g_info.playing_time_ms = 2000;
  LONG seconds = 0;
  EXPECT_EQ(ProbeMediaDuration(L"D:\\V\\CLIP.CSF", &seconds), S_OK);
  EXPECT_EQ(seconds, 2);
  EXPECT_EQ(g_info.opens, 1);
  EXPECT_NE(ProbeMediaDuration(L".csf", &seconds), S_OK) << "no such file for the media framework";
  EXPECT_NE(ProbeMediaDuration(files_ / L"clip.csf.txt", &seconds), S_OK);
  EXPECT_EQ(g_info.opens, 1);
}

TEST_F(Probe, TheComponentsFailuresAreTheProbes) {
  UseScriptedInfo();
  g_info.open_result = E_ACCESSDENIED;
  LONG seconds = 5;
  EXPECT_EQ(ProbeMediaDuration(L"a.csf", &seconds), E_ACCESSDENIED);
  g_info.open_result = S_OK;
  g_info.info_result = E_UNEXPECTED;
  EXPECT_EQ(ProbeMediaDuration(L"a.csf", &seconds), E_UNEXPECTED);
  EXPECT_EQ(seconds, 5) << "nothing stored on failure";
}

TEST_F(Probe, TheMediaFrameworkMeasuresRealFilesWithTheSameRounding) {
  // 8000 samples a second: 12000 samples are exactly 1.5 s, one more is 1.500125 s.
  const std::pair<DWORD, LONG> cases[] = {{12000, 1}, {12001, 2}, {4000, 0}, {4001, 1}, {28000, 3}};
  for (const auto& [samples, expected] : cases) {
    LONG seconds = -1;
    ASSERT_EQ(ProbeMediaDuration(Wav(L"t" + std::to_wstring(samples) + L".wav", samples), &seconds), S_OK);
    EXPECT_EQ(seconds, expected) << samples << " samples";
  }
  LONG seconds = -1;
  ASSERT_EQ(ProbeMediaDuration(files_.WriteFile(L"v.avi", AviBytes(32, 16, 25, 10, RGB(0, 0, 0), RGB(0, 0, 0))),
                               &seconds),
            S_OK);
  EXPECT_EQ(seconds, 2) << "2.5 s of video";
  EXPECT_LT(ProbeMediaDuration(files_.WriteFile(L"noise.bin", std::string(5000, 'x')), &seconds), 0);
  EXPECT_LT(ProbeMediaDuration(files_ / L"missing.wav", &seconds), 0);
}

TEST_F(Probe, TheRegisteredComponentReadsCsfFilesByTheirContent) {
  LONG seconds = -1;
  ASSERT_EQ(ProbeMediaDuration(Wav(L"talk.csf", 20000), &seconds), S_OK);
  EXPECT_EQ(seconds, 2) << "2.5 s";

  com::ComPtr<IMediaFileInfo> info;
  ASSERT_EQ(CoCreateInstance(CLSID_OvMediaFileInfo, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaFileInfo,
                             info.ReceiveVoid()),
            S_OK);
  MediaFileInfo record;
  EXPECT_EQ(info->GetMediaFileInfo(&record), E_UNEXPECTED) << "nothing opened yet";
  ASSERT_EQ(info->OpenMediaFile(Wav(L"b.csf", 12008).c_str(), 0), S_OK);
  ASSERT_EQ(info->GetMediaFileInfo(&record), S_OK);
  EXPECT_EQ(record.playing_time_ms, 1501);
  EXPECT_LT(info->OpenMediaFile((files_ / L"missing.csf").c_str(), 0), 0);
  EXPECT_EQ(info->Reserved2(), E_NOTIMPL);
}

class Still : public Probe {
 protected:
  std::wstring Output() { return files_ / L"OVT1.JPG"; }
  Image Decoded() {
    Image image;
    EXPECT_TRUE(snapshot_tests::DecodeImage(ReadFileBytes(Output()), &image));
    return image;
  }
};

TEST_F(Still, TheFirstFrameBecomesAJpegTheRightWayUp) {
  const std::wstring video = files_.WriteFile(L"v.avi", AviBytes(64, 48, 10, 10, RGB(220, 30, 30), RGB(30, 30, 220)));
  LONG seconds = 0;
  ASSERT_EQ(CaptureSnapshot(video, 0, Output(), &seconds), S_OK);
  EXPECT_EQ(seconds, 1);
  const std::string jpeg = ReadFileBytes(Output());
  ASSERT_GT(jpeg.size(), 2u);
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
  const Image image = Decoded();
  EXPECT_EQ(image.width, 64u);
  EXPECT_EQ(image.height, 48u);
  EXPECT_TRUE(snapshot_tests::Near(image.At(32, 5), RGB(220, 30, 30))) << std::hex << image.At(32, 5);
  EXPECT_TRUE(snapshot_tests::Near(image.At(32, 42), RGB(30, 30, 220))) << std::hex << image.At(32, 42);
}

TEST_F(Still, LargeFramesAreScaledDownInProportion) {
  const std::wstring video = files_.WriteFile(L"w.avi", AviBytes(1600, 40, 2, 10, RGB(0, 200, 0), RGB(0, 200, 0)));
  ASSERT_EQ(CaptureSnapshot(video, 0, Output(), nullptr), S_OK);
  const Image image = Decoded();
  EXPECT_EQ(image.width, 1280u);
  EXPECT_EQ(image.height, 32u);
}

TEST_F(Still, FilesWithoutVideoGiveNoStill) {
  LONG seconds = 0;
  EXPECT_NE(CaptureSnapshot(Wav(L"a.wav", 8000), 0, Output(), &seconds), S_OK);
  EXPECT_NE(CaptureSnapshot(files_ / L"missing.avi", 0, Output(), &seconds), S_OK);
  EXPECT_NE(CaptureSnapshot(files_.WriteFile(L"n.avi", std::string(3000, 'n')), 0, Output(), &seconds), S_OK);
  EXPECT_FALSE(FileExists(Output()));
}

}  // namespace
