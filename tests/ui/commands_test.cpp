// The task commands driven as a user drives them: selections in the list, buttons,
// the Delete key and the confirmation questions.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovtransfer/ui/resource_ids.h"
#include "support/fake_engine.h"
#include "support/hosted_test_control.h"
#include "support/message_box_answerer.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::CountCalls;
using testing_support::HostedTestControl;
using testing_support::MessageBoxAnswerer;

// An engine that only counts what it is asked.
class CountingEngine : public ITransferEngine {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITransferEngine)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP Initialize(DWORD, const SOCKADDR_IN*, DWORD) override { return S_OK; }
  STDMETHODIMP Disconnect() override { return S_OK; }
  STDMETHODIMP Reserved5() override { return E_NOTIMPL; }
  STDMETHODIMP SetNotifyWindow(HWND, UINT) override { return S_OK; }
  STDMETHODIMP Connect(const SOCKADDR_IN*, DWORD) override { return S_OK; }
  STDMETHODIMP Login(const wchar_t*, const wchar_t*, wchar_t*, DWORD) override { return S_OK; }
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP PutFile(const wchar_t*, const wchar_t*, DWORD, DWORD, LONG, wchar_t*, DWORD, wchar_t*,
                       DWORD) override {
    return S_OK;
  }
  STDMETHODIMP SetResumePosition(ULONGLONG, ULONGLONG) override { return S_OK; }
  STDMETHODIMP Reserved16() override { return E_NOTIMPL; }
  STDMETHODIMP StartTransfer() override {
    ++starts;
    return S_OK;
  }
  STDMETHODIMP PauseTransfer() override {
    ++pauses;
    return S_OK;
  }
  STDMETHODIMP FinishFile() override { return S_OK; }
  STDMETHODIMP SetRateLimit(DWORD) override { return S_OK; }
  STDMETHODIMP Reserved21() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved22() override { return E_NOTIMPL; }
  STDMETHODIMP GetBytesTransferred(ULONGLONG* bytes) override {
    *bytes = 0;
    return S_OK;
  }
  ULONG refs = 1;
  int starts = 0, pauses = 0;
};

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control_.Active());
    file_ = files_.WriteFile(L"f.bin", "data");
  }
  void Queue(const wchar_t* title, DWORD state) {
    ASSERT_EQ(control_.Add(HostedTestControl::kAddItem, title, L"127.0.0.1", 1, file_, L"", title, L"", 0), 0);
    control_.LastTask().state = state;
  }
  std::vector<std::wstring> Titles() {
    std::vector<std::wstring> titles;
    for (int row = 0; row < control_.RowCount(); ++row) titles.push_back(control_.Cell(row, 1));
    return titles;
  }
  void Select(int row, bool only = true) {
    LVITEMW item = {};
    if (only) {
      item.stateMask = LVIS_SELECTED;
      SendMessageW(control_.List(), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    }
    item.stateMask = item.state = LVIS_SELECTED;
    SendMessageW(control_.List(), LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
  }
  void Command(int id) { SendMessageW(Window(), WM_COMMAND, id, 0); }
  HWND Window() { return control_.Host().ControlWindow(); }
  bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(Window(), id)); }
  bool RowSelected(int row) {
    return SendMessageW(control_.List(), LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED;
  }

  // Engines made by a tick are scripted ones; the script outlives the control.
  testing_support::ComApartment apartment_;
  testing_support::EngineScript script_;
  testing_support::FakeEngineRegistration engines_{script_};
  HostedTestControl control_;
  testing_support::ScratchFolder files_;
  std::wstring file_;
};

TEST_F(Commands, DeletingAnUnfinishedTaskAsksWithItsTitleAndSelectsTheNextRow) {
  Queue(L"first", TASK_QUEUED);
  Queue(L"middle", TASK_QUEUED);
  Queue(L"last", TASK_QUEUED);
  Select(1);
  {
    MessageBoxAnswerer no(IDNO);
    Command(ID_TASK_DELETE);
    EXPECT_EQ(no.Text(), L"\u201Cmiddle\u201D未完成上传\uFF0C确定要删除\uFF1F");
    EXPECT_EQ(no.Title(), L"确认删除");
  }
  EXPECT_EQ(Titles().size(), 3u) << "only Yes deletes";
  Select(1);
  {
    MessageBoxAnswerer yes(IDYES);
    Command(ID_TASK_DELETE);
    EXPECT_TRUE(yes.Answered());
  }
  EXPECT_EQ(Titles(), (std::vector<std::wstring>{L"first", L"last"}));
  EXPECT_EQ(control_.TaskCount(), 2u);
  EXPECT_TRUE(RowSelected(1)) << "the row that followed is selected";
  EXPECT_EQ(control_.Object().SelectedTaskId(), static_cast<LONG>(control_.RowTaskId(1)));
}

TEST_F(Commands, AFinishedTaskGoesWithoutAQuestionAndTheLastRowLeavesNoSelection) {
  Queue(L"a", TASK_QUEUED);
  Queue(L"done", TASK_DONE);
  Select(1);
  MessageBoxAnswerer none(IDYES, 800);
  NMLVKEYDOWN key = {};
  key.hdr.hwndFrom = control_.List();
  key.hdr.idFrom = IDC_TASK_LIST;
  key.hdr.code = LVN_KEYDOWN;
  key.wVKey = VK_DELETE;
  SendMessageW(Window(), WM_NOTIFY, IDC_TASK_LIST, reinterpret_cast<LPARAM>(&key));
  EXPECT_FALSE(none.Answered());
  EXPECT_EQ(Titles(), std::vector<std::wstring>{L"a"});
  EXPECT_FALSE(RowSelected(0));
  EXPECT_EQ(control_.Object().SelectedTaskId(), -1);
}

TEST_F(Commands, DeleteErroredKeepsEveryWorkingState) {
  const DWORD states[] = {TASK_QUEUED, TASK_UPLOADING, TASK_PAUSED, TASK_DONE, TASK_RESTORED, TASK_NEW,
                          TASK_ERR_CONNECT, TASK_ERR_STOPPED, TASK_ERR_START};
  for (DWORD s : states) Queue(std::to_wstring(s).c_str(), s);
  {
    MessageBoxAnswerer yes(IDYES);
    Command(ID_TASK_DELETE_FAILED);
    EXPECT_EQ(yes.Text(), L"确实要删除发生错误的项目吗?");
  }
  EXPECT_EQ(Titles(), (std::vector<std::wstring>{L"1", L"2", L"3", L"4", L"6"}));
  {
    MessageBoxAnswerer yes(IDYES);
    Command(ID_TASK_DELETE_FINISHED);
    EXPECT_EQ(yes.Text(), L"确实要删除已经完成的项目吗?");
  }
  EXPECT_EQ(Titles(), (std::vector<std::wstring>{L"1", L"2", L"3", L"6"}));
}

TEST_F(Commands, SeveralSelectedRowsAreDeletedTogetherAfterOneQuestion) {
  Queue(L"a", TASK_QUEUED);
  Queue(L"b", TASK_QUEUED);
  Queue(L"c", TASK_QUEUED);
  Select(0);
  Select(2, false);
  EXPECT_FALSE(Enabled(ID_TASK_START)) << "no single selection: no Start";
  MessageBoxAnswerer yes(IDYES);
  Command(ID_TASK_DELETE);
  EXPECT_EQ(yes.Text(), L"确实要删除这些选中的项目吗?");
  EXPECT_EQ(Titles(), std::vector<std::wstring>{L"b"});
}

TEST_F(Commands, ALongTitleIsShortenedSoTheQuestionFits) {
  Queue(std::wstring(1023, L'x').c_str(), TASK_QUEUED);
  Select(0);
  MessageBoxAnswerer no(IDNO);
  Command(ID_TASK_DELETE);
  const std::wstring text = no.Text();
  EXPECT_LT(text.size(), 512u);
  EXPECT_NE(text.find(L"\u2026\u201D"), std::wstring::npos);
}

TEST_F(Commands, UpAndDownMoveTasksAndRowsTogether) {
  Queue(L"a", TASK_QUEUED);
  Queue(L"b", TASK_QUEUED);
  Queue(L"c", TASK_QUEUED);
  Select(0);
  EXPECT_FALSE(Enabled(ID_TASK_UP));
  EXPECT_TRUE(Enabled(ID_TASK_DOWN));
  Command(ID_TASK_UP);  // Up on the first does nothing
  EXPECT_EQ(Titles(), (std::vector<std::wstring>{L"a", L"b", L"c"}));
  Command(ID_TASK_DOWN);
  EXPECT_EQ(Titles(), (std::vector<std::wstring>{L"b", L"a", L"c"}));
  EXPECT_EQ(control_.Task(0).title, L"b");
  EXPECT_EQ(control_.Task(1).title, L"a");
  for (int row = 0; row < 3; ++row) EXPECT_EQ(control_.RowTaskId(row), control_.Task(row).id);
  Command(ID_TASK_DOWN);
  Command(ID_TASK_DOWN);  // already last
  EXPECT_EQ(Titles(), (std::vector<std::wstring>{L"b", L"c", L"a"}));
}

TEST_F(Commands, StartAndPauseFollowTheSlotsAndTheEngine) {
  Queue(L"paused", TASK_PAUSED);
  Queue(L"failed", TASK_ERR_CONNECT);
  for (int i = 0; i < 4; ++i) Queue((L"busy" + std::to_wstring(i)).c_str(), TASK_UPLOADING);
  CountingEngine engine;
  control_.Task(0).engine = &engine;
  for (int i = 2; i < 6; ++i) control_.TakeSlot(i);  // every slot taken

  Select(0);
  EXPECT_TRUE(Enabled(ID_TASK_START));
  EXPECT_FALSE(Enabled(ID_TASK_PAUSE));
  Command(ID_TASK_START);
  EXPECT_EQ(control_.Task(0).state, static_cast<DWORD>(TASK_QUEUED)) << "no free slot: it waits, keeping its engine";
  EXPECT_EQ(engine.starts, 0);
  EXPECT_EQ(control_.Cell(0, 0), L"排队");

  control_.Task(0).state = TASK_PAUSED;
  control_.GiveSlot(5);
  Command(ID_TASK_START);
  EXPECT_EQ(engine.starts, 1);
  EXPECT_EQ(control_.Task(0).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(control_.RunningCount(), 4);
  Select(0);
  EXPECT_TRUE(Enabled(ID_TASK_PAUSE));
  Command(ID_TASK_PAUSE);
  EXPECT_EQ(engine.pauses, 1);
  EXPECT_EQ(control_.Task(0).state, static_cast<DWORD>(TASK_PAUSED));
  EXPECT_EQ(control_.RunningCount(), 3);

  // A failed task without an engine gives its slot back and is queued again.
  control_.TakeSlot(1);
  control_.Task(1).retries = 5;
  Select(1);
  Command(ID_TASK_START);
  EXPECT_EQ(control_.Task(1).state, static_cast<DWORD>(TASK_QUEUED));
  EXPECT_EQ(control_.Task(1).retries, 0u);
  EXPECT_EQ(control_.RunningCount(), 3);
  control_.Task(0).engine.Detach();
}

TEST_F(Commands, ClicksOnEmptySpaceShowNoMenuAndDisableStartAndPause) {
  Queue(L"a", TASK_PAUSED);
  Select(0);
  EXPECT_TRUE(Enabled(ID_TASK_START));
  NMITEMACTIVATE click = {};
  click.hdr.hwndFrom = control_.List();
  click.hdr.idFrom = IDC_TASK_LIST;
  click.hdr.code = NM_RCLICK;
  click.iItem = -1;
  SendMessageW(Window(), WM_NOTIFY, IDC_TASK_LIST, reinterpret_cast<LPARAM>(&click));
  EXPECT_FALSE(Enabled(ID_TASK_START));
  EXPECT_FALSE(Enabled(ID_TASK_PAUSE));
  EXPECT_TRUE(Enabled(ID_TASK_DELETE)) << "a row is still selected";
}

// The selection the commands act on, while the scheduler changes rows beside it.
class Selection : public Commands {
 protected:
  // A click on a row's status cell, with Ctrl held or not, as the mouse gives it.
  void Click(int row, bool ctrl) {
    RECT bounds = {};
    bounds.left = LVIR_BOUNDS;
    SendMessageW(control_.List(), LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&bounds));
    const LPARAM at = MAKELPARAM(bounds.left + 10, (bounds.top + bounds.bottom) / 2);
    const WPARAM keys = ctrl ? MK_CONTROL : 0;
    SendMessageW(control_.List(), WM_LBUTTONDOWN, keys | MK_LBUTTON, at);
    SendMessageW(control_.List(), WM_LBUTTONUP, keys, at);
  }
  LONG Selected() { return control_.Object().SelectedTaskId(); }
  LONG IdOf(int row) { return static_cast<LONG>(control_.RowTaskId(row)); }
};

TEST_F(Selection, ATickThatChangesAnotherRowLeavesTheSelectedTaskAndTheButtonsAlone) {
  Queue(L"paused", TASK_PAUSED);
  Queue(L"waiting", TASK_QUEUED);
  Select(0);
  ASSERT_EQ(Selected(), IdOf(0));
  ASSERT_TRUE(Enabled(ID_TASK_START));
  SendMessageW(Window(), WM_TIMER, 0, 0);  // the tick starts the waiting task
  ASSERT_EQ(control_.Cell(1, 0), L"上传");
  EXPECT_EQ(Selected(), IdOf(0));
  EXPECT_TRUE(Enabled(ID_TASK_START)) << "Start still describes the paused task";
  EXPECT_FALSE(Enabled(ID_TASK_PAUSE));
  EXPECT_FALSE(Enabled(ID_TASK_UP));
  Command(ID_TASK_PAUSE);  // Pause acts on the selected task, not on the one that started
  EXPECT_EQ(control_.Task(1).state, static_cast<DWORD>(TASK_UPLOADING));
  EXPECT_EQ(CountCalls(script_, L"PauseTransfer"), 0);
}

TEST_F(Selection, CtrlClicksNameOnlyTheRowThatStaysSelected) {
  Queue(L"paused", TASK_PAUSED);
  Queue(L"queued", TASK_QUEUED);
  Click(0, false);
  ASSERT_EQ(Selected(), IdOf(0));
  Click(1, true);  // both rows selected
  EXPECT_FALSE(Enabled(ID_TASK_START));
  Click(0, true);  // the first row off: the second is the one selected
  ASSERT_FALSE(RowSelected(0));
  ASSERT_TRUE(RowSelected(1));
  EXPECT_EQ(Selected(), IdOf(1));
  EXPECT_FALSE(Enabled(ID_TASK_START)) << "the buttons describe the queued task";
  EXPECT_TRUE(Enabled(ID_TASK_UP));

  Click(0, true);  // the first row on and off again: the second stays the selected one
  Click(0, true);
  EXPECT_EQ(Selected(), IdOf(1));
  Click(1, true);  // the last selected row off: no task is selected, none other named
  ASSERT_EQ(SendMessageW(control_.List(), LVM_GETSELECTEDCOUNT, 0, 0), 0);
  EXPECT_EQ(Selected(), -1);
  EXPECT_FALSE(Enabled(ID_TASK_START));
  EXPECT_FALSE(Enabled(ID_TASK_UP));
  EXPECT_FALSE(Enabled(ID_TASK_DOWN));
  Command(ID_TASK_UP);  // Up moves nothing
  EXPECT_EQ(Titles(), (std::vector<std::wstring>{L"paused", L"queued"}));
}

}  // namespace
