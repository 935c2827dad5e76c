#include "message_wait.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace msgwait {
namespace {

// The platform's window filter also yields the window's children's messages. To take only
// the window's own, we search message-id ranges that leave out every id found at the head
// for a child, so a waiting child message never blocks the window's own traffic.
bool PeekOwnMessage(HWND window, MSG* msg) {
  std::vector<UINT> skipped;
  for (;;) {
    bool child_found = false;
    UINT low = 0;
    for (size_t i = 0; i <= skipped.size(); ++i) {
      UINT high = i < skipped.size() ? skipped[i] - 1 : UINT_MAX;
      if (i < skipped.size() && skipped[i] == 0) {
        low = 1;
        continue;
      }
      if (low <= high && PeekMessageW(msg, window, low, high, PM_NOREMOVE | PM_NOYIELD)) {
        if (msg->hwnd == window) {
          UINT id = msg->message;
          if (!PeekMessageW(msg, window, id, id, PM_REMOVE | PM_NOYIELD)) return false;
          return true;  // the first window-or-child message with this id is the one seen
        }
        skipped.insert(std::upper_bound(skipped.begin(), skipped.end(), msg->message), msg->message);
        child_found = true;
        break;
      }
      if (i < skipped.size()) {
        if (skipped[i] == UINT_MAX) break;
        low = skipped[i] + 1;
      }
    }
    if (!child_found) return false;
  }
}

}  // namespace

WaitEnd WaitForOwnMessage(HWND window, UINT message, MSG* arrived) {
  MSG msg;
  for (;;) {
    if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      if (arrived) *arrived = msg;
      return WaitEnd::Quit;
    }
    if (!IsWindow(window)) return WaitEnd::Failed;
    if (PeekOwnMessage(window, &msg)) {
      if (msg.message == message) {
        if (arrived) *arrived = msg;
        return WaitEnd::Arrived;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      continue;
    }
    // Nothing of ours is queued: sleep until something new comes in (sent messages are
    // delivered inside the next peek).
    if (MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, 0) == WAIT_FAILED) return WaitEnd::Failed;
  }
}

}  // namespace msgwait
