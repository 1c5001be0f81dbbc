// The page thread's message loop, run on demand: the host pumps until the queue is empty or until
// a condition holds, never longer than a time-out. COM calls from other apartments and the
// controls' posted messages arrive through it.
#pragma once

#include <windows.h>

#include <functional>

namespace kv::browser {

// Dispatches every message waiting on this thread, including those posted while it runs, until
// none is left. False if messages kept coming past the time-out.
bool PumpUntilIdle(DWORD timeoutMs = 5000);

// Dispatches messages until `done()` is true (checked before waiting and after each batch).
// False on time-out, or when WM_QUIT arrives (it is posted again for the caller's loop).
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

}  // namespace kv::browser
