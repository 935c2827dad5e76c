// The queue of a user survives the page: saved by the control, restored at Open and when
// its window is made again.
#include <gtest/gtest.h>

#include <vector>

#include "ovtransfer/com/unique.h"
#include "ovtransfer/queue/task_store.h"
#include "support/hosted_test_control.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::HostedTestControl;

class Persistence : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control_.Active());
    file_ = files_.WriteFile(L"f.bin", "data");
    GUID guid;
    CoCreateGuid(&guid);
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    database_ = text;
    ASSERT_EQ(TaskStorePath(database_, L"alice", &store_), S_OK);
    control_.Script()->put_DatabaseGUID(com::Bstr(database_).Get());
  }
  void TearDown() override { DeleteFileW(store_.c_str()); }
  void Open(const wchar_t* user) { control_.Script()->Open(com::Bstr(user).Get(), com::Bstr(L"n").Get(), nullptr); }
  void Queue(const wchar_t* name) {
    ASSERT_EQ(control_.Add(HostedTestControl::kAddItem, name, L"127.0.0.1", 1, file_, L"", name, L"", 0), 0);
  }
  // The container takes the control's window away (in-place deactivation) and makes it again.
  void Deactivate() {
    com::ComPtr<IOleInPlaceObject> in_place;
    control_.Host().Unknown()->QueryInterface(IID_IOleInPlaceObject, in_place.ReceiveVoid());
    ASSERT_EQ(in_place->InPlaceDeactivate(), S_OK);
    ASSERT_EQ(control_.Object().Window(), nullptr);
  }
  void Activate() {
    com::ComPtr<IOleObject> object;
    com::ComPtr<IOleClientSite> site;
    control_.Host().Unknown()->QueryInterface(IID_IOleObject, object.ReceiveVoid());
    object->GetClientSite(site.Receive());
    ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site.Get(), 0, control_.Host().FrameWindow(), nullptr),
              S_OK);
  }
  // Rows of the control's current window, by task id.
  std::vector<DWORD> RowIds() {
    HWND list = control_.Object().ListWindow();
    std::vector<DWORD> ids;
    for (int row = 0, rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); row < rows; ++row) {
      LVITEMW item = {};
      item.mask = LVIF_PARAM;
      item.iItem = row;
      SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
      ids.push_back(static_cast<DWORD>(item.lParam));
    }
    return ids;
  }
  std::vector<DWORD> TaskIds() {
    std::vector<DWORD> ids;
    for (size_t i = 0; i < control_.TaskCount(); ++i) ids.push_back(control_.Task(i).id);
    return ids;
  }

  HostedTestControl control_;
  testing_support::ScratchFolder files_;
  std::wstring file_, database_, store_;
};

TEST_F(Persistence, TheUnfinishedQueueComesBackAtOpenWithNewIds) {
  Open(L"alice");
  Queue(L"a");
  Queue(L"b");
  Queue(L"c");
  ASSERT_TRUE(testing_support::FileExists(store_)) << "saved when a task is queued";
  control_.Task(0).state = TASK_UPLOADING;
  control_.Task(1).state = TASK_DONE;
  control_.TakeSlot(0);
  control_.Script()->Close();
  EXPECT_EQ(testing_support::ReadFileBytes(store_).size(), 16u + 2 * (4664u + 3120u)) << "done tasks are not saved";

  Open(L"alice");
  ASSERT_EQ(control_.TaskCount(), 2u);
  EXPECT_EQ(control_.Task(0).title, L"a");
  EXPECT_EQ(control_.Task(0).state, static_cast<DWORD>(TASK_RESTORED));
  EXPECT_EQ(control_.Task(1).state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(control_.Task(0).id, 0u) << "Close restarted the ids";
  EXPECT_EQ(control_.Task(1).id, 1u);
  ASSERT_EQ(control_.RowCount(), 2);
  EXPECT_EQ(control_.Cell(0, 0), L"恢复");
  EXPECT_EQ(control_.Cell(1, 0), L"排队");
  EXPECT_EQ(control_.RowTaskId(1), 1u);

  // Another user sees none of it; coming back brings it again.
  Open(L"bob");
  EXPECT_EQ(control_.TaskCount(), 0u);
  Open(L"ALICE");
  EXPECT_EQ(control_.TaskCount(), 2u) << "the store's name, like any file name, ignores letter case";
}

TEST_F(Persistence, AWindowMadeAgainNeitherDuplicatesTasksNorLeavesThemWithoutRows) {
  Open(L"alice");
  Queue(L"a");
  Queue(L"b");
  Deactivate();
  Activate();
  EXPECT_EQ(control_.TaskCount(), 2u) << "the store loaded again adds nothing already queued";
  EXPECT_EQ(RowIds(), TaskIds()) << "every task has its row";
}

TEST_F(Persistence, TwoUploadsWithTheSameKeyBothComeBackAndAreBothSavedAgain) {
  // Port 0 is compared as passed, so the page may queue the same name on the same server twice.
  Open(L"alice");
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(control_.Add(HostedTestControl::kAddItem, L"same", L"127.0.0.1", 0, file_, L"", L"same", L"", 0), 0);
  ASSERT_EQ(control_.TaskCount(), 2u);
  const size_t two_tasks = 16u + 2 * (4664u + 3120u);
  control_.Script()->Close();
  EXPECT_EQ(testing_support::ReadFileBytes(store_).size(), two_tasks);

  Open(L"alice");
  EXPECT_EQ(control_.TaskCount(), 2u) << "every block of the store is a task";
  EXPECT_EQ(RowIds(), TaskIds());
  control_.Script()->Close();
  EXPECT_EQ(testing_support::ReadFileBytes(store_).size(), two_tasks) << "and the next save keeps both";

  // A window made again still loads nothing twice.
  Open(L"alice");
  Deactivate();
  Activate();
  EXPECT_EQ(control_.TaskCount(), 2u);
  EXPECT_EQ(RowIds(), TaskIds());
}

TEST_F(Persistence, AddsWhileTheWindowIsGoneAreQueuedSavedAndListedOnceByTheNextWindow) {
  Open(L"alice");
  Queue(L"before");
  Deactivate();
  EXPECT_EQ(control_.Add(HostedTestControl::kAddItem, L"file", L"127.0.0.1", 1, file_, L"", L"f", L"", 0), 0);
  EXPECT_EQ(control_.Add(HostedTestControl::kAddItem2, L"text", L"127.0.0.1", 1, L"abc", L"", L"t", L"", 0), 0);
  EXPECT_EQ(control_.Add(HostedTestControl::kAddItem3, L"link", L"127.0.0.1", 1, L"http://l", L"", L"l", L"r", 0), 0);
  ASSERT_EQ(control_.TaskCount(), 4u);
  for (size_t i = 0; i < control_.TaskCount(); ++i) EXPECT_EQ(control_.Task(i).state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(testing_support::ReadFileBytes(store_).size(), 16u + 4 * (4664u + 3120u)) << "saved at once";
  EXPECT_TRUE(testing_support::FileExists(control_.Task(2).files.back().local_path))
      << "the text file stays with its task";

  Activate();
  EXPECT_EQ(control_.TaskCount(), 4u);
  EXPECT_EQ(RowIds(), TaskIds()) << "each task listed once, in queue order";
  for (size_t i = 2; i < 4; ++i) DeleteFileW(control_.Task(i).files.back().local_path.c_str());
}

TEST_F(Persistence, AStoreDamagedInsideItsBlocksIsDeletedAndTheQueueEmptied) {
  Open(L"alice");
  Queue(L"a");
  Queue(L"b");
  control_.Script()->Close();
  std::string bytes = testing_support::ReadFileBytes(store_);
  ASSERT_GT(bytes.size(), 100u);
  bytes.resize(bytes.size() - 100);
  testing_support::ScratchFolder unused;
  {
    com::UniqueFile f(CreateFileW(store_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f);
    DWORD written = 0;
    WriteFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }

  Open(L"alice");
  EXPECT_EQ(control_.TaskCount(), 0u);
  EXPECT_EQ(control_.RowCount(), 0);
  EXPECT_FALSE(testing_support::FileExists(store_));
}

TEST_F(Persistence, NothingIsWrittenWithoutADatabaseIdOrAUser) {
  Queue(L"no user yet");
  EXPECT_FALSE(testing_support::FileExists(store_));
  control_.Script()->put_DatabaseGUID(com::Bstr(L"").Get());
  Open(L"alice");
  Queue(L"no database");
  EXPECT_FALSE(testing_support::FileExists(store_));
}

}  // namespace
