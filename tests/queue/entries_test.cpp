// File entries, folder walks and the link manifest, on real folders.
#include <gtest/gtest.h>

#include <string>

#include "ovtransfer/queue/file_entries.h"
#include "ovtransfer/queue/manifest.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::ScratchFolder;

TEST(ChildRemoteName, KeepsTheQueryPartLast) {
  EXPECT_EQ(ChildRemoteName(L"up/dir?k=1", L"a.txt"), L"up/dir/a.txt?k=1");
  EXPECT_EQ(ChildRemoteName(L"r/d?x=1&y=?2", L"s"), L"r/d/s?x=1&y=?2");
  EXPECT_EQ(ChildRemoteName(L"plain", L"b.bin"), L"plain/b.bin");
  EXPECT_EQ(ChildRemoteName(L"", L"b"), L"/b");
}

TEST(FolderEntries, WalkGivesEveryFileWithItsNamesAndIds) {
  ScratchFolder d;
  d.WriteFile(L"a.txt", "abc");
  d.WriteFile(L"s\\b.txt", "hello");
  d.MakeFolder(L"empty");
  CTaskQueue queue;
  UploadTask task;
  task.id = queue.TakeId();
  ASSERT_EQ(AddFileEntry(queue, task, d.Path(), L"r/d?x=1", L"", FILE_NO_DATA | FILE_FOLDER), S_OK);
  ASSERT_EQ(AddFolderEntries(queue, task, d.Path(), L"r/d?x=1", L"", FILE_OPTION, true), S_OK);

  ASSERT_EQ(task.files.size(), 3u) << "sub-folders give no entry of their own";
  EXPECT_EQ(task.files[0].local_path, d.Path());
  EXPECT_EQ(task.files[0].flags, FILE_NO_DATA | FILE_FOLDER);
  EXPECT_EQ(task.files[0].size, 0);
  EXPECT_EQ(task.files[1].local_path, d / L"a.txt");
  EXPECT_EQ(task.files[1].remote_name, L"r/d/a.txt?x=1");
  EXPECT_EQ(task.files[1].relative_name, L"a.txt");
  EXPECT_EQ(task.files[1].size, 3);
  EXPECT_EQ(task.files[1].flags, FILE_OPTION);
  EXPECT_EQ(task.files[2].remote_name, L"r/d/s/b.txt?x=1");
  EXPECT_EQ(task.files[2].relative_name, L"s\\b.txt");
  EXPECT_EQ(task.total_size, 8);
  // Tasks and entries share one id sequence.
  EXPECT_EQ(task.files[0].id, 1u);
  EXPECT_EQ(task.files[2].id, 3u);
  EXPECT_EQ(queue.NextTaskId(), 4u);
  for (const UploadFile& f : task.files) EXPECT_EQ(f.state, static_cast<DWORD>(TASK_QUEUED));
}

TEST(FolderEntries, HiddenFilesCountAndAMissingPathIsRefused) {
  ScratchFolder d;
  const std::wstring hidden = d.WriteFile(L"h.bin", "12");
  SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  CTaskQueue queue;
  UploadTask task;
  EXPECT_EQ(AddFolderEntries(queue, task, d.Path(), L"x", L"", 0, true), S_OK);
  EXPECT_EQ(task.files.size(), 1u);
  EXPECT_EQ(AddFolderEntries(queue, task, d / L"missing", L"x", L"", 0, true), E_INVALIDARG);
  // A plain file given as the folder is one entry.
  EXPECT_EQ(AddFolderEntries(queue, task, hidden, L"y", L"rel", 0, true), S_OK);
  EXPECT_EQ(task.files.back().relative_name, L"rel");
  SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FolderEntries, NamesThatDoNotFitRefuseTheFolderInsteadOfDroppingFiles) {
  ScratchFolder d;
  d.WriteFile(L"a.txt", "a");
  CTaskQueue queue;
  UploadTask task;
  const std::wstring long_prefix(1020, L'r');  // the built remote name would need 1027 units
  EXPECT_EQ(AddFolderEntries(queue, task, d.Path(), long_prefix, L"", 0, true), E_NAME_TOO_LONG);
  EXPECT_EQ(AddFileEntry(queue, task, std::wstring(260, L'p'), L"r", L"", 0), E_NAME_TOO_LONG);
  EXPECT_EQ(AddFileEntry(queue, task, std::wstring(259, L'p'), std::wstring(1023, L'r'), L"", 0), S_OK);
}

TEST(FileEntries, SizeIsTheLowHalfAndAMissingFileIsZero) {
  ScratchFolder d;
  const std::wstring big = d / L"big.bin";
  ASSERT_TRUE(d.WriteSparseFile(L"big.bin", 5LL << 30));

  CTaskQueue queue;
  UploadTask task;
  ASSERT_EQ(AddFileEntry(queue, task, big, L"big", L"", FILE_PRIMARY), S_OK);
  ASSERT_EQ(AddFileEntry(queue, task, d / L"nothing", L"n", L"", 0), S_OK);
  EXPECT_EQ(task.files[0].size, 1LL << 30);
  EXPECT_EQ(task.files[1].size, 0);
  EXPECT_EQ(task.total_size, 1LL << 30);
}

TEST(Manifest, FolderExampleByteForByte) {
  ScratchFolder d;
  d.WriteFile(L"a.txt", "abc");
  d.WriteFile(L"s\\b.txt", "12345");
  CTaskQueue queue;
  UploadTask task;
  AddFileEntry(queue, task, d.Path(), L"up/pics?k=1", L"", FILE_NO_DATA | FILE_FOLDER);
  AddFolderEntries(queue, task, d.Path(), L"up/pics?k=1", L"", 0, true);
  const std::wstring text = BuildManifest(L"L", L"up/pics?k=1", task);
  EXPECT_EQ(text,
            L"<?xml version=\"1.0\" encoding=\"unicode\"?>\r\n"
            L"<WEBRESOURCE version=\"1.0\">\r\n"
            L"<ENTRY href=\"L\" base=\"pics\" type=\"link\" />\r\n"
            L"<INFO>\r\n"
            L"<TOTALSIZE>8</TOTALSIZE>\r\n"
            L"</INFO>\r\n"
            L"<FILES>\r\n"
            L"<FILE href=\"a.txt\" size=\"3\" />\r\n"
            L"<FILE href=\"s\\b.txt\" size=\"5\" />\r\n"
            L"</FILES>\r\n"
            L"</WEBRESOURCE>\r\n");
}

TEST(Manifest, BaseNameAndUnescapedValues) {
  UploadTask task;
  task.total_size = 5LL << 32;
  EXPECT_NE(BuildManifest(L"a\"b", L"whole", task).find(L"href=\"a\"b\" base=\"whole\""), std::wstring::npos);
  EXPECT_NE(BuildManifest(L"L", L"", task).find(L"base=\"\""), std::wstring::npos);
  EXPECT_NE(BuildManifest(L"L", L"x/y/z?q=1", task).find(L"base=\"z\""), std::wstring::npos);
  EXPECT_NE(BuildManifest(L"L", L"", task).find(L"<TOTALSIZE>21474836480</TOTALSIZE>"), std::wstring::npos);
  EXPECT_NE(BuildManifest(L"L", L"", task).find(L"<FILES>\r\n</FILES>"), std::wstring::npos);
}

TEST(TaskQueue, TheRunningCountIsTheTasksHoldingASlotWhateverTheirState) {
  CTaskQueue queue;
  UploadTask a, b, c;
  a.id = 7;
  a.state = TASK_UPLOADING;
  b.id = 9;
  b.state = TASK_ERR_CONNECT;  // gave up, still holding its slot
  c.id = 11;
  queue.TakeSlot(queue.At(queue.AppendTask(a)));
  queue.TakeSlot(queue.At(queue.AppendTask(b)));
  queue.TakeSlot(queue.At(1));
  queue.AppendTask(c);
  EXPECT_EQ(queue.RunningCount(), 2) << "a slot is taken once per task";
  EXPECT_EQ(queue.FindTaskIndex(9), 1);
  EXPECT_EQ(queue.FindTaskIndex(8), -1);
  queue.RemoveTaskAt(1);
  EXPECT_EQ(queue.RunningCount(), 1) << "deleting a failed task frees its slot";
  queue.RemoveTaskAt(1);
  EXPECT_EQ(queue.RunningCount(), 1) << "a task without a slot frees nothing";
  queue.GiveSlot(queue.At(0));
  queue.GiveSlot(queue.At(0));
  EXPECT_EQ(queue.RunningCount(), 0);
  queue.RemoveTaskAt(0);
  EXPECT_EQ(queue.Size(), 0u);
}

TEST(StatusText, EveryStateHasItsText) {
  EXPECT_STREQ(StatusText(TASK_QUEUED), L"排队");
  EXPECT_STREQ(StatusText(TASK_UPLOADING), L"上传");
  EXPECT_STREQ(StatusText(TASK_PAUSED), L"暂停");
  EXPECT_STREQ(StatusText(TASK_DONE), L"完成");
  EXPECT_STREQ(StatusText(TASK_RESTORED), L"恢复");
  for (DWORD s : {0u, 5u, 104u, 109u, 12345u}) EXPECT_STREQ(StatusText(s), L"错误");
}

}  // namespace
