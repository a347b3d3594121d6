#pragma once

// Adapter to the second code-patching engine (14-byte absolute jump, transactions). Every call
// returns a Windows error code, 0 on success. See hook_engines/far_jump_engine.h.

#include "hook_engines/far_jump_engine.h"

#include <windows.h>

namespace Overlay {

inline LONG DetourTransactionBegin()
{
    return HookEngines::beginFarJumpTransaction();
}

inline LONG DetourUpdateThread(HANDLE thread)
{
    return HookEngines::enlistFarJumpThread(thread);
}

// *pointer holds the target; at commit it receives the trampoline.
inline LONG DetourAttach(PVOID* pointer, PVOID detour)
{
    return HookEngines::stageFarJumpAttach(pointer, detour);
}

// *pointer holds the trampoline; at commit it receives the target back.
inline LONG DetourDetach(PVOID* pointer, PVOID detour)
{
    return HookEngines::stageFarJumpDetach(pointer, detour);
}

inline LONG DetourTransactionCommit()
{
    return HookEngines::commitFarJumpTransaction();
}

// As above; on failure *failure names the change that failed (its pointer) and why.
inline LONG DetourTransactionCommitEx(HookEngines::FarJumpFailure* failure)
{
    return HookEngines::commitFarJumpTransaction(failure);
}

inline LONG DetourTransactionAbort()
{
    return HookEngines::abortFarJumpTransaction();
}

}  // namespace Overlay
