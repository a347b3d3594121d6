#pragma once

// Why an engine refused to attach or detach a function. The engines report it per function, and
// the hook records keep it for their log lines.

#include <cstdint>

namespace Overlay {
namespace HookEngines {

enum class HookStatus : std::uint8_t {
    Ok,
    UnknownInstruction,      // the decoder does not know an instruction that would be moved
    FunctionTooShort,        // the function ends before the patch does
    BranchIntoPatch,         // code jumps into the bytes the patch overwrites
    DisplacementOutOfRange,  // a moved operand or branch cannot reach its target any more
    LoopOutOfRange,          // loop / jrcxz would leave the moved code
    UnsupportedInstruction,  // an instruction that cannot be moved safely (xbegin, [eip+x], ...)
    TrampolineTooLarge,
    UnreadableCode,    // the target is not readable, executable code
    NoMemory,          // no memory for the trampoline (within reach, for the near-jump engine)
    CodeChanged,       // the target changed between preparing and writing the patch
    ThreadInPatch,     // a thread stopped at a place that has no equivalent in the trampoline
    ReturnIntoPatch,   // a thread's stack holds a return address into the bytes the patch overwrites
    ThreadUnreadable,  // a stopped thread's registers could not be read
    ProtectFailed,     // the code could not be made writable
    FreezeFailed,      // the other threads could not be stopped
    DuplicateTarget,   // the same function twice in one batch or transaction
    NotHooked,         // detach of a pointer that this engine did not attach
    Overwritten,       // the patch was overwritten since it was written: not restored
    InvalidArgument,
    Aborted  // another change of the same transaction failed: none was written
};

inline const char* describe(HookStatus status)
{
    switch (status) {
    case HookStatus::Ok: return "ok";
    case HookStatus::UnknownInstruction: return "unknown instruction";
    case HookStatus::FunctionTooShort: return "function shorter than the patch";
    case HookStatus::BranchIntoPatch: return "branch into the patched bytes";
    case HookStatus::DisplacementOutOfRange: return "displacement out of range after relocation";
    case HookStatus::LoopOutOfRange: return "loop/jrcxz leaves the relocated code";
    case HookStatus::UnsupportedInstruction: return "instruction cannot be relocated";
    case HookStatus::TrampolineTooLarge: return "trampoline too large";
    case HookStatus::UnreadableCode: return "code not readable";
    case HookStatus::NoMemory: return "no memory for the trampoline";
    case HookStatus::CodeChanged: return "code changed while preparing";
    case HookStatus::ThreadInPatch: return "a thread is stopped inside the patch";
    case HookStatus::ReturnIntoPatch: return "a thread would return into the patch";
    case HookStatus::ThreadUnreadable: return "a stopped thread's state cannot be read";
    case HookStatus::ProtectFailed: return "cannot make the code writable";
    case HookStatus::FreezeFailed: return "cannot suspend the other threads";
    case HookStatus::DuplicateTarget: return "function given twice";
    case HookStatus::NotHooked: return "not hooked by this engine";
    case HookStatus::Overwritten: return "patch overwritten since, left in place";
    case HookStatus::InvalidArgument: return "invalid argument";
    case HookStatus::Aborted: return "another function of the transaction failed";
    }
    return "unknown status";
}

// A refusal that may pass once the other threads have moved on: worth another try.
inline bool isTransient(HookStatus status)
{
    return status == HookStatus::ThreadInPatch || status == HookStatus::ReturnIntoPatch ||
           status == HookStatus::ThreadUnreadable;
}

}  // namespace HookEngines
}  // namespace Overlay
