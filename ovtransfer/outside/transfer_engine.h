// The outside transfer engine: one instance per running upload task. It reports by posting
// WM_TRANSFER_NOTIFY (wParam: event code, lParam: task id) to the window it was given.
// The slot order is fixed; the unused slots exist so that every call lands where expected.
#pragma once
// SOCKADDR_IN comes with <windows.h> (its socket declarations), and equally with <winsock2.h>.
#include <windows.h>
#include <unknwn.h>

inline constexpr IID IID_ITransferEngine = {0x3BFC2599, 0x1095, 0x4BC2, {0x9A, 0x1F, 0x28, 0x58, 0xD6, 0xEE, 0x6E, 0x76}};

inline constexpr UINT WM_TRANSFER_NOTIFY = WM_USER + 100;

enum TransferNotify : WPARAM {
  NOTIFY_FILE_BEGIN = 1,
  NOTIFY_PROGRESS = 2,
  NOTIFY_PAUSED = 4,
  NOTIFY_FILE_DONE = 8,
  NOTIFY_ABORTED = 32,  // every transfer ended; lParam carries nothing
};

struct ITransferEngine : IUnknown {
  // 3: mode 2, local address 0.0.0.0 port 0, reserved 0.
  virtual HRESULT STDMETHODCALLTYPE Initialize(DWORD mode, const SOCKADDR_IN* local, DWORD reserved) = 0;
  // 4: called before every release.
  virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
  // 6: notifications go to window with message.
  virtual HRESULT STDMETHODCALLTYPE SetNotifyWindow(HWND window, UINT message) = 0;
  // 7: the server's address in network byte order; time-out in milliseconds.
  virtual HRESULT STDMETHODCALLTYPE Connect(const SOCKADDR_IN* server, DWORD timeout_ms) = 0;
  // 8: user name and password given to Open; reply buffer of reply_size characters.
  virtual HRESULT STDMETHODCALLTYPE Login(const wchar_t* user, const wchar_t* password, wchar_t* reply,
                                          DWORD reply_size) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved13() = 0;
  // 14: selects the entry to transfer; task_id comes back as every notification's lParam.
  virtual HRESULT STDMETHODCALLTYPE PutFile(const wchar_t* remote_name, const wchar_t* local_path, DWORD reserved,
                                            DWORD flags, LONG task_id, wchar_t* remote_out, DWORD remote_out_size,
                                            wchar_t* status_out, DWORD status_out_size) = 0;
  // 15: both values are the entry's bytes already done.
  virtual HRESULT STDMETHODCALLTYPE SetResumePosition(ULONGLONG position, ULONGLONG done) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved16() = 0;
  // 17: starts or resumes the selected entry.
  virtual HRESULT STDMETHODCALLTYPE StartTransfer() = 0;
  // 18: success means the transfer is paused.
  virtual HRESULT STDMETHODCALLTYPE PauseTransfer() = 0;
  // 19: after NOTIFY_FILE_DONE.
  virtual HRESULT STDMETHODCALLTYPE FinishFile() = 0;
  // 20: upload rate × 1024; 0 means unlimited.
  virtual HRESULT STDMETHODCALLTYPE SetRateLimit(DWORD rate) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved21() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved22() = 0;
  // 23: bytes of the current entry done.
  virtual HRESULT STDMETHODCALLTYPE GetBytesTransferred(ULONGLONG* bytes) = 0;
};
