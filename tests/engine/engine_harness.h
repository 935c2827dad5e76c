// What the end-to-end tests of the engine share: a window that collects the engine's
// notifications, engines made through the registered class, and test files.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/outside/transfer_engine.h"
#include "support/receiver_process.h"

namespace engine_tests {

// Time a test gives a connect that must succeed: it includes the TLS handshake, which a
// busy machine (and a relay in between) can stretch well past a second.
constexpr DWORD kHandshakeWait = 10000;
// The flags of a folder entry, as the control puts it.
constexpr DWORD kFolderEntry = 0x2 | 0x4;

struct Notification {
  WPARAM code;
  LPARAM task_id;
};

// A message-only window on the test's thread, as the control's window is for its engines.
class NotifyWindow {
 public:
  NotifyWindow();
  ~NotifyWindow();
  HWND Handle() const { return window_; }
  // Pumps messages until a notification with code (and task id, unless -1) has arrived that
  // no earlier wait took, or timeout_ms pass.
  bool WaitFor(WPARAM code, DWORD timeout_ms, LPARAM task_id = -1);
  // Pumps messages for ms; 0 takes only what is queued now.
  void Pump(DWORD ms);
  int Count(WPARAM code, LPARAM task_id = -1) const;
  const std::vector<Notification>& All() const { return got_; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  HWND window_ = nullptr;
  std::vector<Notification> got_;
  std::vector<bool> claimed_;
};

// A new engine through CoCreateInstance, connected to the receiver and logged in as
// alice; nullptr (with a test failure) when a step fails.
com::ComPtr<ITransferEngine> ConnectedEngine(const testing_support::ReceiverProcess& receiver, HWND window);
// The same through another address on the way to it (a relay or a proxy).
com::ComPtr<ITransferEngine> ConnectedEngineAt(const SOCKADDR_IN& server, HWND window);

// The engine's count of the current file's bytes done (a test failure if it cannot tell).
ULONGLONG Done(ITransferEngine* engine);

// Deterministic bytes that differ from file to file.
std::string TestBytes(size_t size, unsigned seed);

// PutFile with the scheduler's buffers; the status text comes back in status.
HRESULT Put(ITransferEngine* engine, const std::wstring& remote, const std::wstring& local, LONG task_id,
            DWORD flags = 0, std::wstring* status = nullptr);

// XXH64 of a file's content, as the receiver's log writes it.
std::string FileChecksum(const std::wstring& path);

}  // namespace engine_tests
