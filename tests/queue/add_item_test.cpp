// Queuing uploads through the scripting interface of an active control.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ovtransfer/com/folder_walk.h"
#include "ovtransfer/queue/manifest.h"
#include "support/hosted_test_control.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::HostedTestControl;
using testing_support::ScratchFolder;
using M = HostedTestControl;

constexpr LONG kInvalidArg = static_cast<LONG>(0x80070057);
constexpr LONG kFail = static_cast<LONG>(0x80004005);

std::set<std::wstring> TempFiles() {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring temp = folder;  // ends in a separator
  std::set<std::wstring> names;
  com::ForEachEntry(
      temp.substr(0, temp.size() - 1),
      [&](const WIN32_FIND_DATAW& found) {
        names.insert(temp + found.cFileName);
        return true;
      },
      L"*.tmp");
  return names;
}

class AddItems : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring& why = control_.Host().Error();
    ASSERT_TRUE(control_.Active()) << std::string(why.begin(), why.end());
  }

  HostedTestControl control_;
  ScratchFolder files_;
};

TEST_F(AddItems, DuplicatesAreFoundByAddressPortAsPassedAndNameIgnoringCase) {
  const std::wstring file = files_.WriteFile(L"a.mp4", "data");
  EXPECT_EQ(control_.Add(M::kAddItem, L"one", L"127.0.0.1", 9000, file, L"", L"up/A.mp4", L"", 0), 0);
  EXPECT_EQ(control_.Add(M::kAddItem, L"other title", L"127.0.0.1", 9000, file, L"", L"UP/a.MP4", L"", 0), 0);
  EXPECT_EQ(control_.TaskCount(), 1u);
  EXPECT_EQ(control_.Add(M::kAddItem, L"port", L"127.0.0.1", 9001, file, L"", L"up/a.mp4", L"", 0), 0);
  EXPECT_EQ(control_.Add(M::kAddItem, L"name", L"127.0.0.1", 9000, file, L"", L"up/b.mp4", L"", 0), 0);
  EXPECT_EQ(control_.TaskCount(), 3u);

  // Port 0 means 8852, but the check compares the port as passed: never a duplicate.
  EXPECT_EQ(control_.Add(M::kAddItem, L"p0", L"127.0.0.1", 0, file, L"", L"zero", L"", 0), 0);
  EXPECT_EQ(control_.Add(M::kAddItem, L"p0", L"127.0.0.1", 0, file, L"", L"zero", L"", 0), 0);
  ASSERT_EQ(control_.TaskCount(), 5u);
  EXPECT_EQ(control_.Task(4).port, 8852u);

  // A host name and its dotted address are the same server.
  EXPECT_EQ(control_.Add(M::kAddItem, L"by name", L"localhost", 9000, file, L"", L"up/a.mp4", L"", 0), 0);
  EXPECT_EQ(control_.TaskCount(), 5u);
  EXPECT_EQ(control_.Cell(4, 3), L"127.0.0.1 : 8852");
}

TEST_F(AddItems, AFileTaskGetsItsRecordEntriesAndRow) {
  const std::wstring primary = files_.WriteFile(L"movie.avi", "12345");
  const std::wstring secondary = files_.WriteFile(L"cover.jpg", "xyz");
  ASSERT_EQ(control_.Add(M::kAddItem, L"Holiday", L"127.0.0.1", 8852, primary, secondary, L"v/movie.avi",
                         L"v/cover.jpg", STYLE_FILE_OPTION | STYLE_SNAPSHOT),
            0);
  ASSERT_EQ(control_.TaskCount(), 1u);
  const UploadTask& task = control_.Task(0);
  EXPECT_EQ(task.flags, STYLE_FILE_OPTION | STYLE_SNAPSHOT | STYLE_REPORT_DURATION);
  EXPECT_EQ(task.state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(task.ipv4, 0x7F000001u);
  EXPECT_EQ(task.total_size, 8);
  ASSERT_EQ(task.files.size(), 2u);
  EXPECT_EQ(task.files[0].local_path, secondary);
  EXPECT_EQ(task.files[0].flags, FILE_OPTION);
  EXPECT_EQ(task.files[1].local_path, primary);
  EXPECT_EQ(task.files[1].flags, FILE_OPTION | FILE_PRIMARY) << "the primary entry comes last";
  EXPECT_EQ(task.id, 0u);
  EXPECT_EQ(task.files[1].id, 2u);

  ASSERT_EQ(control_.RowCount(), 1);
  EXPECT_EQ(control_.RowTaskId(0), task.id);
  EXPECT_EQ(control_.Cell(0, 0), L"排队");
  EXPECT_EQ(control_.Cell(0, 1), L"Holiday");
  EXPECT_EQ(control_.Cell(0, 2), L"0");
  EXPECT_EQ(control_.Cell(0, 3), L"127.0.0.1 : 8852");

  // A missing primary file is accepted with size 0.
  ASSERT_EQ(control_.Add(M::kAddItem, L"gone", L"127.0.0.1", 8852, files_ / L"none", L"", L"g", L"", 0), 0);
  EXPECT_EQ(control_.Task(1).files.size(), 1u);
  EXPECT_EQ(control_.Task(1).total_size, 0);
}

TEST_F(AddItems, AFolderTaskWalksTheFolderBeforeThePrimaryEntry) {
  const std::wstring d = files_.MakeFolder(L"d");
  files_.WriteFile(L"d\\a.txt", "abc");
  files_.WriteFile(L"d\\s\\b.txt", "12345");
  const std::wstring primary = files_.WriteFile(L"p.mp4", "pp");
  ASSERT_EQ(control_.Add(M::kAddItem, L"folder", L"127.0.0.1", 8852, primary, d, L"r/p.mp4", L"r/d?x=1",
                         STYLE_FOLDER),
            0);
  const UploadTask& task = control_.Task(0);
  ASSERT_EQ(task.files.size(), 4u);
  EXPECT_EQ(task.files[0].local_path, d);
  EXPECT_EQ(task.files[0].flags, FILE_NO_DATA | FILE_FOLDER);
  EXPECT_EQ(task.files[1].remote_name, L"r/d/a.txt?x=1");
  EXPECT_EQ(task.files[2].remote_name, L"r/d/s/b.txt?x=1");
  EXPECT_EQ(task.files[2].relative_name, L"s\\b.txt");
  EXPECT_EQ(task.files[3].flags, FILE_PRIMARY);

  // An empty folder: the root entry and the primary entry.
  const std::wstring empty = files_.MakeFolder(L"empty");
  ASSERT_EQ(control_.Add(M::kAddItem, L"e", L"127.0.0.1", 8852, primary, empty, L"r/e", L"r/empty", STYLE_FOLDER),
            0);
  EXPECT_EQ(control_.Task(1).files.size(), 2u);
}

TEST_F(AddItems, FailuresLeaveNothingButTheIdsTheyTook) {
  const std::wstring file = files_.WriteFile(L"f.bin", "f");
  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"no.such.host.invalid", 1, file, L"", L"n", L"", 0), kInvalidArg);
  EXPECT_EQ(control_.Object().NextTaskId(), 0) << "an address that resolves to nothing builds nothing";

  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, file, file, L"n", L"m", STYLE_FOLDER), kInvalidArg);
  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, file, L"", L"n", L"m", STYLE_FOLDER), kInvalidArg);
  EXPECT_EQ(control_.TaskCount(), 0u);
  EXPECT_EQ(control_.RowCount(), 0);
  EXPECT_EQ(control_.Object().NextTaskId(), 2) << "each removed task keeps its id used";

  // Over-long texts are refused whole, never stored cut.
  EXPECT_EQ(control_.Add(M::kAddItem, std::wstring(1024, L't').c_str(), L"127.0.0.1", 1, file, L"", L"n", L"", 0),
            kInvalidArg);
  EXPECT_EQ(control_.Add(M::kAddItem, std::wstring(1023, L't').c_str(), L"127.0.0.1", 1, file, L"",
                         std::wstring(1023, L'r').c_str(), L"", 0),
            0);
  EXPECT_EQ(control_.TaskCount(), 1u);
}

TEST_F(AddItems, OverLongPathsAndNamesAreRefusedWithoutTakingAnId) {
  const std::wstring file = files_.WriteFile(L"f.bin", "f");
  const std::wstring long_path(260, L'p');
  const std::wstring long_name(1024, L'r');
  const std::set<std::wstring> temp = TempFiles();
  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, long_path, L"", L"n", L"", 0), kInvalidArg);
  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, file, long_path, L"n", L"m", 0), kInvalidArg);
  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, file, long_path, L"n", L"m", STYLE_FOLDER), kInvalidArg);
  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, file, file, L"n", long_name.c_str(), 0), kInvalidArg);
  EXPECT_EQ(control_.Add(M::kAddItem2, L"t", L"127.0.0.1", 1, L"abc", long_path, L"n", L"m", 0), kInvalidArg);
  EXPECT_EQ(control_.Add(M::kAddItem3, L"t", L"127.0.0.1", 1, L"L", file, L"n", long_name.c_str(), 0), kInvalidArg);
  EXPECT_EQ(TempFiles(), temp) << "no text or manifest file stays behind";
  EXPECT_EQ(control_.Object().NextTaskId(), 0);

  // A name that only the folder walk builds does not fit: the call fails, still taking no id.
  const std::wstring d = files_.MakeFolder(L"d");
  files_.WriteFile(L"d\\a.txt", "abc");
  EXPECT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, file, d, L"n", std::wstring(1020, L'r').c_str(),
                         STYLE_FOLDER),
            kFail);
  EXPECT_EQ(control_.Add(M::kAddItem3, L"t", L"127.0.0.1", 1, L"L", d, L"n", std::wstring(1020, L'r').c_str(),
                         STYLE_FOLDER),
            kFail);
  EXPECT_EQ(TempFiles(), temp);
  EXPECT_EQ(control_.TaskCount(), 0u);
  EXPECT_EQ(control_.RowCount(), 0);

  // The longest that fit are queued, and the task takes the next id.
  ASSERT_EQ(control_.Add(M::kAddItem, L"t", L"127.0.0.1", 1, std::wstring(259, L'p'), std::wstring(259, L's'), L"n",
                         std::wstring(1023, L'r').c_str(), 0),
            0);
  EXPECT_EQ(control_.Task(0).id, 0u);
}

TEST_F(AddItems, ANulInsideAStringEndsItsField) {
  const std::wstring file = files_.WriteFile(L"f.bin", "data");
  const auto with_nul = [](const std::wstring& head) { return com::Bstr(head + std::wstring(1, L'\0') + L"tail"); };
  com::Bstr title = with_nul(L"Title"), address = with_nul(L"127.0.0.1"), primary = with_nul(file),
            remote1 = with_nul(L"up/a.mp4"), remote2 = with_nul(L"up/b"), secondary = with_nul(file);
  LONG result = 1;
  control_.Script()->AddItem(title.Get(), address.Get(), 9000, primary.Get(), secondary.Get(), remote1.Get(),
                             remote2.Get(), 0, &result);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(control_.TaskCount(), 1u);
  const UploadTask& task = control_.Task(0);
  EXPECT_EQ(task.title, L"Title");
  EXPECT_EQ(task.address_text, L"127.0.0.1");
  EXPECT_EQ(task.first_remote_name, L"up/a.mp4");
  ASSERT_EQ(task.files.size(), 2u);
  EXPECT_EQ(task.files[0].local_path, file);
  EXPECT_EQ(task.files[0].remote_name, L"up/b");
  EXPECT_EQ(task.files[1].local_path, file);
  EXPECT_EQ(task.files[1].remote_name, L"up/a.mp4");
  EXPECT_EQ(control_.Cell(0, 1), L"Title");

  // The name the engine would be given is the duplicate key.
  EXPECT_EQ(control_.Add(M::kAddItem, L"again", L"127.0.0.1", 9000, file, L"", L"UP/A.MP4", L"", 0), 0);
  EXPECT_EQ(control_.TaskCount(), 1u);
}

TEST_F(AddItems, TextBecomesATemporaryPrimaryFile) {
  const std::set<std::wstring> before = TempFiles();
  ASSERT_EQ(control_.Add(M::kAddItem2, L"note", L"127.0.0.1", 8852, L"abc", L"", L"n/note.txt", L"", 0x4000), 0);
  const UploadTask& task = control_.Task(0);
  EXPECT_EQ(task.flags, 0x4000u | STYLE_REPORT_DURATION | STYLE_DELETE_PRIMARY);
  ASSERT_EQ(task.files.size(), 1u);
  const UploadFile& entry = task.files[0];
  EXPECT_EQ(entry.flags, FILE_PRIMARY | FILE_DELETE_AFTER_UPLOAD);
  EXPECT_EQ(entry.size, 3);
  EXPECT_EQ(testing_support::ReadFileBytes(entry.local_path), "abc");
  EXPECT_EQ(before.count(entry.local_path), 0u);
  const std::wstring name = entry.local_path.substr(entry.local_path.find_last_of(L'\\') + 1);
  ASSERT_EQ(name.size(), 38u + 4u) << "{GUID}.tmp";
  EXPECT_EQ(name.front(), L'{');
  EXPECT_EQ(name.substr(37), L"}.tmp");

  // Characters beyond the code page's reach are never cut short; a failed call leaves no file.
  const std::wstring many(5000, L'\u4E2D');
  EXPECT_EQ(control_.Add(M::kAddItem2, L"big", L"127.0.0.1", 8852, many, L"", L"n/b.txt", L"", 0), 0);
  EXPECT_GE(control_.Task(1).files[0].size, 5000);
  const std::set<std::wstring> kept = TempFiles();
  EXPECT_EQ(control_.Add(M::kAddItem2, L"x", L"127.0.0.1", 8852, L"abc", files_ / L"missing", L"n/x", L"",
                         STYLE_FOLDER),
            kInvalidArg);
  EXPECT_EQ(TempFiles(), kept);
  EXPECT_EQ(control_.Add(M::kAddItem2, L"again", L"127.0.0.1", 8852, L"abc", L"", L"N/NOTE.txt", L"", 0), 0);
  EXPECT_EQ(TempFiles(), kept) << "a duplicate's text file has no task to delete it: it goes at once";
  for (size_t i = 0; i < control_.TaskCount(); ++i) DeleteFileW(control_.Task(i).files.back().local_path.c_str());
}

TEST_F(AddItems, ALinkIsUploadedAsItsManifest) {
  const std::wstring d = files_.MakeFolder(L"pics");
  files_.WriteFile(L"pics\\a.txt", "abc");
  files_.WriteFile(L"pics\\s\\b.txt", "12345");
  ASSERT_EQ(control_.Add(M::kAddItem3, L"link", L"127.0.0.1", 8852, L"L", d, L"up/link.xml", L"up/pics?k=1",
                         STYLE_FOLDER),
            0);
  const UploadTask& task = control_.Task(0);
  ASSERT_EQ(task.files.size(), 4u);
  const UploadFile& manifest = task.files.back();
  EXPECT_EQ(manifest.flags, FILE_PRIMARY | FILE_DELETE_AFTER_UPLOAD);
  EXPECT_EQ(manifest.remote_name, L"up/link.xml");
  const std::string bytes = testing_support::ReadFileBytes(manifest.local_path);
  UploadTask without_manifest = task;
  without_manifest.files.pop_back();
  without_manifest.total_size -= manifest.size;
  const std::wstring text = BuildManifest(L"L", L"up/pics?k=1", without_manifest);
  ASSERT_EQ(bytes.size(), 2 + text.size() * 2);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(bytes.substr(2), std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
  EXPECT_NE(text.find(L"<TOTALSIZE>8</TOTALSIZE>"), std::wstring::npos);
  EXPECT_EQ(task.total_size, 8 + manifest.size);

  const std::set<std::wstring> kept = TempFiles();
  EXPECT_EQ(control_.Add(M::kAddItem3, L"bad", L"127.0.0.1", 8852, L"L", files_ / L"no-folder", L"up/x", L"y",
                         STYLE_FOLDER),
            kInvalidArg);
  EXPECT_EQ(TempFiles(), kept) << "the manifest file goes with the failed call";
  DeleteFileW(manifest.local_path.c_str());
}

TEST_F(AddItems, OpenAndCloseEmptyTheQueueAndItsRows) {
  const std::wstring file = files_.WriteFile(L"f.bin", "f");
  control_.Add(M::kAddItem, L"a", L"127.0.0.1", 1, file, L"", L"a", L"", 0);
  control_.Add(M::kAddItem, L"b", L"127.0.0.1", 1, file, L"", L"b", L"", 0);
  ASSERT_EQ(control_.RowCount(), 2);
  com::Bstr id(L"alice"), name(L"Alice"), pass(L"pw");
  control_.Script()->Open(id.Get(), name.Get(), pass.Get());
  EXPECT_EQ(control_.TaskCount(), 0u);
  EXPECT_EQ(control_.RowCount(), 0);
  EXPECT_EQ(control_.Object().NextTaskId(), 4) << "Open does not restart the ids";

  control_.Add(M::kAddItem, L"c", L"127.0.0.1", 1, file, L"", L"c", L"", 0);
  EXPECT_EQ(control_.Task(0).id, 4u);
  control_.Script()->Close();
  EXPECT_EQ(control_.TaskCount(), 0u);
  EXPECT_EQ(control_.RowCount(), 0);
  EXPECT_EQ(control_.Object().NextTaskId(), 0);
}

TEST(AddItemsBeforeTheWindow, NothingIsQueuedAndTheTextFileFollowsTheCallersValue) {
  testing_support::ComApartment apartment;
  com::ComPtr<IOvTransferControl> control;
  ASSERT_EQ(com::CreateInstance<COvTransferControl>(nullptr, IID_IOvTransferControl, control.ReceiveVoid()), S_OK);
  com::Bstr title(L"t"), address(L"127.0.0.1"), text(L"abc"), empty(L""), r1(L"r");
  LONG result = 77;
  control->AddItem(title.Get(), address.Get(), 1, text.Get(), empty.Get(), r1.Get(), empty.Get(), 0, &result);
  EXPECT_EQ(result, 77);
  const std::set<std::wstring> before = TempFiles();
  control->AddItem2(title.Get(), address.Get(), 1, text.Get(), empty.Get(), r1.Get(), empty.Get(), 0, &result);
  EXPECT_EQ(result, 77);
  std::set<std::wstring> after = TempFiles();
  ASSERT_EQ(after.size(), before.size() + 1) << "the file stays while the caller's value is not negative";
  for (const std::wstring& f : after)
    if (!before.count(f)) DeleteFileW(f.c_str());
  result = -1;
  control->AddItem2(title.Get(), address.Get(), 1, text.Get(), empty.Get(), r1.Get(), empty.Get(), 0, &result);
  EXPECT_EQ(TempFiles(), before);
  EXPECT_EQ(static_cast<COvTransferControl*>(control.Get())->Queue().Size(), 0u);
}

}  // namespace
