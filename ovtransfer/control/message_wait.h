// A private wait on the thread's queue that serves one window only and never swallows a quit.
#pragma once
#include <windows.h>

namespace msgwait {

enum class WaitEnd {
  Arrived,  // the awaited message came to the window; it is handed back, not dispatched
  Quit,     // a quit request came; it has been posted again for the caller's own loop
  Failed,   // the window went away or the queue could not be waited on
};

// Translates and dispatches every message addressed to `window` itself (timer ticks,
// notifications, anything posted or sent to it) until `message` arrives for it.
// Messages of other windows, the window's own children included, stay queued.
// On a quit request the wait ends and the quit is posted again with the same exit code,
// so the loop that runs after us also ends. `window` must belong to the calling thread.
WaitEnd WaitForOwnMessage(HWND window, UINT message, MSG* arrived);

}  // namespace msgwait
