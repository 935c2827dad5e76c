// The queue of a user survives the page: saved by the control, restored at Open and when
// its window is made again.
#include <gtest/gtest.h>

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
  CTaskQueue& Tasks() { return control_.Object().Queue(); }

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
  Tasks().Tasks()[0].state = TASK_UPLOADING;
  Tasks().Tasks()[1].state = TASK_DONE;
  Tasks().TakeSlot(Tasks().At(0));
  control_.Script()->Close();
  EXPECT_EQ(testing_support::ReadFileBytes(store_).size(), 16u + 2 * (4664u + 3120u)) << "done tasks are not saved";

  Open(L"alice");
  ASSERT_EQ(Tasks().Size(), 2u);
  EXPECT_EQ(Tasks().Tasks()[0].title, L"a");
  EXPECT_EQ(Tasks().Tasks()[0].state, static_cast<DWORD>(TASK_RESTORED));
  EXPECT_EQ(Tasks().Tasks()[1].state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(Tasks().Tasks()[0].id, 0u) << "Close restarted the ids";
  EXPECT_EQ(Tasks().Tasks()[1].id, 1u);
  ASSERT_EQ(control_.RowCount(), 2);
  EXPECT_EQ(control_.Cell(0, 0), L"恢复");
  EXPECT_EQ(control_.Cell(1, 0), L"排队");
  EXPECT_EQ(control_.RowTaskId(1), 1u);

  // Another user sees none of it; coming back brings it again.
  Open(L"bob");
  EXPECT_EQ(Tasks().Size(), 0u);
  Open(L"ALICE");
  EXPECT_EQ(Tasks().Size(), 2u) << "the store's name, like any file name, ignores letter case";
}

TEST_F(Persistence, AWindowMadeAgainNeitherDuplicatesTasksNorLeavesThemWithoutRows) {
  Open(L"alice");
  Queue(L"a");
  Queue(L"b");
  com::ComPtr<IOleInPlaceObject> in_place;
  com::ComPtr<IOleObject> object;
  com::ComPtr<IOleClientSite> site;
  control_.Host().Unknown()->QueryInterface(IID_IOleInPlaceObject, in_place.ReceiveVoid());
  control_.Host().Unknown()->QueryInterface(IID_IOleObject, object.ReceiveVoid());
  object->GetClientSite(site.Receive());
  ASSERT_EQ(in_place->InPlaceDeactivate(), S_OK);
  ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site.Get(), 0, control_.Host().FrameWindow(), nullptr),
            S_OK);
  EXPECT_EQ(Tasks().Size(), 2u) << "the store loaded again adds nothing already queued";
  HWND list = GetDlgItem(control_.Object().Window(), 203);
  EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 2) << "every task has its row";
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
  HANDLE f = CreateFileW(store_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);

  Open(L"alice");
  EXPECT_EQ(Tasks().Size(), 0u);
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
