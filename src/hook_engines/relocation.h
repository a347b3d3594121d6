#pragma once

// Moves the first instructions of a function into a trampoline: the code that runs what the patch
// overwrote and then continues in the original function. Plain C++: it works on a copy of the
// bytes and on addresses given as numbers, so it also builds and is tested natively.

#include "hook_engines/hook_status.h"
#include "hook_engines/x64_decoder.h"

#include <cstddef>
#include <cstdint>

namespace Overlay {
namespace HookEngines {

struct Trampoline
{
    static constexpr std::size_t MaxCode = 208;
    static constexpr std::size_t MaxBoundaries = 40;

    // A place in the trampoline and the place in the original code it stands for.
    struct Boundary
    {
        std::uint8_t trampoline;
        std::uint8_t original;
    };

    std::uint8_t code[MaxCode] = {};
    std::size_t codeLength = 0;
    std::size_t copiedLength = 0;  // bytes of the original function that the trampoline replaces
    Boundary boundaries[MaxBoundaries] = {};
    std::size_t boundaryCount = 0;

    // Where a thread stopped at `original` (an instruction start of the moved code) continues
    // in the trampoline. False when `original` is not such a place.
    bool trampolineOffsetFor(std::size_t original, std::size_t& offset) const;

    // Where a thread stopped at `offset` in the trampoline continues in the original code.
    std::size_t originalOffsetFor(std::size_t offset) const;
};

// Builds the trampoline for a function at `origin` whose first `patchLength` bytes will be
// overwritten; the trampoline will live at `destination`. `code` holds `available` bytes read
// from `origin`: the moved instructions and, after them, the code that is scanned for branches
// back into the patch (256 bytes is plenty; fewer where the readable memory ends).
// In 32-bit mode every jmp/call/jcc rel32 reaches the whole address space (it wraps around), so no
// absolute form is ever emitted, and [disp32] operands are absolute and copied as they are.
HookStatus relocate(const std::uint8_t* code, std::size_t available, std::uint64_t origin, std::size_t patchLength,
                    std::uint64_t destination, Trampoline& out, CpuMode mode = CpuMode::Bits64);

constexpr std::size_t NearJumpLength = 5;       // jmp rel32
constexpr std::size_t AbsoluteJumpLength = 14;  // jmp qword ptr [rip+0] + 8-byte address

// E9 rel32: jmp from `address` to `target`; false when the target is out of reach. In 32-bit mode
// every pair of 32-bit addresses is in reach (the displacement is taken modulo 2^32); false only when
// one of them is not a 32-bit address.
bool encodeNearJump(std::uint64_t address, std::uint64_t target, std::uint8_t (&out)[NearJumpLength],
                    CpuMode mode = CpuMode::Bits64);

// FF 25 00000000 <target>: jmp qword ptr [rip+0] with the address right after the instruction.
// 64-bit mode only.
void encodeAbsoluteJump(std::uint64_t target, std::uint8_t (&out)[AbsoluteJumpLength]);

// True when `value` fits a signed 32-bit displacement.
inline bool fitsRel32(std::int64_t value)
{
    return value >= -2147483647LL - 1 && value <= 2147483647LL;
}

}  // namespace HookEngines
}  // namespace Overlay
