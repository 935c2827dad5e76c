#include "scourly_dlg.h"

#include <commctrl.h>

#include "cache_cleaner.h"
#include "resource.h"
#include "scourly_app.h"

namespace {

constexpr wchar_t kServiceProgram[] = L"Brevant.exe";

// The clean button is a plain push button: it never takes the default role when it has the
// focus, so Enter stays with the dialog (which ignores it) and cannot start a cleaning.
LRESULT CALLBACK PlainButtonProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR) {
  if (message == WM_GETDLGCODE) {
    LRESULT code = DefSubclassProc(hwnd, message, wparam, lparam);
    return code & ~static_cast<LRESULT>(DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON);
  }
  if (message == BM_SETSTYLE) wparam &= ~static_cast<WPARAM>(BS_DEFPUSHBUTTON);
  return DefSubclassProc(hwnd, message, wparam, lparam);
}

}  // namespace

CScourlyDlg::CScourlyDlg(CScourlyApp& app) : app_(app) {
  icon_ = static_cast<HICON>(LoadImageW(app.Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
  small_icon_ = static_cast<HICON>(LoadImageW(app.Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                              LR_SHARED));
}

INT_PTR CScourlyDlg::DoModal(HWND parent) {
  return DialogBoxParamW(app_.Instance(), MAKEINTRESOURCEW(IDD_SCOURLY_DIALOG), parent, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CScourlyDlg::DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  CScourlyDlg* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CScourlyDlg*>(lparam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
    self->hwnd_ = hwnd;
  } else {
    self = reinterpret_cast<CScourlyDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  return self ? self->HandleMessage(message, wparam, lparam) : FALSE;
}

INT_PTR CScourlyDlg::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_PAINT:
      if (!IsIconic(hwnd_)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: OnCancel(); return TRUE;
        case IDC_CLEAN:
          if (HIWORD(wparam) == BN_CLICKED) OnClean();
          return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      RemoveWindowSubclass(GetDlgItem(hwnd_, IDC_CLEAN), PlainButtonProc, 0);
      return FALSE;
  }
  (void)lparam;
  return FALSE;
}

BOOL CScourlyDlg::OnInitDialog() {
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));
  SetWindowSubclass(GetDlgItem(hwnd_, IDC_CLEAN), PlainButtonProc, 0, 0);
  return TRUE;
}

void CScourlyDlg::OnPaint() {
  // Minimised: the icon, centred in the client area.
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rect;
  GetClientRect(hwnd_, &rect);
  int x = (rect.right - rect.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  int y = (rect.bottom - rect.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd_, &ps);
}

void CScourlyDlg::OnCancel() { EndDialog(hwnd_, IDCANCEL); }

void CScourlyDlg::Notice(const wchar_t* text) { MessageBoxW(hwnd_, text, L"提示", MB_OK); }

void CScourlyDlg::OnClean() {
  std::wstring path = app_.GetProfileString(L"Brevant", L"P2PCachePath", L"");
  // The folder is emptied without asking, so only a path that surely is a cache folder of its
  // own is accepted; anything else is treated as no cache folder at all.
  std::optional<std::wstring> folder = scourly::CleanableFolder(path);
  if (!folder) {
    Notice(L"未找到缓存路径，无需清理！");
    return;
  }
  // An instance that cannot be stopped keeps its files open; the shell reports those itself,
  // so the cleaning goes on either way.
  scourly::StopAllInstances(kServiceProgram, scourly::SystemProcessControl());
  scourly::DeleteFolderContents(hwnd_, *folder);
  Notice(L"缓存文件清理完毕！");
}
