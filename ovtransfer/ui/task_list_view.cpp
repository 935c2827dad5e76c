// The task list: its columns and one row per task, in list order, found by the task id in
// each row's item data.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "../control/ov_transfer_control.h"
#include "resource_ids.h"

namespace {

struct Column {
  const wchar_t* header;
  int width;
};
constexpr Column kColumns[] = {{L"状态", 60}, {L"远程路径", 120}, {L"进度", 160}, {L"地址", 160}};

DWORD RowTaskId(HWND list, int row) {
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  return SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) ? static_cast<DWORD>(item.lParam)
                                                                               : static_cast<DWORD>(-1);
}

// The row whose item data is the task id, or -1. Ids are unique, and the row at the task's
// own index is that row whenever rows and tasks are in step, so it is looked at before a scan.
int FindTaskRow(HWND list, DWORD task_id, int hint) {
  const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  if (hint >= 0 && hint < rows && RowTaskId(list, hint) == task_id) return hint;
  for (int row = 0; row < rows; ++row)
    if (RowTaskId(list, row) == task_id) return row;
  return -1;
}

std::wstring CellText(HWND list, int row, int column) {
  wchar_t text[32] = {};
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 32;
  SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  return text;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

void SetCellText(HWND list, int row, int column, const std::wstring& text) {
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

}  // namespace

void COvTransferControl::InitTaskList() {
  ListWindow_ = GetDlgItem(window_, IDC_TASK_LIST);
  SendMessageW(ListWindow_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_SUBITEMIMAGES | LVS_EX_GRIDLINES);
  for (int i = 0; i < 4; ++i) {
    LVCOLUMNW column = {};
    column.mask = LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.cx = kColumns[i].width;
    column.pszText = const_cast<wchar_t*>(kColumns[i].header);
    SendMessageW(ListWindow_, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
}

HRESULT COvTransferControl::InsertTaskRow(const UploadTask& task, int row) {  // -1 appends
  // No window (the container took it away): there is no row to make; the task gets its row
  // when the window is made again.
  if (!ListWindow_) return S_FALSE;
  if (row == -1) row = static_cast<int>(SendMessageW(ListWindow_, LVM_GETITEMCOUNT, 0, 0));
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = row;
  item.pszText = const_cast<wchar_t*>(L"排队");
  item.lParam = static_cast<LPARAM>(task.id);
  row = static_cast<int>(SendMessageW(ListWindow_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (row == -1) return E_FAIL;
  SetCellText(ListWindow_, row, 1, task.title);
  SetCellText(ListWindow_, row, 3, task.address_text + L" : " + std::to_wstring(task.port));
  SetCellText(ListWindow_, row, 2, std::to_wstring(static_cast<LONG>(task.progress)));
  return S_OK;
}

HRESULT COvTransferControl::DeleteTaskRow(DWORD task_id) {
  if (!ListWindow_) return E_FAIL;
  const int row = FindTaskRow(ListWindow_, task_id, queue_.FindTaskIndex(task_id));
  if (row < 0) return E_FAIL;
  SendMessageW(ListWindow_, LVM_DELETEITEM, row, 0);
  return S_OK;
}

HRESULT COvTransferControl::UpdateTaskRow(const UploadTask& task, int index) {
  if (!ListWindow_) return E_FAIL;
  const int row = FindTaskRow(ListWindow_, task.id, index >= 0 ? index : queue_.FindTaskIndex(task.id));
  if (row < 0) return E_FAIL;
  // Texts are written only when they change, so the one-second refresh does not repaint.
  const std::wstring status = StatusText(task.state);
  if (!SameText(CellText(ListWindow_, row, 0), status)) SetCellText(ListWindow_, row, 0, status);
  const std::wstring progress = std::to_wstring(static_cast<LONG>(task.progress));
  if (!SameText(CellText(ListWindow_, row, 2), progress)) SetCellText(ListWindow_, row, 2, progress);
  return S_OK;
}

HRESULT COvTransferControl::ScrollToActiveTask() {
  const auto& tasks = queue_.Tasks();
  for (size_t i = 0; i < tasks.size(); ++i) {
    const DWORD s = tasks[i].state;
    if (s != TASK_NEW && s != TASK_QUEUED && s != TASK_RESTORED && s != TASK_UPLOADING) continue;
    if (!ListWindow_ || SendMessageW(ListWindow_, LVM_GETITEMCOUNT, 0, 0) == 0) return E_FAIL;
    // The row at the task's index shows it while rows and tasks are in step; the whole row comes into view.
    if (RowTaskId(ListWindow_, static_cast<int>(i)) == tasks[i].id)
      SendMessageW(ListWindow_, LVM_ENSUREVISIBLE, i, FALSE);
    return S_OK;
  }
  return S_OK;
}

LRESULT COvTransferControl::DrawProgressCell(NMLVCUSTOMDRAW* draw) {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
      if (draw->iSubItem == 2) break;
      return CDRF_DODEFAULT;
    default:
      return CDRF_DODEFAULT;
  }
  const int row = static_cast<int>(draw->nmcd.dwItemSpec);
  RECT cell = {};
  cell.top = 2;
  cell.left = LVIR_BOUNDS;
  SendMessageW(ListWindow_, LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(&cell));
  const int index = queue_.FindTaskIndex(RowTaskId(ListWindow_, row));
  if (index < 0) return CDRF_DODEFAULT;
  const UploadTask& task = queue_.At(static_cast<size_t>(index));
  const unsigned percent = LOWORD(task.progress), tenths = HIWORD(task.progress);
  float fraction = static_cast<float>(percent / 100.0 + tenths / 1000.0);
  if (task.total_size == 0 && task.state == TASK_DONE) fraction = 1.0f;
  RECT bar = cell;
  bar.right = cell.left + static_cast<LONG>(static_cast<float>((cell.right - cell.left) * fraction));
  HBRUSH brush = CreateSolidBrush(row % 2 == 0 ? RGB(161, 207, 104) : RGB(0, 164, 88));
  HDC dc = draw->nmcd.hdc;
  FillRect(dc, &cell, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  FillRect(dc, &bar, brush);
  DrawEdge(dc, &cell, EDGE_SUNKEN, BF_RECT);
  // Over the bar the text must not paint its own background.
  const int mode = SetBkMode(dc, TRANSPARENT);
  const std::wstring text = std::to_wstring(percent) + L"." + std::to_wstring(tenths) + L"%";
  DrawTextW(dc, text.c_str(), -1, &cell, DT_CENTER);
  SetBkMode(dc, mode);
  DeleteObject(brush);
  return CDRF_SKIPDEFAULT;
}

void COvTransferControl::LayoutControls(int width, int height) {
  const auto item = [this](int id) { return GetDlgItem(window_, id); };
  const int side[] = {ID_TASK_UP, ID_TASK_DOWN, ID_TASK_START, ID_TASK_PAUSE, ID_TASK_DELETE, IDC_COUNT_LABEL,
                      IDC_COUNT_COMBO, IDC_RATE_LABEL, IDC_RATE_COMBO};
  if (width <= GetSystemMetrics(SM_CXSCREEN) / 4 || width <= 300) {
    for (int id : side) ShowWindow(item(id), SW_HIDE);
    MoveWindow(ListWindow_, 0, 0, width, height, TRUE);
    return;
  }
  for (int id : side) ShowWindow(item(id), SW_SHOW);
  if (!EnabledRate_) {
    ShowWindow(item(IDC_RATE_LABEL), SW_HIDE);
    ShowWindow(item(IDC_RATE_COMBO), SW_HIDE);
  }
  MoveWindow(ListWindow_, 30, 0, width - 165, height, TRUE);
  const int others = static_cast<int>(SendMessageW(ListWindow_, LVM_GETCOLUMNWIDTH, 0, 0) +
                                      SendMessageW(ListWindow_, LVM_GETCOLUMNWIDTH, 2, 0) +
                                      SendMessageW(ListWindow_, LVM_GETCOLUMNWIDTH, 3, 0));
  const int title_width = (width - 165) - others - 25;
  SendMessageW(ListWindow_, LVM_SETCOLUMNWIDTH, 1, title_width > 0 ? title_width : 50);
  struct Place {
    int id, x, y, cx, cy;
  };
  const Place places[] = {{ID_TASK_UP, 5, 0, 20, 20},
                          {ID_TASK_DOWN, 5, 25, 20, 20},
                          {ID_TASK_START, width - 130, 0, 40, 26},
                          {ID_TASK_PAUSE, width - 130, 33, 40, 26},
                          {ID_TASK_DELETE, width - 130, 66, 40, 26},
                          {IDC_COUNT_LABEL, width - 85, 2, 80, 15},
                          {IDC_COUNT_COMBO, width - 85, 20, 80, 80},
                          {IDC_RATE_LABEL, width - 85, 47, 80, 15},
                          {IDC_RATE_COMBO, width - 85, 65, 80, 80}};
  for (const Place& p : places) MoveWindow(item(p.id), p.x, p.y, p.cx, p.cy, TRUE);
  InvalidateRect(window_, nullptr, TRUE);
}
