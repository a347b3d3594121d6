#pragma once

// Adapter to the first code-patching engine (near jump to a relay, batches, all other threads
// suspended while it writes). See hook_engines/near_jump_engine.h.

#include "hook_engines/near_jump_engine.h"

namespace Overlay {

// One function to attach: the address of the pointer that holds the target (it receives the
// trampoline), the replacement, and the result.
using MhookHookEntry = HookEngines::NearJumpAttachEntry;
// One function to detach: the address of the pointer that holds the trampoline (it receives the
// target back) and the result (nonzero: detached).
using MhookUnhookEntry = HookEngines::NearJumpDetachEntry;
using MhookPrintCallback = HookEngines::PrintCallback;

// Returns the number of entries attached.
inline int Mhook_SetHookEx(MhookHookEntry* hooks, int count)
{
    return HookEngines::attachNearJumps(hooks, count);
}

// Returns the number of entries detached.
inline int Mhook_UnhookEx(MhookUnhookEntry* hooks, int count)
{
    return HookEngines::detachNearJumps(hooks, count);
}

// The engine's diagnostics go to `callback` (printf-style); null drops them.
inline void Mhook_SetPrintCallback(MhookPrintCallback callback)
{
    HookEngines::setNearJumpPrintCallback(callback);
}

}  // namespace Overlay
