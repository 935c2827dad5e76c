#include "task_list_view.h"

#include <string>

#include "../com/text.h"
#include "../com/unique.h"
#include "resource_ids.h"

namespace {

struct Column {
  const wchar_t* header;
  int width;
};
constexpr Column kColumns[] = {{L"状态", 60}, {L"远程路径", 120}, {L"进度", 160}, {L"地址", 160}};

struct Choice {
  const wchar_t* text;
  DWORD value;
};

constexpr Choice TASK_COUNT_CHOICES[] = {{L"1", 1}, {L"2", 2}, {L"4", 4}, {L"6", 6}, {L"8", 8}, {L"10", 10}};
constexpr Choice RATE_CHOICES[] = {{L"100K bps", 100}, {L"200K bps", 200}, {L"400K bps", 400}, {L"600K bps", 600},
                                   {L"800K bps", 800}, {L"1M bps", 1024},  {L"2M bps", 2048},  {L"4M bps", 4096},
                                   {L"8M bps", 8192},  {L"无限制", 0}};
constexpr int kDefaultRateIndex = 6;   // "2M bps"
constexpr int kDefaultCountIndex = 2;  // "4"

// Fills a list and selects the entry of value; a value not among the choices becomes the default.
template <size_t N>
DWORD FillChoices(HWND combo, const Choice (&choices)[N], DWORD value, int default_index) {
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  int selected = -1;
  for (size_t i = 0; i < N; ++i) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choices[i].text));
    if (selected < 0 && choices[i].value == value) selected = static_cast<int>(i);
  }
  if (selected < 0) selected = default_index;
  SendMessageW(combo, CB_SETCURSEL, selected, 0);
  return choices[selected].value;
}

template <size_t N>
bool Chosen(HWND combo, const Choice (&choices)[N], DWORD* value) {
  const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  if (index < 0 || static_cast<size_t>(index) >= N) return false;
  *value = choices[index].value;
  return true;
}

DWORD ItemTaskId(HWND list, int row) {
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
  if (hint >= 0 && hint < rows && ItemTaskId(list, hint) == task_id) return hint;
  for (int row = 0; row < rows; ++row)
    if (ItemTaskId(list, row) == task_id) return row;
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

void SetCellText(HWND list, int row, int column, const std::wstring& text) {
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

}  // namespace

void CTaskListView::Attach(HWND dialog) {
  dialog_ = dialog;
  ListWindow_ = GetDlgItem(dialog, IDC_TASK_LIST);
  RateCombo_ = GetDlgItem(dialog, IDC_RATE_COMBO);
  CountCombo_ = GetDlgItem(dialog, IDC_COUNT_COMBO);
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

HRESULT CTaskListView::InsertTaskRow(const UploadTask& task, int row) {
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

HRESULT CTaskListView::DeleteTaskRow(DWORD task_id) {
  if (!ListWindow_) return E_FAIL;
  const int row = FindTaskRow(ListWindow_, task_id, queue_.FindTaskIndex(task_id));
  if (row < 0) return E_FAIL;
  SendMessageW(ListWindow_, LVM_DELETEITEM, row, 0);
  return S_OK;
}

HRESULT CTaskListView::UpdateTaskRow(const UploadTask& task, int index) {
  if (!ListWindow_) return E_FAIL;
  const int row = FindTaskRow(ListWindow_, task.id, index >= 0 ? index : queue_.FindTaskIndex(task.id));
  if (row < 0) return E_FAIL;
  // Texts are written only when they change, so the one-second refresh does not repaint.
  const std::wstring status = StatusText(task.state);
  if (!com::SameText(CellText(ListWindow_, row, 0), status)) SetCellText(ListWindow_, row, 0, status);
  const std::wstring progress = std::to_wstring(static_cast<LONG>(task.progress));
  if (!com::SameText(CellText(ListWindow_, row, 2), progress)) SetCellText(ListWindow_, row, 2, progress);
  return S_OK;
}

HRESULT CTaskListView::ScrollToActiveTask() {
  const auto& tasks = queue_.Tasks();
  for (size_t i = 0; i < tasks.size(); ++i) {
    const DWORD s = tasks[i].state;
    if (s != TASK_NEW && s != TASK_QUEUED && s != TASK_RESTORED && s != TASK_UPLOADING) continue;
    if (!ListWindow_ || SendMessageW(ListWindow_, LVM_GETITEMCOUNT, 0, 0) == 0) return E_FAIL;
    // The row at the task's index shows it while rows and tasks are in step; the whole row comes into view.
    if (ItemTaskId(ListWindow_, static_cast<int>(i)) == tasks[i].id)
      SendMessageW(ListWindow_, LVM_ENSUREVISIBLE, i, FALSE);
    return S_OK;
  }
  return S_OK;
}

LRESULT CTaskListView::DrawProgressCell(NMLVCUSTOMDRAW* draw) {
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
  const int index = queue_.FindTaskIndex(ItemTaskId(ListWindow_, row));
  if (index < 0) return CDRF_DODEFAULT;
  const UploadTask& task = queue_.Tasks()[static_cast<size_t>(index)];
  const unsigned percent = LOWORD(task.progress), tenths = HIWORD(task.progress);
  float fraction = static_cast<float>(percent / 100.0 + tenths / 1000.0);
  if (task.total_size == 0 && task.state == TASK_DONE) fraction = 1.0f;
  RECT bar = cell;
  bar.right = cell.left + static_cast<LONG>(static_cast<float>((cell.right - cell.left) * fraction));
  com::UniqueGdi<HBRUSH> brush(CreateSolidBrush(row % 2 == 0 ? RGB(161, 207, 104) : RGB(0, 164, 88)));
  HDC dc = draw->nmcd.hdc;
  FillRect(dc, &cell, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  FillRect(dc, &bar, brush.Get());
  DrawEdge(dc, &cell, EDGE_SUNKEN, BF_RECT);
  // Over the bar the text must not paint its own background.
  const int mode = SetBkMode(dc, TRANSPARENT);
  const std::wstring text = std::to_wstring(percent) + L"." + std::to_wstring(tenths) + L"%";
  DrawTextW(dc, text.c_str(), -1, &cell, DT_CENTER);
  SetBkMode(dc, mode);
  return CDRF_SKIPDEFAULT;
}

void CTaskListView::LayoutControls(int width, int height, bool rate_shown) {
  const auto item = [this](int id) { return GetDlgItem(dialog_, id); };
  const int side[] = {ID_TASK_UP, ID_TASK_DOWN, ID_TASK_START, ID_TASK_PAUSE, ID_TASK_DELETE, IDC_COUNT_LABEL,
                      IDC_COUNT_COMBO, IDC_RATE_LABEL, IDC_RATE_COMBO};
  if (width <= GetSystemMetrics(SM_CXSCREEN) / 4 || width <= 300) {
    for (int id : side) ShowWindow(item(id), SW_HIDE);
    MoveWindow(ListWindow_, 0, 0, width, height, TRUE);
    return;
  }
  for (int id : side) ShowWindow(item(id), SW_SHOW);
  if (!rate_shown) {
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
  InvalidateRect(dialog_, nullptr, TRUE);
}

void CTaskListView::DeleteAllRows() {
  if (ListWindow_) SendMessageW(ListWindow_, LVM_DELETEALLITEMS, 0, 0);
}

int CTaskListView::RowCount() const { return static_cast<int>(SendMessageW(ListWindow_, LVM_GETITEMCOUNT, 0, 0)); }

int CTaskListView::SelectedRowCount() const {
  return static_cast<int>(SendMessageW(ListWindow_, LVM_GETSELECTEDCOUNT, 0, 0));
}

bool CTaskListView::RowSelected(int row) const {
  return SendMessageW(ListWindow_, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED;
}

void CTaskListView::SetRowSelected(int row) const {
  LVITEMW item = {};
  item.stateMask = LVIS_SELECTED;
  item.state = LVIS_SELECTED;
  SendMessageW(ListWindow_, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

int CTaskListView::FirstSelectedRow() const {
  return static_cast<int>(SendMessageW(ListWindow_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

DWORD CTaskListView::RowTaskId(int row) const { return ItemTaskId(ListWindow_, row); }

void CTaskListView::DeleteRow(int row) const { SendMessageW(ListWindow_, LVM_DELETEITEM, row, 0); }

HRESULT CTaskListView::SelectTaskRow(DWORD task_id) {
  const int rows = ListWindow_ ? RowCount() : 0;
  for (int row = 0; row < rows; ++row)
    if (RowTaskId(row) == task_id) {
      SetRowSelected(row);
      SendMessageW(ListWindow_, LVM_ENSUREVISIBLE, row, TRUE);
      return S_OK;
    }
  return E_FAIL;
}

HRESULT CTaskListView::MoveTaskRow(DWORD task_id, DWORD neighbour_id) {
  if (!ListWindow_ || RowCount() == 0) return E_FAIL;
  int row = -1, target = -1;
  for (int r = 0, rows = RowCount(); r < rows; ++r) {
    const DWORD id = RowTaskId(r);
    if (id == task_id && row < 0) row = r;
    if (id == neighbour_id && target < 0) target = r;
  }
  if (row < 0 || target < 0) return E_FAIL;
  const int index = queue_.FindTaskIndex(task_id);
  if (index < 0) return S_OK;
  const UploadTask& task = queue_.Tasks()[static_cast<size_t>(index)];
  DeleteTaskRow(task_id);
  InsertTaskRow(task, target);
  UpdateTaskRow(task);
  return S_OK;
}

void CTaskListView::UpdateCommandButtons(LONG state, bool not_first, bool not_last) {
  if (!dialog_) return;
  const auto enable = [this](int id, bool on) { EnableWindow(GetDlgItem(dialog_, id), on); };
  enable(ID_TASK_UP, not_first);
  enable(ID_TASK_DOWN, not_last);
  if (state == -1) {
    enable(ID_TASK_START, false);
    enable(ID_TASK_PAUSE, false);
    enable(ID_TASK_DELETE, SelectedRowCount() > 0);
  }
  const DWORD s = static_cast<DWORD>(state);
  if (s == TASK_QUEUED || s == TASK_DONE || s == TASK_UPLOADING || s == TASK_PAUSED || IsErrorState(s)) {
    enable(ID_TASK_START, s == TASK_PAUSED || IsErrorState(s));
    enable(ID_TASK_PAUSE, s == TASK_UPLOADING);
    enable(ID_TASK_DELETE, true);
  }
}

ULONG CTaskListView::FillRateChoices(ULONG rate, bool shown) {
  const ULONG value = FillChoices(RateCombo_, RATE_CHOICES, rate, kDefaultRateIndex);
  const int show = shown ? SW_SHOW : SW_HIDE;
  ShowWindow(GetDlgItem(dialog_, IDC_RATE_LABEL), show);
  ShowWindow(RateCombo_, show);
  return value;
}

LONG CTaskListView::FillCountChoices(LONG count) {
  return static_cast<LONG>(FillChoices(CountCombo_, TASK_COUNT_CHOICES, static_cast<DWORD>(count), kDefaultCountIndex));
}

bool CTaskListView::ChosenValue(UINT combo_id, DWORD* value) const {
  return combo_id == IDC_COUNT_COMBO ? Chosen(CountCombo_, TASK_COUNT_CHOICES, value)
                                     : Chosen(RateCombo_, RATE_CHOICES, value);
}
