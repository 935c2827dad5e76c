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
  std::vector<UINT> skipped;  // sorted ids whose first queued message is a child's
  for (;;) {
    std::vector<std::pair<UINT, UINT>> ranges;
    UINT low = 0;
    bool open = true;
    for (UINT id : skipped) {
      if (id > low) ranges.emplace_back(low, id - 1);
      if (id == UINT_MAX) {
        open = false;
        break;
      }
      low = id + 1;
    }
    if (open) ranges.emplace_back(low, UINT_MAX);

    bool child_found = false;
    for (auto [first, last] : ranges) {
      if (first == 0 && last == 0) continue;  // 0..0 means "every message" to the platform
      if (first == 0 && last == UINT_MAX) last = 0;
      if (!PeekMessageW(msg, window, first, last, PM_NOREMOVE | PM_NOYIELD)) continue;
      if (msg->hwnd == window) {
        UINT id = msg->message;
        // The first window-or-child message with this id is the one just seen.
        return PeekMessageW(msg, window, id, id, PM_REMOVE | PM_NOYIELD) != FALSE;
      }
      skipped.insert(std::upper_bound(skipped.begin(), skipped.end(), msg->message), msg->message);
      child_found = true;
      break;
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
