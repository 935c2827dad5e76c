// A control object of this test program, in place in a hidden container window, so tests
// reach both its scripting interface and its inner state.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "host/hosted_control.h"
#include "ovtransfer/control/ov_transfer_control.h"
#include "ovtransfer/ui/resource_ids.h"
#include "support/com_apartment.h"

namespace testing_support {

class HostedTestControl {
 public:
  explicit HostedTestControl(std::vector<host::PageParam> params = {});
  ~HostedTestControl();

  bool Active() const { return started_ == S_OK; }
  IOvTransferControl* Script() const { return script_.Get(); }
  COvTransferControl& Object() const { return *static_cast<COvTransferControl*>(script_.Get()); }
  host::HostedControl& Host() { return host_; }
  HWND List() const { return GetDlgItem(host_.ControlWindow(), IDC_TASK_LIST); }

  // One AddItem-family call with text arguments; returns lResult (initially `initial`).
  enum Method { kAddItem, kAddItem2, kAddItem3 };
  LONG Add(Method method, const wchar_t* title, const wchar_t* address, USHORT port, const std::wstring& primary,
           const std::wstring& secondary, const wchar_t* remote1, const wchar_t* remote2, ULONG style,
           LONG initial = 12345);

  // An entry of one of the two limit lists (IDC_COUNT_COMBO or IDC_RATE_COMBO), picked as a user picks it.
  void Choose(int combo_id, int index) const;

  // One tick of the scheduler's one-second timer.
  void Tick() const { SendMessageW(host_.ControlWindow(), WM_TIMER, 0, 0); }

  // True once the queue holds tasks and every one is done.
  bool AllTasksDone() const;

  // The queued tasks in list order, to look at or to set up a case.
  size_t TaskCount() const { return Object().Queue().Size(); }
  UploadTask& Task(size_t index) const { return Object().Queue().At(index); }
  UploadTask& LastTask() const { return Object().Queue().Tasks().back(); }
  LONG RunningCount() const { return Object().RunningCount(); }
  // The task counts as running, as if the scheduler had started it.
  void TakeSlot(size_t index) const { Object().Queue().TakeSlot(Task(index)); }
  void GiveSlot(size_t index) const { Object().Queue().GiveSlot(Task(index)); }
  // Takes the task out of the queue (engine and slot with it) while its row stays, as a
  // task gone between a job's start and its report.
  void RemoveTask(size_t index) const { Object().Queue().RemoveTaskAt(index); }

  int RowCount() const { return static_cast<int>(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0)); }
  std::wstring Cell(int row, int column) const;
  DWORD RowTaskId(int row) const;

 private:
  ComApartment apartment_;
  DWORD registration_ = 0;
  host::HostedControl host_;
  HRESULT started_ = E_FAIL;
  com::ComPtr<IOvTransferControl> script_;
};

}  // namespace testing_support
