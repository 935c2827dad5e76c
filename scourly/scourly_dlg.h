// The cleaner's one dialog (template 102) and its cleaning action.
#pragma once
#include <windows.h>

class CScourlyApp;

class CScourlyDlg {
 public:
  explicit CScourlyDlg(CScourlyApp& app);
  INT_PTR DoModal(HWND parent = nullptr);
  HWND Window() const { return hwnd_; }

  // Button 1000: reads the cache folder, stops the service program and empties the folder.
  void OnClean();

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  BOOL OnInitDialog();
  void OnPaint();
  void OnOK() {}  // Enter must not clean or close
  void OnCancel();
  void Notice(const wchar_t* text);

  CScourlyApp& app_;
  HWND hwnd_ = nullptr;
  HICON icon_ = nullptr;
  HICON small_icon_ = nullptr;
};
