// What the user does with queued uploads: Start, Pause, Delete (and its variants), Select
// all, Up and Down, from the buttons, the context menu and the Delete key.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "../com/module_lock.h"
#include "../ui/resource_ids.h"
#include "ov_transfer_control.h"

namespace {

constexpr wchar_t kConfirmTitle[] = L"确认删除";
constexpr UINT kConfirmType = MB_YESNO | MB_ICONINFORMATION;
constexpr size_t kQuestionCapacity = 512;

// The single-task question always fits its 512 characters: a long title is shortened
// with an ellipsis.
std::wstring SingleTaskQuestion(const std::wstring& title) {
  const std::wstring before = L"\u201C", after = L"\u201D未完成上传\uFF0C确定要删除\uFF1F";
  const size_t room = kQuestionCapacity - 1 - before.size() - after.size();
  std::wstring shown = title;
  if (shown.size() > room) shown = shown.substr(0, room - 1) + L"\u2026";
  return before + shown + after;
}

void EnableMenuCommand(HMENU menu, UINT id, bool enable) {
  EnableMenuItem(menu, id, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

}  // namespace

bool COvTransferControl::Confirm(const std::wstring& question) {
  HWND owner = window_;
  if (!owner && in_place_site_) in_place_site_->GetWindow(&owner);
  return MessageBoxW(owner, question.c_str(), kConfirmTitle, kConfirmType) == IDYES;
}

void COvTransferControl::TaskPosition(size_t index, bool* not_first, bool* not_last) const {
  *not_first = index != 0;
  *not_last = index + 1 != queue_.Size();
}

void COvTransferControl::UpdateButtonsFor(size_t index) {
  bool not_first = false, not_last = false;
  TaskPosition(index, &not_first, &not_last);
  UpdateCommandButtons(static_cast<LONG>(queue_.At(index).state), not_first, not_last);
}

LRESULT COvTransferControl::OnListNotify(NMHDR* header) {
  switch (header->code) {
    case NM_CUSTOMDRAW:
      return DrawProgressCell(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
    case NM_CLICK:
      if (reinterpret_cast<NMITEMACTIVATE*>(header)->iItem == -1) UpdateCommandButtons(-1, false, false);
      return 0;
    case NM_RCLICK:
      ShowTaskMenu(reinterpret_cast<NMITEMACTIVATE*>(header)->iItem);
      return 0;
    case LVN_ITEMCHANGED:
      OnSelectionChanged(*reinterpret_cast<NMLISTVIEW*>(header));
      return 0;
    case LVN_KEYDOWN:
      if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_DELETE) DeleteSelected();
      return 0;
  }
  return 0;
}

void COvTransferControl::OnSelectionChanged(const NMLISTVIEW& change) {
  // Only the user's selection names the task: a row's text changing on a tick, or the focus
  // moving, is no selection; and the task is the row that is selected, not the row that
  // changed (a Ctrl-click takes the selection off the row it names).
  if (change.iItem == -1 || !(change.uChanged & LVIF_STATE) || !((change.uNewState ^ change.uOldState) & LVIS_SELECTED))
    return;
  const int row = view_.FirstSelectedRow();
  if (row < 0 || view_.SelectedRowCount() != 1) {
    SelectedTaskId_ = -1;  // no single task is selected: the commands have none to act on
    UpdateCommandButtons(-1, false, false);
    return;
  }
  SelectedTaskId_ = static_cast<LONG>(view_.RowTaskId(row));
  const int index = queue_.FindTaskIndex(static_cast<DWORD>(SelectedTaskId_));
  if (index >= 0) UpdateButtonsFor(static_cast<size_t>(index));
}

void COvTransferControl::ShowTaskMenu(int row) {
  if (row == -1) {
    UpdateCommandButtons(-1, false, false);
    return;
  }
  SelectedTaskId_ = -1;
  const int selected = view_.SelectedRowCount();
  const bool all_selected = selected == view_.RowCount();
  LONG state = -1;
  bool not_first = false, not_last = false;
  if (selected == 1) {
    SelectedTaskId_ = static_cast<LONG>(view_.RowTaskId(row));
    const int index = queue_.FindTaskIndex(static_cast<DWORD>(SelectedTaskId_));
    if (index < 0) return;
    state = static_cast<LONG>(queue_.At(static_cast<size_t>(index)).state);
    TaskPosition(static_cast<size_t>(index), &not_first, &not_last);
  }
  HMENU menu = LoadMenuW(com::ThisModule(), MAKEINTRESOURCEW(IDR_TASK_MENU));
  if (!menu) return;
  HMENU popup = GetSubMenu(menu, 0);
  EnableMenuCommand(popup, ID_TASK_SELECT_ALL, !all_selected);
  for (UINT id : {ID_TASK_DELETE, ID_TASK_DELETE_FINISHED, ID_TASK_DELETE_FAILED}) EnableMenuCommand(popup, id, true);
  const DWORD s = static_cast<DWORD>(state);
  EnableMenuCommand(popup, ID_TASK_START, s == TASK_PAUSED || IsErrorState(s));
  EnableMenuCommand(popup, ID_TASK_PAUSE, s == TASK_UPLOADING);
  EnableMenuCommand(popup, ID_TASK_UP, not_first);
  EnableMenuCommand(popup, ID_TASK_DOWN, not_last);
  UpdateCommandButtons(state, not_first, not_last);
  POINT at;
  GetCursorPos(&at);
  TrackPopupMenu(popup, TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
  DestroyMenu(menu);
}

int COvTransferControl::SelectedTaskIndex() {
  if (SelectedTaskId_ == -1) return -1;
  const int index = queue_.FindTaskIndex(static_cast<DWORD>(SelectedTaskId_));
  if (index < 0) SelectedTaskId_ = -1;  // the task has gone meanwhile
  return index;
}

void COvTransferControl::OnTaskCommand(UINT id) {
  switch (id) {
    case ID_TASK_START:
      return StartSelected();
    case ID_TASK_PAUSE:
      return PauseSelected();
    case ID_TASK_DELETE:
      return DeleteSelected();
    case ID_TASK_DELETE_FINISHED:
      return DeleteWhere(L"确实要删除已经完成的项目吗?", [](DWORD s) { return s == TASK_DONE; });
    case ID_TASK_DELETE_FAILED:
      return DeleteWhere(L"确实要删除发生错误的项目吗?", [](DWORD s) {
        return s != TASK_QUEUED && s != TASK_UPLOADING && s != TASK_PAUSED && s != TASK_DONE && s != TASK_RESTORED;
      });
    case ID_TASK_SELECT_ALL:
      for (int row = 0, rows = view_.RowCount(); row < rows; ++row) view_.SetRowSelected(row);
      return;
    case ID_TASK_UP:
    case ID_TASK_DOWN:
      return MoveSelected(id == ID_TASK_UP ? -1 : 1);
  }
}

void COvTransferControl::StartSelected() {
  const int index = SelectedTaskIndex();
  if (index < 0) return;
  UploadTask& task = queue_.At(static_cast<size_t>(index));
  scheduler_.Resume(task);
  UpdateButtonsFor(static_cast<size_t>(index));
  UpdateTaskRow(task);
  SelectTaskRow(static_cast<DWORD>(SelectedTaskId_));
}

void COvTransferControl::PauseSelected() {
  const int index = SelectedTaskIndex();
  if (index < 0) return;
  UploadTask& task = queue_.At(static_cast<size_t>(index));
  scheduler_.Pause(task);
  UpdateButtonsFor(static_cast<size_t>(index));
  SelectTaskRow(static_cast<DWORD>(SelectedTaskId_));
}

void COvTransferControl::DeleteSelected() {
  if (!view_.ListWindow()) return;
  const int selected = view_.SelectedRowCount();
  if (selected == 0) return;
  int reselect = -1;
  if (selected == 1) {
    for (int row = 0, rows = view_.RowCount(); row < rows && reselect < 0; ++row)
      if (view_.RowSelected(row)) reselect = row;
    SelectedTaskId_ = static_cast<LONG>(view_.RowTaskId(reselect));
    const int index = SelectedTaskIndex();
    if (index < 0) return;
    const UploadTask& task = queue_.At(static_cast<size_t>(index));
    if (task.state != TASK_DONE && !Confirm(SingleTaskQuestion(task.title))) {
      SelectedTaskId_ = -1;
      return;
    }
  } else if (!Confirm(L"确实要删除这些选中的项目吗?")) {
    SelectedTaskId_ = -1;
    return;
  }
  // The question ran its own message loop: rows and tasks are looked up again.
  for (int row = view_.RowCount() - 1; row >= 0; --row) {
    if (!view_.RowSelected(row)) continue;
    const int index = queue_.FindTaskIndex(view_.RowTaskId(row));
    if (index < 0) continue;
    queue_.RemoveTaskAt(static_cast<size_t>(index));
    view_.DeleteRow(row);
  }
  SelectedTaskId_ = -1;
  SaveTasks();
  if (reselect >= 0 && reselect < view_.RowCount()) view_.SetRowSelected(reselect);
}

void COvTransferControl::DeleteWhere(const wchar_t* question, bool (*matches)(DWORD state)) {
  if (!Confirm(question)) {
    SelectedTaskId_ = -1;
    return;
  }
  for (int row = 0; view_.ListWindow() && row < view_.RowCount();) {
    const int index = queue_.FindTaskIndex(view_.RowTaskId(row));
    if (index >= 0 && matches(queue_.At(static_cast<size_t>(index)).state)) {
      queue_.RemoveTaskAt(static_cast<size_t>(index));
      view_.DeleteRow(row);
    } else {
      ++row;
    }
  }
  SaveTasks();
  UpdateCommandButtons(-1, false, false);
}

void COvTransferControl::MoveSelected(int step) {
  const int index = SelectedTaskIndex();
  if (index < 0) return;
  const int to = index + step;
  if (to < 0 || to >= static_cast<int>(queue_.Size())) return;
  const DWORD neighbour = queue_.At(static_cast<size_t>(to)).id;
  // The row is taken out and put back, so its selection goes and with it SelectedTaskId;
  // selecting the moved row again brings both back.
  const DWORD moving = static_cast<DWORD>(SelectedTaskId_);
  queue_.MoveTask(static_cast<size_t>(index), static_cast<size_t>(to));
  MoveTaskRow(moving, neighbour);
  SelectTaskRow(moving);
  SaveTasks();
}
