#pragma once

// The first engine: batch attach and detach. It patches a 5-byte jmp rel32 to a relay placed
// within ±2 GB of the function, and suspends every other thread of the process while it writes,
// moving the threads it finds inside the patched bytes. In a 32-bit process the relay may be
// anywhere: rel32 reaches the whole address space.

#include "hook_engines/hook_status.h"

#include <cstdint>

namespace Overlay {
namespace HookEngines {

// printf-style sink for the engine's diagnostics (one line per call, no newline).
using PrintCallback = void (*)(const char* format, ...);

struct NearJumpAttachEntry
{
    void** function;  // holds the target; receives the trampoline when attached
    void* replacement;
    bool attached;                       // out
    HookStatus status = HookStatus::Ok;  // out: why it was not attached
};

struct NearJumpDetachEntry
{
    void** function;                     // holds the trampoline; receives the target back when detached
    std::uint32_t detached;              // out: nonzero when detached
    HookStatus status = HookStatus::Ok;  // out: why it was not detached
};

// Attaches every entry it can, in one suspension of the other threads. Returns how many attached.
int attachNearJumps(NearJumpAttachEntry* entries, int count);

// Detaches every entry it can. An entry whose patch was overwritten since it was written (another
// hooker patched on top) is not restored: it stays attached and its trampoline stays valid.
int detachNearJumps(NearJumpDetachEntry* entries, int count);

// Where the diagnostics go; null drops them. They are printed after the threads resume.
void setNearJumpPrintCallback(PrintCallback callback);

}  // namespace HookEngines
}  // namespace Overlay
