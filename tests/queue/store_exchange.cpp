// One side of the exchange between the 32-bit and the 64-bit control: both keep the same user's
// queue in the same file and the same limits in the same registry values.
//   store_exchange write DATABASE USER   saves a known queue where the control keeps it and
//                                        picks both limits as the user would
//   store_exchange check DATABASE USER   loads it, compares every field, saves it again to the
//                                        same bytes, reads the limits, then removes the limits
// Exit status 0 when all agree; every difference is printed.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ovtransfer/com/unique.h"
#include "ovtransfer/control/settings.h"
#include "ovtransfer/queue/task_store.h"

namespace {

constexpr DWORD kTaskCount = 6;
constexpr DWORD kUploadRate = 800;

// Every field set to a value that tells a misplaced or truncated one apart: sizes past 4 GiB,
// texts filling their fields to the last unit, high bits in flags.
std::vector<UploadTask> KnownQueue() {
  std::vector<UploadTask> tasks;
  for (DWORD n = 0; n < 3; ++n) {
    UploadTask t;
    t.flags = STYLE_FOLDER | STYLE_SNAPSHOT | STYLE_DELETE_PRIMARY | (n ? TASK_DURATION_RUNNING : 0);
    t.state = n == 0 ? TASK_QUEUED : n == 1 ? TASK_PAUSED : TASK_ERR_CONNECT;
    t.title = n == 2 ? std::wstring(kTitleCapacity - 1, L'题') : L"视频 " + std::to_wstring(n);
    t.progress = (7u << 16) | (40u + n);
    t.address_text = n == 1 ? std::wstring(kAddressCapacity - 1, L'h') : L"upload.example";
    t.ipv4 = 0xC0A80001 + n;
    t.port = 8852 + n;
    t.first_remote_name = L"demo/video" + std::to_wstring(n) + L".avi?id=" + std::to_wstring(7 + n);
    t.id = 0x80000000u + n;
    t.total_size = (5LL << 32) + 12345 * n;
    t.current_file = n;
    t.retries = 3 * n;
    for (DWORD e = 0; e <= n + 1; ++e) {
      UploadFile f;
      f.local_path = L"C:\\ovdemo\\album\\文件" + std::to_wstring(e) + L".bin";
      f.remote_name = n == 0 && e == 1 ? std::wstring(kRemoteNameCapacity - 1, L'r') : L"demo/album/f" + std::to_wstring(e);
      f.relative_name = e ? L"inner\\f" + std::to_wstring(e) : L"";
      f.size = (3LL << 33) + e;
      f.done = (1LL << 32) + 1000 * e;
      f.state = e == 0 ? TASK_DONE : TASK_QUEUED;
      f.flags = e == 0 ? FILE_PRIMARY | FILE_DELETE_AFTER_UPLOAD : FILE_OPTION;
      f.id = 0xFFFF0000u + e;
      t.files.push_back(f);
    }
    tasks.push_back(std::move(t));
  }
  return tasks;
}

int failures = 0;

void Expect(bool equal, const char* what, DWORD task) {
  if (!equal) {
    std::printf("differs: %s of task %lu\n", what, static_cast<unsigned long>(task));
    ++failures;
  }
}
#define EXPECT_FIELD(a, b, field, n) Expect((a).field == (b).field, #field, n)

void CompareQueues(const std::vector<UploadTask>& got, const std::vector<UploadTask>& want) {
  if (got.size() != want.size()) {
    std::printf("differs: %zu tasks loaded, %zu saved\n", got.size(), want.size());
    ++failures;
    return;
  }
  for (DWORD n = 0; n < got.size(); ++n) {
    const UploadTask &a = got[n], &b = want[n];
    EXPECT_FIELD(a, b, flags, n);
    EXPECT_FIELD(a, b, state, n);
    EXPECT_FIELD(a, b, title, n);
    EXPECT_FIELD(a, b, progress, n);
    EXPECT_FIELD(a, b, address_text, n);
    EXPECT_FIELD(a, b, ipv4, n);
    EXPECT_FIELD(a, b, port, n);
    EXPECT_FIELD(a, b, first_remote_name, n);
    EXPECT_FIELD(a, b, total_size, n);
    EXPECT_FIELD(a, b, current_file, n);
    EXPECT_FIELD(a, b, retries, n);
    Expect(a.files.size() == b.files.size(), "file count", n);
    for (size_t e = 0; e < a.files.size() && e < b.files.size(); ++e) {
      const UploadFile &f = a.files[e], &g = b.files[e];
      EXPECT_FIELD(f, g, local_path, n);
      EXPECT_FIELD(f, g, remote_name, n);
      EXPECT_FIELD(f, g, relative_name, n);
      EXPECT_FIELD(f, g, size, n);
      EXPECT_FIELD(f, g, done, n);
      EXPECT_FIELD(f, g, state, n);
      EXPECT_FIELD(f, g, flags, n);
      EXPECT_FIELD(f, g, id, n);
    }
  }
}

int Usage() {
  std::fprintf(stderr, "usage: store_exchange write|check DATABASE USER\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return Usage();
  const std::wstring mode = argv[1];
  std::wstring path;
  if (TaskStorePath(argv[2], argv[3], &path) != S_OK) return Usage();
  std::printf("%zu-bit, %ls\n", sizeof(void*) * 8, path.c_str());

  if (mode == L"write") {
    const HRESULT hr = ReplaceFileAtomically(path, EncodeTaskStore(KnownQueue()));
    if (hr != S_OK) {
      std::printf("saving failed: 0x%08lx\n", static_cast<unsigned long>(hr));
      return 1;
    }
    if (!settings::WriteDword(settings::kMaxTaskCount, kTaskCount) ||
        !settings::WriteDword(settings::kMaxUploadRate, kUploadRate)) {
      std::printf("writing the limits failed\n");
      return 1;
    }
    return 0;
  }
  if (mode != L"check") return Usage();

  std::vector<BYTE> bytes;
  if (ReadWholeFile(path, &bytes) != S_OK) {
    std::printf("the saved queue cannot be read\n");
    return 1;
  }
  std::vector<UploadTask> loaded;
  if (DecodeTaskStore(bytes, &loaded) != StoreDamage::kNone) {
    std::printf("the saved queue reads as damaged\n");
    return 1;
  }
  // The control gives loaded tasks ids of its own: compare the rest.
  std::vector<UploadTask> known = KnownQueue();
  for (size_t n = 0; n < loaded.size() && n < known.size(); ++n) loaded[n].id = known[n].id;
  CompareQueues(loaded, known);
  if (EncodeTaskStore(loaded) != bytes) {
    std::printf("differs: saving the loaded queue gives other bytes\n");
    ++failures;
  }
  DWORD count = 0, rate = 0;
  if (!settings::ReadDword(settings::kMaxTaskCount, &count) || count != kTaskCount ||
      !settings::ReadDword(settings::kMaxUploadRate, &rate) || rate != kUploadRate) {
    std::printf("differs: limits read as %lu tasks, rate %lu\n", static_cast<unsigned long>(count),
                static_cast<unsigned long>(rate));
    ++failures;
  }
  com::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, settings::kSettingsKey, 0, KEY_SET_VALUE, key.Receive()) == ERROR_SUCCESS) {
    RegDeleteValueW(key.Get(), settings::kMaxTaskCount);
    RegDeleteValueW(key.Get(), settings::kMaxUploadRate);
  }
  DeleteFileW(path.c_str());
  return failures ? 1 : 0;
}
