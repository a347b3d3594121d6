#pragma once
// Tells hosts that the DLL is in the game and that they may now start threads here to call its
// exports.
//
// Under Wine, a thread that another process starts in the game is made by one of the game's own
// threads: one that waits in the system if there is any, otherwise a running one, interrupted by a
// signal, which hangs for good when it was inside the C library's allocator. Many games render on
// their only thread and keep none waiting. So, under Wine, a thread of ours waits in the system for
// as long as the process lives, and the loaded event is signalled from inside that wait: a host
// that sees it signalled knows the thread is there. On Windows no such thread is needed.

#include <windows.h>

namespace Overlay {

// Called once, from DllMain on process attach: keeps the DLL loaded until the process ends (its
// hooks point into it), makes the loaded event and signals it (under Wine, from the waiting thread).
// Never fails the load: without the event a host only waits longer.
void announceLoaded(HMODULE self) noexcept;

}  // namespace Overlay
