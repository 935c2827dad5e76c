// The task store's bytes, its reading of damaged files, and its safe replacement.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ovtransfer/com/folder_walk.h"
#include "ovtransfer/com/unique.h"
#include "ovtransfer/queue/task_store.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::ScratchFolder;

UploadTask SampleTask(DWORD state, int entries) {
  UploadTask t;
  t.flags = 0x30 | TASK_DURATION_RUNNING;
  t.state = state;
  t.title = L"标题 title";
  t.progress = (6u << 16) | 45u;
  t.address_text = L"upload.example";
  t.ipv4 = 0x0A000001;
  t.port = 8852;
  t.first_remote_name = L"r/a.mp4?k=1";
  t.id = 77;
  t.total_size = 5LL << 32;
  t.current_file = 1;
  t.retries = 2;
  for (int i = 0; i < entries; ++i) {
    UploadFile f;
    f.local_path = L"C:\\d\\f" + std::to_wstring(i);
    f.remote_name = L"r/f" + std::to_wstring(i);
    f.relative_name = i ? L"s\\f" + std::to_wstring(i) : L"";
    f.size = 1000 + i;
    f.done = 10 * i;
    f.state = i == 0 ? TASK_DONE : TASK_QUEUED;
    f.flags = i == entries - 1 ? FILE_PRIMARY : 0;
    f.id = 100 + i;
    t.files.push_back(f);
  }
  return t;
}

void Put32(std::vector<BYTE>& b, size_t at, DWORD v) { std::memcpy(&b[at], &v, 4); }
void Put64(std::vector<BYTE>& b, size_t at, LONGLONG v) { std::memcpy(&b[at], &v, 8); }
void PutText(std::vector<BYTE>& b, size_t at, const std::wstring& s) { std::memcpy(&b[at], s.data(), s.size() * 2); }

TEST(TaskStore, DoneTasksAreNotWritten) {
  const std::vector<BYTE> bytes = EncodeTaskStore({SampleTask(TASK_DONE, 2), SampleTask(TASK_QUEUED, 3)});
  ASSERT_EQ(bytes.size(), 14040u);
  DWORD magic, count;
  std::memcpy(&magic, &bytes[0], 4);
  std::memcpy(&count, &bytes[8], 4);
  EXPECT_EQ(magic, 0x75696668u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "hfiu");
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(EncodeTaskStore({SampleTask(TASK_DONE, 1)}).size(), 16u);
}

// One task with one entry, each field put where the layout says.
std::vector<BYTE> LayoutBytes() {
  std::vector<BYTE> b(16 + 4664 + 3120, 0);
  Put32(b, 0, 0x75696668);
  Put32(b, 4, 1);
  Put32(b, 8, 1);
  const size_t t = 16, e = 16 + 4664;
  Put32(b, t + 0, 0x35);
  Put32(b, t + 4, 3);
  PutText(b, t + 8, L"My title");
  Put32(b, t + 2056, 0x00040021);
  PutText(b, t + 2060, L"host.example");
  Put32(b, t + 2580, 0xC0A80001);
  Put32(b, t + 2584, 9000);
  PutText(b, t + 2588, L"up/x.avi");
  Put32(b, t + 4636, 999);
  Put64(b, t + 4640, 123456789012LL);
  Put32(b, t + 4648, 0);
  Put32(b, t + 4652, 4);
  Put32(b, t + 4656, 1);
  PutText(b, e + 0, L"C:\\v\\x.avi");
  PutText(b, e + 520, L"up/x.avi");
  PutText(b, e + 2568, L"");
  Put64(b, e + 3088, 4096);
  Put64(b, e + 3096, 1024);
  Put32(b, e + 3104, 3);
  Put32(b, e + 3108, FILE_PRIMARY);
  Put32(b, e + 3112, 41);
  return b;
}

TEST(TaskStore, AFileBuiltFromTheLayoutReadsBackExactly) {
  std::vector<UploadTask> tasks;
  ASSERT_EQ(DecodeTaskStore(LayoutBytes(), &tasks), StoreDamage::kNone);
  ASSERT_EQ(tasks.size(), 1u);
  const UploadTask& task = tasks[0];
  EXPECT_EQ(task.flags, 0x35u);
  EXPECT_EQ(task.state, 3u);
  EXPECT_EQ(task.title, L"My title");
  EXPECT_EQ(task.progress, 0x00040021u);
  EXPECT_EQ(task.address_text, L"host.example");
  EXPECT_EQ(task.ipv4, 0xC0A80001u);
  EXPECT_EQ(task.port, 9000u);
  EXPECT_EQ(task.first_remote_name, L"up/x.avi");
  EXPECT_EQ(task.total_size, 123456789012LL);
  EXPECT_EQ(task.retries, 4u);
  ASSERT_EQ(task.files.size(), 1u);
  const UploadFile& f = task.files[0];
  EXPECT_EQ(f.local_path, L"C:\\v\\x.avi");
  EXPECT_EQ(f.remote_name, L"up/x.avi");
  EXPECT_TRUE(f.relative_name.empty());
  EXPECT_EQ(f.size, 4096);
  EXPECT_EQ(f.done, 1024);
  EXPECT_EQ(f.state, 3u);
  EXPECT_EQ(f.flags, FILE_PRIMARY);
  EXPECT_EQ(f.id, 41u);
}

TEST(TaskStore, WritingPutsEveryFieldWhereTheLayoutSays) {
  std::vector<UploadTask> tasks;
  ASSERT_EQ(DecodeTaskStore(LayoutBytes(), &tasks), StoreDamage::kNone);
  tasks[0].id = 999;  // the reader leaves ids to its caller
  EXPECT_EQ(EncodeTaskStore(tasks), LayoutBytes());

  // Text longer than its field is cut so that the terminator still fits.
  UploadTask t = SampleTask(TASK_QUEUED, 1);
  t.title.assign(5000, L'x');
  t.files[0].local_path.assign(300, L'p');
  const std::vector<BYTE> bytes = EncodeTaskStore({t});
  ASSERT_EQ(bytes.size(), 16u + 4664 + 3120);
  std::vector<UploadTask> back;
  ASSERT_EQ(DecodeTaskStore(bytes, &back), StoreDamage::kNone);
  EXPECT_EQ(back[0].title, std::wstring(1023, L'x'));
  EXPECT_EQ(back[0].files[0].local_path, std::wstring(259, L'p'));
  EXPECT_EQ(back[0].files[0].remote_name, t.files[0].remote_name);
}

TEST(TaskStore, RoundTripKeepsEveryField) {
  const UploadTask original = SampleTask(TASK_UPLOADING, 3);
  std::vector<UploadTask> back;
  ASSERT_EQ(DecodeTaskStore(EncodeTaskStore({original}), &back), StoreDamage::kNone);
  ASSERT_EQ(back.size(), 1u);
  const UploadTask& t = back[0];
  EXPECT_EQ(t.flags, original.flags) << "job bits stay set";
  EXPECT_EQ(t.state, original.state);
  EXPECT_EQ(t.title, original.title);
  EXPECT_EQ(t.progress, original.progress);
  EXPECT_EQ(t.address_text, original.address_text);
  EXPECT_EQ(t.ipv4, original.ipv4);
  EXPECT_EQ(t.port, original.port);
  EXPECT_EQ(t.first_remote_name, original.first_remote_name);
  EXPECT_EQ(t.total_size, original.total_size);
  EXPECT_EQ(t.current_file, original.current_file);
  EXPECT_EQ(t.retries, original.retries);
  ASSERT_EQ(t.files.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(t.files[i].local_path, original.files[i].local_path);
    EXPECT_EQ(t.files[i].remote_name, original.files[i].remote_name);
    EXPECT_EQ(t.files[i].relative_name, original.files[i].relative_name);
    EXPECT_EQ(t.files[i].size, original.files[i].size);
    EXPECT_EQ(t.files[i].done, original.files[i].done);
    EXPECT_EQ(t.files[i].state, original.files[i].state);
    EXPECT_EQ(t.files[i].flags, original.files[i].flags);
    EXPECT_EQ(t.files[i].id, original.files[i].id);
  }
}

TEST(TaskStore, DamagedFilesEndInAnAllowedOutcomeWithoutReadingPastTheEnd) {
  const std::vector<BYTE> valid = EncodeTaskStore({SampleTask(TASK_QUEUED, 2), SampleTask(TASK_PAUSED, 1)});
  for (size_t length = 0; length < valid.size(); ++length) {
    std::vector<BYTE> cut(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(length));
    std::vector<UploadTask> tasks;
    const StoreDamage damage = DecodeTaskStore(cut, &tasks);
    ASSERT_EQ(damage, length < 16 ? StoreDamage::kHeader : StoreDamage::kBlocks) << length;
  }
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    std::vector<BYTE> damaged = valid;
    for (int flips = 1 + round % 8; flips > 0; --flips)
      damaged[random() % damaged.size()] ^= static_cast<BYTE>(1 + random() % 255);
    std::vector<UploadTask> tasks;
    const StoreDamage damage = DecodeTaskStore(damaged, &tasks);
    if (damage == StoreDamage::kNone) {
      for (const UploadTask& t : tasks) {
        EXPECT_LT(t.title.size(), kTitleCapacity);
        for (const UploadFile& f : t.files) EXPECT_LT(f.local_path.size(), kPathCapacity);
      }
    }
  }
  // Counts far beyond the file, and strings without their terminator.
  std::vector<BYTE> huge = valid;
  Put32(huge, 8, 0xFFFFFFFF);
  std::vector<UploadTask> tasks;
  EXPECT_EQ(DecodeTaskStore(huge, &tasks), StoreDamage::kBlocks);
  huge = valid;
  Put32(huge, 16 + 4656, 0x7FFFFFFF);
  EXPECT_EQ(DecodeTaskStore(huge, &tasks), StoreDamage::kBlocks);
  std::vector<BYTE> unterminated = valid;
  for (size_t i = 0; i < 2048; i += 2) PutText(unterminated, 16 + 8 + i, L"x");
  EXPECT_EQ(DecodeTaskStore(unterminated, &tasks), StoreDamage::kBlocks);
  std::vector<BYTE> magic = valid;
  magic[0] ^= 1;
  EXPECT_EQ(DecodeTaskStore(magic, &tasks), StoreDamage::kHeader);
}

TEST(TaskStore, NamesThatWouldLeaveTheStoreFolderOrAreNoFileNamesAreRefused) {
  std::wstring path;
  ASSERT_EQ(TaskStorePath(L"{DB}", L"alice", &path), S_OK);
  const std::wstring tail = L"\\ovtransfer\\{DB}_alice.ini";
  ASSERT_GT(path.size(), tail.size());
  EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
  for (const wchar_t* bad : {L"", L".", L"..", L"..\\x", L"a/b", L"a\\b", L"c:x", L"a*b", L"a?", L"a\"b", L"<a>",
                             L"a|b", L"a\x01", L"a\x1f", L"a.", L"a "}) {
    EXPECT_EQ(TaskStorePath(bad, L"alice", &path), E_FAIL) << std::wstring(bad).size();
    EXPECT_EQ(TaskStorePath(L"{DB}", bad, &path), E_FAIL);
  }
  // Dots and spaces inside a name leave no folder.
  for (const wchar_t* good : {L"john..doe", L"a b", L".hidden", L"x.y"}) {
    EXPECT_EQ(TaskStorePath(good, L"alice", &path), S_OK);
    EXPECT_EQ(TaskStorePath(L"{DB}", good, &path), S_OK);
  }
  EXPECT_EQ(TaskStorePath(std::wstring(250, L'd'), L"u", &path), E_FAIL) << "no path over 259 characters";
}

TEST(TaskStore, AFailedReplacementKeepsThePreviousStore) {
  ScratchFolder d;
  const std::wstring store = d / L"q.ini";
  ASSERT_EQ(ReplaceFileAtomically(store, {1, 2, 3}), S_OK);
  // Another program holds the store open: the new queue cannot be put in place.
  com::UniqueFile held(CreateFileW(store.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_NE(ReplaceFileAtomically(store, {9, 9, 9, 9}), S_OK);
  held.Reset();
  EXPECT_EQ(testing_support::ReadFileBytes(store), std::string("\x01\x02\x03", 3));
  EXPECT_FALSE(com::ForEachEntry(
      d.Path(), [](const WIN32_FIND_DATAW&) { return true; }, L"*.tmp"))
      << "no half-written file stays behind";
  ASSERT_EQ(ReplaceFileAtomically(store, {4, 5}), S_OK);
  EXPECT_EQ(testing_support::ReadFileBytes(store), std::string("\x04\x05", 2));
}

}  // namespace
