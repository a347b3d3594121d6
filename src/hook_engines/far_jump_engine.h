#pragma once

// The second engine: transactions. It patches a 14-byte jmp qword ptr [rip+0] with the
// replacement's address right behind it, so it needs no memory near the function; the trampoline
// goes near the function when it can and anywhere otherwise. A transaction is all or nothing: the
// commit either writes every staged change or none. Like the first engine it suspends every other
// thread of the process while it writes. In a 32-bit process the patch is a 5-byte jmp rel32
// straight to the replacement, which reaches the whole address space.
//
// Results are Windows error codes; 0 (NO_ERROR) is success. The commit also tells which change
// failed and why.

#include "hook_engines/hook_status.h"

namespace Overlay {
namespace HookEngines {

// The first failure of a transaction.
struct FarJumpFailure
{
    void** function = nullptr;  // as given to the stage call; null when no single change failed
    HookStatus status = HookStatus::Ok;
};

// Starts a transaction owned by the calling thread. Fails while another one is open.
long beginFarJumpTransaction();

// Names a thread whose instruction pointer the commit must check. All other threads are suspended
// and checked anyway, so this only validates the handle.
long enlistFarJumpThread(void* thread);

// Stages an attach: *function holds the target and receives the trampoline at commit.
long stageFarJumpAttach(void** function, void* replacement);

// Stages a detach: *function holds the trampoline and receives the target back at commit.
long stageFarJumpDetach(void** function, void* replacement);

// Writes every staged change, or none when one of them cannot be done (the first error is
// returned, and described in *failure when given; a failed stage call fails the commit too).
// Ends the transaction.
long commitFarJumpTransaction(FarJumpFailure* failure = nullptr);

// Ends the transaction without writing anything.
long abortFarJumpTransaction();

}  // namespace HookEngines
}  // namespace Overlay
