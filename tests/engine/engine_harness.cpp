#include "engine_harness.h"

#include <gtest/gtest.h>

#include "components/engine/protocol.h"
#include "components/engine/xxh64.h"
#include "components/ovres/component_classes.h"
#include "ovtransfer/com/unique.h"

namespace engine_tests {

NotifyWindow::NotifyWindow() {
  static const ATOM window_class = [] {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &NotifyWindow::Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"OvEngineTestNotify";
    return RegisterClassW(&wc);
  }();
  window_ = CreateWindowExW(0, MAKEINTATOM(window_class), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

NotifyWindow::~NotifyWindow() { DestroyWindow(window_); }

LRESULT CALLBACK NotifyWindow::Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TRANSFER_NOTIFY) {
    if (auto* self = reinterpret_cast<NotifyWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
      self->got_.push_back({wparam, lparam});
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void NotifyWindow::Pump(DWORD ms) {
  const DWORD since = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    const DWORD passed = GetTickCount() - since;
    if (passed >= ms) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - passed, QS_ALLINPUT);
  } while (true);
}

bool NotifyWindow::WaitFor(WPARAM code, DWORD timeout_ms, LPARAM task_id) {
  for (const DWORD since = GetTickCount();;) {
    claimed_.resize(got_.size(), false);
    for (size_t i = 0; i < got_.size(); ++i) {
      if (!claimed_[i] && got_[i].code == code && (task_id == -1 || got_[i].task_id == task_id)) {
        claimed_[i] = true;
        return true;
      }
    }
    const DWORD passed = GetTickCount() - since;
    if (passed >= timeout_ms) return false;
    Pump(std::min<DWORD>(timeout_ms - passed, 20));
  }
}

int NotifyWindow::Count(WPARAM code, LPARAM task_id) const {
  int count = 0;
  for (const Notification& n : got_)
    if (n.code == code && (task_id == -1 || n.task_id == task_id)) ++count;
  return count;
}

com::ComPtr<ITransferEngine> ConnectedEngine(const testing_support::ReceiverProcess& receiver, HWND window) {
  return ConnectedEngineAt(receiver.Address(), window);
}

com::ComPtr<ITransferEngine> ConnectedEngineAt(const SOCKADDR_IN& server, HWND window) {
  com::ComPtr<ITransferEngine> engine;
  HRESULT hr = CoCreateInstance(CLSID_OvTransferEngine, nullptr, CLSCTX_INPROC_SERVER, IID_ITransferEngine,
                                engine.ReceiveVoid());
  EXPECT_EQ(hr, S_OK) << "the engine's class is registered";
  if (FAILED(hr)) return {};
  engine->SetNotifyWindow(window, WM_TRANSFER_NOTIFY);
  SOCKADDR_IN any = {};
  any.sin_family = AF_INET;
  wchar_t reply[64] = {};
  EXPECT_EQ(hr = engine->Initialize(2, &any, 0), S_OK);
  if (SUCCEEDED(hr)) {
    EXPECT_EQ(hr = engine->Connect(&server, kHandshakeWait), S_OK);
  }
  if (SUCCEEDED(hr)) {
    EXPECT_EQ(hr = engine->Login(L"alice", L"secret", reply, 64), S_OK) << reply;
  }
  return SUCCEEDED(hr) ? engine : com::ComPtr<ITransferEngine>();
}

ULONGLONG Done(ITransferEngine* engine) {
  ULONGLONG done = 0;
  EXPECT_EQ(engine->GetBytesTransferred(&done), S_OK);
  return done;
}

std::string TestBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ULL * (seed + 1);
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    bytes[i] = static_cast<char>(x >> 56);
  }
  return bytes;
}

HRESULT Put(ITransferEngine* engine, const std::wstring& remote, const std::wstring& local, LONG task_id, DWORD flags,
            std::wstring* status) {
  wchar_t remote_out[260] = {}, status_out[64] = {};
  const HRESULT hr =
      engine->PutFile(remote.c_str(), local.c_str(), 0, flags, task_id, remote_out, 260, status_out, 64);
  if (status) *status = status_out;
  return hr;
}

std::string FileChecksum(const std::wstring& path) {
  com::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return "missing";
  ovengine::Xxh64 hash;
  std::vector<char> buffer(1 << 20);
  DWORD got = 0;
  while (ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
    hash.Update(buffer.data(), got);
  return ovengine::ChecksumText(hash.Digest());
}

}  // namespace engine_tests
