#include "host_resolution.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kResultBytes = 260;

// Cancelling does not always stop a look-up (Wine's cancel is a stub): it may still write
// its buffer and post its answer after we stopped waiting. Such a buffer lives on until that
// answer is seen by a later wait.
struct AbandonedLookups {
  std::mutex lock;
  std::vector<std::pair<HANDLE, char*>> buffers;
};

AbandonedLookups& Abandoned() {
  static AbandonedLookups* abandoned = new AbandonedLookups;  // late answers may come at any time
  return *abandoned;
}

void Abandon(HANDLE request, std::unique_ptr<char[]> buffer) {
  AbandonedLookups& a = Abandoned();
  std::lock_guard<std::mutex> hold(a.lock);
  a.buffers.emplace_back(request, buffer.release());
}

void ReleaseAbandoned(HANDLE request) {
  AbandonedLookups& a = Abandoned();
  std::lock_guard<std::mutex> hold(a.lock);
  for (auto it = a.buffers.begin(); it != a.buffers.end(); ++it) {
    if (it->first == request) {
      delete[] it->second;
      a.buffers.erase(it);
      return;
    }
  }
}

// Waits for the look-up's answer in a loop that takes only the control's own window's
// messages. Messages for its child windows wait (they are posted again afterwards, in
// order); a quit request cancels the look-up and is posted again for the caller's loop.
ULONG WaitForAnswer(HWND window, HANDLE request, std::unique_ptr<char[]> result) {
  std::vector<MSG> deferred;
  ULONG address = 0;
  int quit_code = 0;
  bool quit = false;
  for (;;) {
    MSG msg;
    if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
      WSACancelAsyncRequest(request);
      Abandon(request, std::move(result));
      quit = true;
      quit_code = static_cast<int>(msg.wParam);
      break;
    }
    if (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
      if (msg.hwnd != window && msg.message != WM_PAINT) {
        deferred.push_back(msg);
        continue;
      }
      if (msg.hwnd == window && msg.message == WM_HOSTNAME_RESOLVED) {
        // A late answer of an abandoned look-up is not ours: our buffer may still be being written.
        if (reinterpret_cast<HANDLE>(msg.wParam) != request) {
          ReleaseAbandoned(reinterpret_cast<HANDLE>(msg.wParam));
          continue;
        }
        const hostent* host = reinterpret_cast<const hostent*>(result.get());
        if (WSAGETASYNCERROR(msg.lParam) == 0 && host->h_addr_list && host->h_addr_list[0])
          address = ntohl(*reinterpret_cast<const u_long*>(host->h_addr_list[0]));
        break;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      continue;
    }
    if (!IsWindow(window)) {
      WSACancelAsyncRequest(request);
      Abandon(request, std::move(result));
      break;
    }
    // Only new input wakes the wait, so messages left for other windows do not spin it.
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, 0);
  }
  for (const MSG& msg : deferred) PostMessageW(msg.hwnd, msg.message, msg.wParam, msg.lParam);
  if (quit) PostQuitMessage(quit_code);
  return address;
}

}  // namespace

ULONG ResolveHostAddress(HWND window, BSTR text) {
  const int chars = text ? static_cast<int>(wcslen(text)) : 0;  // the address text ends at a NUL, as its field does
  if (chars == 0) return 0;  // no address at all (the socket library reads an empty text as some address)
  std::string name;
  {
    const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, text, chars, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return 0;
    name.resize(static_cast<size_t>(size));
    WideCharToMultiByte(CP_THREAD_ACP, 0, text, chars, name.data(), size, nullptr, nullptr);
  }
  const unsigned long dotted = inet_addr(name.c_str());
  if (dotted != INADDR_NONE) return ntohl(dotted);  // 255.255.255.255 is looked up as a name
  // The answer comes to the window's queue: only the window's own thread can wait for it.
  if (!window || GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId()) return 0;
  auto result = std::make_unique<char[]>(kResultBytes);
  HANDLE request = WSAAsyncGetHostByName(window, WM_HOSTNAME_RESOLVED, name.c_str(), result.get(), kResultBytes);
  if (!request) return 0;
  return WaitForAnswer(window, request, std::move(result));
}
