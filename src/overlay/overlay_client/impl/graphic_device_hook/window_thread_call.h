#pragma once
// Runs a function on the thread of one of the game's windows, between two of its messages.

#include <windows.h>

#include <functional>

namespace Overlay {

// The game's main window: the largest visible top-level window of this process that another thread
// than the caller's owns. Null when there is none.
HWND findGameWindow();

// Runs `call` on the window's thread, while that thread handles a message we send it, and returns
// once it has run; rethrows what it threw. Throws std::runtime_error when the thread has not taken
// the call within timeoutMs (a hung or busy window thread): then it never runs. A call once taken is
// waited for to its end.
void callOnWindowThread(HWND window, const std::function<void()>& call, DWORD timeoutMs);

}  // namespace Overlay
