// The control's window: dialog 104, its initialisation and the routing of its messages.
#include <windows.h>
#include <commctrl.h>

#include "../com/module_lock.h"
#include "../com/status.h"
#include "../outside/ovres.h"
#include "../outside/transfer_engine.h"
#include "../ui/resource_ids.h"
#include "ov_transfer_control.h"
#include "settings.h"

namespace {

constexpr UINT_PTR kTickTimer = 0;
constexpr UINT_PTR kSaveTimer = 1;

// A dialog procedure hands message results other than its return value through DWLP_MSGRESULT.
INT_PTR MessageResult(HWND window, LRESULT result) {
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}

}  // namespace

HRESULT COvTransferControl::CreateControlWindow(HWND parent, const RECT& position) {
  INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&classes);
  HWND window = CreateDialogParamW(com::ThisModule(), MAKEINTRESOURCEW(IDD_OVTRANSFER), parent, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
  if (!window) return com::LastErrorStatus();
  MoveWindow(window, position.left, position.top, position.right - position.left, position.bottom - position.top,
             FALSE);
  return S_OK;
}

INT_PTR CALLBACK COvTransferControl::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<COvTransferControl*>(GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<COvTransferControl*>(lparam);
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    self->window_ = window;
    self->JobReports_->SetWindow(window);
  }
  if (!self) return FALSE;
  bool handled = false;
  INT_PTR result = self->OnMessage(message, wparam, lparam, &handled);
  if (message == WM_NCDESTROY) {
    // The window may go without the container asking (its parent destroyed); forget it.
    self->JobReports_->SetWindow(nullptr);
    self->window_ = nullptr;
    self->view_.Detach();
    SetWindowLongPtrW(window, DWLP_USER, 0);
  }
  return handled ? result : FALSE;
}

INT_PTR COvTransferControl::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, bool* handled) {
  *handled = true;
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_TRANSFER_NOTIFY:
      OnTransferNotify(wparam, lparam);
      return TRUE;
    case snapshot::WM_JOB_REPORT:
      JobReports_->ApplyTo(queue_);
      return TRUE;
    case WM_SIZE:
      LayoutControls(LOWORD(lparam), HIWORD(lparam));
      return TRUE;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lparam);
      switch (header->idFrom == IDC_TASK_LIST ? header->code : 0) {
        case NM_CLICK:
        case NM_RCLICK:
        case NM_CUSTOMDRAW:
        case LVN_ITEMCHANGED:
        case LVN_KEYDOWN:
          return MessageResult(window_, OnListNotify(header));
      }
      break;
    }
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case ID_TASK_DELETE:
        case ID_TASK_PAUSE:
        case ID_TASK_START:
        case ID_TASK_UP:
        case ID_TASK_DOWN:
        case ID_TASK_SELECT_ALL:
        case ID_TASK_DELETE_FINISHED:
        case ID_TASK_DELETE_FAILED:
          OnTaskCommand(LOWORD(wparam));
          return TRUE;
        case IDC_COUNT_COMBO:
        case IDC_RATE_COMBO:
          if (HIWORD(wparam) != CBN_SELCHANGE) break;
          OnLimitChosen(LOWORD(wparam));
          return TRUE;
      }
      break;
    case WM_TIMER:
      if (wparam == kSaveTimer)
        SaveTasks();
      else
        SchedulerTick();
      return TRUE;
    // The standard composite-control handling: the container's background colour for the
    // dialog and its labels, and activation by mouse and focus.
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      if (!back_brush_) back_brush_.Reset(CreateSolidBrush(back_color_));
      SetBkColor(reinterpret_cast<HDC>(wparam), back_color_);
      return reinterpret_cast<INT_PTR>(back_brush_.Get());
    case WM_MOUSEACTIVATE:
      if (!ui_active_) InPlaceActivate(OLEIVERB_UIACTIVATE);
      return MessageResult(window_, MA_ACTIVATE);
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
      com::ComPtr<IOleControlSite> site;
      if (client_site_ && SUCCEEDED(client_site_.As(&site, IID_IOleControlSite)))
        site->OnFocus(message == WM_SETFOCUS);
      if (message == WM_SETFOCUS && !ui_active_) InPlaceActivate(OLEIVERB_UIACTIVATE);
      *handled = false;
      return FALSE;
    }
  }
  *handled = false;
  return FALSE;
}

BOOL COvTransferControl::OnInitDialog() {
  // The stored limits; a missing key or value leaves the field as it is.
  DWORD stored = 0;
  if (EnabledRate_ && settings::ReadDword(settings::kMaxUploadRate, &stored)) UploadRate_ = stored;
  if (settings::ReadDword(settings::kMaxTaskCount, &stored)) MaxTaskCount_ = static_cast<LONG>(stored);

  OVRES_InitGuidModule(com::ThisModule(), 0);

  // Network support: any failure is ignored and initialisation goes on.
  GUID buffer;
  const CLSID net_class = *OVRES_LoadGuid(&buffer, GUID_KEY_NETSUPPORT);
  com::ComPtr<INetSupport> net;
  if (SUCCEEDED(CoCreateInstance(net_class, nullptr, CLSCTX_INPROC_SERVER, IID_INetSupport, net.ReceiveVoid()))) {
    net->Startup(0x0202);
    NetSupport_ = net;
  }

  InitTaskList();
  // Tasks queued while there was no window (a window made again, or Open before it) get their rows.
  for (const UploadTask& task : queue_.Tasks()) {
    InsertTaskRow(task, -1);
    UpdateTaskRow(task);
  }
  FillLimitControls();

  LoadTasks();
  SetTimer(window_, kTickTimer, 1000, nullptr);
  SetTimer(window_, kSaveTimer, 30000, nullptr);
  UpdateCommandButtons(-1, false, false);
  return TRUE;  // the dialog manager gives the default focus
}
