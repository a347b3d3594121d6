#pragma once

// What both engines do to one function: find the code to patch, build its relay and trampoline,
// write and remove the patch while the other threads are stopped. The engines differ in the patch
// they write and in how callers reach them (batches or transactions).

#include "hook_engines/code_memory.h"
#include "hook_engines/hook_status.h"
#include "hook_engines/relocation.h"
#include "hook_engines/thread_freezer.h"

#include <cstddef>
#include <cstdint>

namespace Overlay {
namespace HookEngines {

// The mode of the code the engines patch: that of this process.
#if defined(_WIN64)
constexpr CpuMode ProcessMode = CpuMode::Bits64;
#else
constexpr CpuMode ProcessMode = CpuMode::Bits32;
#endif

// In a 32-bit process E9 rel32 reaches every address (the displacement wraps around), so both styles
// patch the same 5 bytes and their slots may be anywhere.
enum class PatchStyle : std::uint8_t {
    // E9 rel32 to a relay (jmp qword ptr [rip+0] to the replacement; 32-bit: jmp rel32 to it) in a
    // slot within ±2 GB.
    NearJump,
    // FF 25 00000000 <replacement>: reaches anywhere; the trampoline may be anywhere too.
    // 32-bit: E9 rel32 to the replacement.
    AbsoluteJump
};

struct InlineHook
{
    PatchStyle style = PatchStyle::NearJump;
    void* requested = nullptr;     // the address the caller gave; its pointer gets it back on detach
    std::uint8_t* site = nullptr;  // where the patch goes, after leading jumps were followed
    void* replacement = nullptr;
    CodeSlot slot;
    std::uint8_t* relay = nullptr;  // NearJump only
    std::uint8_t* trampoline = nullptr;
    Trampoline plan;
    std::uint8_t original[32] = {};  // the moved bytes as they were
    std::uint8_t patch[AbsoluteJumpLength] = {};
    std::size_t patchLength = 0;
};

// Serializes every code write of both engines.
class EngineLock
{
public:
    EngineLock();
    ~EngineLock();
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;
};

// Follows the jumps a function may start with (jmp rel32/rel8, jmp qword ptr [rip+x], as in
// import stubs, hot patches and other hooks) to the code that does the work.
std::uint8_t* followJumps(std::uint8_t* code);

// Builds the hook without touching the target: relay, trampoline and patch. On failure nothing
// stays allocated. Call under EngineLock.
HookStatus prepareHook(PatchStyle style, void* target, void* replacement, InlineHook& hook);

// Frees the slot of a hook that is not in place.
void discardHook(InlineHook& hook);

// With the other threads frozen: can the patch be written now? Refused while a thread stands in
// the moved instructions where the trampoline has no equivalent, or may return into the patch.
HookStatus checkApply(const InlineHook& hook, const ThreadFreezer& freezer);
// Writes the patch, moves threads stopped in the moved instructions into the trampoline and
// stores the trampoline in *pointer.
HookStatus apply(InlineHook& hook, ThreadFreezer& freezer, void** pointer);

// With the other threads frozen: is the patch still the one this hook wrote? The code is looked
// up first: a followed jump may have put the patch into a module unloaded since.
HookStatus checkRemove(const InlineHook& hook);

// Restores the original bytes, moves threads out of the relay and trampoline and stores the
// requested address in *pointer.
HookStatus remove(InlineHook& hook, ThreadFreezer& freezer, void** pointer);

// Freezes the other threads and runs `check` on them; while it reports a transient refusal (see
// isTransient), or the freeze does, thaws, waits a little and tries again, a bounded number of
// times. Ok: the threads are frozen and `check` has run on them (its last answer may still be a
// refusal); otherwise why they could not be frozen, with none frozen. `check` must not use the
// heap, log or take locks.
constexpr int FreezeAttempts = 8;
void waitBeforeRetry(int attempt);
template <class Check>
HookStatus freezeAndCheck(ThreadFreezer& freezer, Check check)
{
    HookStatus frozen = HookStatus::FreezeFailed;
    for (int attempt = 0; attempt < FreezeAttempts; ++attempt) {
        if (attempt > 0) {
            freezer.thaw();
            waitBeforeRetry(attempt);
        }
        frozen = freezer.freeze();
        if (frozen == HookStatus::Ok ? !isTransient(check()) : !isTransient(frozen))
            return frozen;
    }
    return frozen;
}

// The hooks in place, found by the trampoline their caller's pointer holds.
InlineHook* findHook(void* trampoline, PatchStyle style);
// Takes ownership; false when out of memory (the hook then stays the caller's).
bool registerHook(InlineHook* hook);
// Hands the hook back to the caller.
void unregisterHook(InlineHook* hook);
// Room for `count` more hooks, so that registering after a patch cannot fail.
bool reserveHooks(std::size_t count);

}  // namespace HookEngines
}  // namespace Overlay
