// The task list of the control's window with its two limit lists and command buttons: one row
// per task in list order, found by the task id in each row's item data.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "../queue/task_queue.h"

class CTaskListView {
 public:
  explicit CTaskListView(const CTaskQueue& queue) : queue_(queue) {}

  // Takes the list and the limit lists of a new dialog and gives the list its columns.
  void Attach(HWND dialog);
  // The dialog has gone: every handle is forgotten.
  void Detach() { dialog_ = ListWindow_ = RateCombo_ = CountCombo_ = nullptr; }
  HWND ListWindow() const { return ListWindow_; }

  // S_OK; S_FALSE while there is no window (the next window lists the task); E_FAIL when
  // the list refuses the row. row -1 appends.
  HRESULT InsertTaskRow(const UploadTask& task, int row);
  HRESULT DeleteTaskRow(DWORD task_id);
  // index: the task's place in the queue when the caller knows it (saves a scan of the queue).
  HRESULT UpdateTaskRow(const UploadTask& task, int index = -1);
  void DeleteAllRows();
  // Brings the row of the first task still to do into view.
  HRESULT ScrollToActiveTask();
  LRESULT DrawProgressCell(NMLVCUSTOMDRAW* draw);
  // Places the list, the buttons and the limit lists for the dialog's new size; a narrow
  // window shows the list alone.
  void LayoutControls(int width, int height, bool rate_shown);

  HRESULT SelectTaskRow(DWORD task_id);
  // Moves the task's row to where the neighbour's row is (the queue has moved already).
  HRESULT MoveTaskRow(DWORD task_id, DWORD neighbour_id);

  int RowCount() const;
  int SelectedRowCount() const;
  bool RowSelected(int row) const;
  void SetRowSelected(int row) const;
  // The first selected row, or -1.
  int FirstSelectedRow() const;
  // The task id in the row's item data; (DWORD)-1 when there is no such row.
  DWORD RowTaskId(int row) const;
  void DeleteRow(int row) const;

  // Enables the command buttons for a task's state (-1: none chosen) and place in the list.
  void UpdateCommandButtons(LONG state, bool not_first, bool not_last);

  // The limit lists, filled with their choices; the value shown is the one given, or the
  // default when it is not among the choices. Each gives the value it shows.
  ULONG FillRateChoices(ULONG rate, bool shown);
  LONG FillCountChoices(LONG count);
  // The value the user picked in a limit list (IDC_RATE_COMBO or IDC_COUNT_COMBO).
  bool ChosenValue(UINT combo_id, DWORD* value) const;

 private:
  const CTaskQueue& queue_;
  HWND dialog_ = nullptr;
  HWND ListWindow_ = nullptr;
  HWND RateCombo_ = nullptr;
  HWND CountCombo_ = nullptr;
};
