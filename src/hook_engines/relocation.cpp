#include "hook_engines/relocation.h"

#include "hook_engines/x64_decoder.h"

#include <cstring>

namespace Overlay {
namespace HookEngines {

bool Trampoline::trampolineOffsetFor(std::size_t original, std::size_t& offset) const
{
    // The last match: after a relocated call, the return point and the next instruction share an
    // original offset, and the next instruction is the better place to continue.
    bool found = false;
    for (std::size_t i = 0; i < boundaryCount; ++i) {
        if (boundaries[i].original == original) {
            offset = boundaries[i].trampoline;
            found = true;
        }
    }
    return found && original < copiedLength;
}

std::size_t Trampoline::originalOffsetFor(std::size_t offset) const
{
    // The last boundary at or before the offset. Inside an expanded branch this is the branch
    // itself: running it again gives the same result, as nothing it reads has changed.
    std::size_t original = 0;
    for (std::size_t i = 0; i < boundaryCount && boundaries[i].trampoline <= offset; ++i)
        original = boundaries[i].original;
    return original;
}

namespace {

constexpr std::uint64_t AddressSpace32 = 0x100000000ULL;

// Distance from `from` to `to`; in 32-bit mode the processor computes it modulo 2^32.
std::int64_t distance(std::uint64_t from, std::uint64_t to, CpuMode mode)
{
    if (mode == CpuMode::Bits32)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(to - from));
    return static_cast<std::int64_t>(to - from);
}

// Where the relative branch or call `insn` at `address` goes.
std::uint64_t branchTarget(std::uint64_t address, const std::uint8_t* code, const Instruction& insn, CpuMode mode)
{
    const std::uint64_t target = address + insn.length + static_cast<std::uint64_t>(branchDisplacement(code, insn));
    return mode == CpuMode::Bits32 ? target % AddressSpace32 : target;
}

}  // namespace

bool encodeNearJump(std::uint64_t address, std::uint64_t target, std::uint8_t (&out)[NearJumpLength], CpuMode mode)
{
    if (mode == CpuMode::Bits32 && (address >= AddressSpace32 || target >= AddressSpace32))
        return false;
    const std::int64_t rel = distance(address + NearJumpLength, target, mode);
    if (!fitsRel32(rel))
        return false;
    const std::int32_t rel32 = static_cast<std::int32_t>(rel);
    out[0] = 0xE9;  // jmp rel32
    std::memcpy(out + 1, &rel32, 4);
    return true;
}

void encodeAbsoluteJump(std::uint64_t target, std::uint8_t (&out)[AbsoluteJumpLength])
{
    // FF 25 00 00 00 00   jmp qword ptr [rip+0]
    // <8 bytes>           the target, read by the jmp
    out[0] = 0xFF;
    out[1] = 0x25;
    std::memset(out + 2, 0, 4);
    std::memcpy(out + 6, &target, 8);
}

namespace {

constexpr std::size_t MaxMoved = 16;

struct Moved
{
    std::size_t offset;
    Instruction insn;
};

// A branch inside the moved code whose displacement is known once everything is laid out.
struct Fixup
{
    std::size_t field;     // offset of the displacement in the trampoline
    std::size_t size;      // 1 or 4
    std::size_t original;  // original offset of the branch target
};

class Emitter
{
public:
    Emitter(Trampoline& t, std::uint64_t base, CpuMode mode) : t_(t), base_(base), mode_(mode) {}

    std::uint64_t here() const { return base_ + t_.codeLength; }
    std::size_t pos() const { return t_.codeLength; }
    bool full() const { return full_; }

    void bytes(const void* p, std::size_t n)
    {
        if (t_.codeLength + n > Trampoline::MaxCode) {
            full_ = true;
            return;
        }
        std::memcpy(t_.code + t_.codeLength, p, n);
        t_.codeLength += n;
    }
    void u8(std::uint8_t v) { bytes(&v, 1); }
    void i32(std::int32_t v) { bytes(&v, 4); }
    void u64(std::uint64_t v) { bytes(&v, 8); }

    void boundary(std::size_t original)
    {
        if (t_.boundaryCount == Trampoline::MaxBoundaries) {
            full_ = true;
            return;
        }
        t_.boundaries[t_.boundaryCount].trampoline = static_cast<std::uint8_t>(t_.codeLength);
        t_.boundaries[t_.boundaryCount].original = static_cast<std::uint8_t>(original);
        ++t_.boundaryCount;
    }

    // Distance from the end of an instruction of `length` bytes starting here to `target`. Always
    // within rel32 in 32-bit mode, so the absolute forms below are 64-bit only.
    std::int64_t relFrom(std::size_t length, std::uint64_t target) const
    {
        return distance(here() + length, target, mode_);
    }

    void jump(std::uint64_t target)
    {
        const std::int64_t rel = relFrom(5, target);
        if (fitsRel32(rel)) {
            u8(0xE9);  // jmp rel32
            i32(static_cast<std::int32_t>(rel));
        } else {
            std::uint8_t abs[AbsoluteJumpLength];
            encodeAbsoluteJump(target, abs);
            bytes(abs, sizeof abs);
        }
    }

    // Returns to the original code's next instruction; `end` is its original offset.
    void call(std::uint64_t target, std::size_t end)
    {
        const std::int64_t rel = relFrom(5, target);
        if (fitsRel32(rel)) {
            u8(0xE8);  // call rel32
            i32(static_cast<std::int32_t>(rel));
            return;
        }
        // FF 15 02 00 00 00   call qword ptr [rip+2]   (reads the address below)
        // EB 08               jmp +8                   (the call returns here: skip the address)
        // <8 bytes>           the target
        static const std::uint8_t head[] = {0xFF, 0x15, 0x02, 0x00, 0x00, 0x00};
        bytes(head, sizeof head);
        boundary(end);
        u8(0xEB);
        u8(0x08);
        u64(target);
    }

    // loop/loope/loopne/jecxz (32-bit mode) to a target beyond rel8, `head` being its prefixes and
    // opcode. The first jmp is where the thread at the original loop goes; a thread stopped at the
    // near jmp maps back to the loop, which is exact for jecxz.
    void loopFar(const std::uint8_t* head, std::size_t headLength, std::uint64_t target)
    {
        // EB 05          jmp +5          (over the jump below, to the loop)
        // E9 rel32       jmp target      (the loop's taken path)
        // [67] E2 xx     loop -(5+len)   (to the jmp above; not taken: falls through)
        u8(0xEB);
        u8(0x05);
        jump(target);
        bytes(head, headLength);
        u8(static_cast<std::uint8_t>(-static_cast<int>(NearJumpLength + headLength + 1)));
    }

    void conditionalJump(std::uint8_t condition, std::uint64_t target)
    {
        const std::int64_t rel = relFrom(6, target);
        if (fitsRel32(rel)) {
            u8(0x0F);  // jcc rel32
            u8(static_cast<std::uint8_t>(0x80 | condition));
            i32(static_cast<std::int32_t>(rel));
            return;
        }
        // 7x 0E               j<not cc> +14           (skip the absolute jump)
        // FF 25 00 00 00 00   jmp qword ptr [rip+0]
        // <8 bytes>           the target
        u8(static_cast<std::uint8_t>(0x70 | (condition ^ 1)));
        u8(0x0E);
        std::uint8_t abs[AbsoluteJumpLength];
        encodeAbsoluteJump(target, abs);
        bytes(abs, sizeof abs);
    }

private:
    Trampoline& t_;
    std::uint64_t base_;
    CpuMode mode_;
    bool full_ = false;
};

bool isLea(const Instruction& insn)
{
    return insn.map == 0 && !insn.vex && insn.opcode == 0x8D;
}

// lea esi,[esi+0] and the like: the long no-ops that 32-bit compilers pad with.
bool isLeaNop32(const std::uint8_t* p, std::size_t n)
{
    Instruction insn;
    if (!decodeInstruction(p, n, insn, CpuMode::Bits32) || !isLea(insn) || insn.addressSize32 ||
        memoryDisplacement(p, insn) != 0)
        return false;
    std::uint8_t base = insn.modrmRm();
    if (base == 4) {
        const std::uint8_t sib = p[insn.dispOffset - 1];
        if (((sib >> 3) & 7) != 4)
            return false;  // an index register
        base = sib & 7;
    }
    return base == insn.modrmReg() && !(insn.modrmMod() == 0 && base == 5);
}

// Padding that compilers put between functions.
bool looksLikePadding(const std::uint8_t* p, std::size_t n, CpuMode mode)
{
    if (n == 0)
        return true;
    if (p[0] == 0xCC || p[0] == 0x90)
        return true;
    std::size_t i = 0;
    while (i < n && (p[i] == 0x66 || p[i] == 0x2E))
        ++i;
    if (mode == CpuMode::Bits32 && i < n && isLeaNop32(p + i, n - i))
        return true;
    return i + 1 < n && p[i] == 0x0F && p[i + 1] == 0x1F;
}

// Scans the code after the moved instructions, up to the end of the function as far as it can
// tell, for relative branches into the bytes the patch overwrites.
HookStatus scanForBranchesInto(const std::uint8_t* code, std::size_t available, std::uint64_t origin,
                               std::size_t patchLength, std::size_t start, bool previousEnds, CpuMode mode)
{
    std::size_t offset = start;
    while (offset < available) {
        if (previousEnds && looksLikePadding(code + offset, available - offset, mode))
            break;
        Instruction insn;
        if (!decodeInstruction(code + offset, available - offset, insn, mode))
            break;
        if (insn.isRelativeBranch()) {
            const std::uint64_t target = branchTarget(origin + offset, code + offset, insn, mode);
            if (target >= origin && target < origin + patchLength)
                return HookStatus::BranchIntoPatch;
        }
        previousEnds = insn.endsFlow();
        offset += insn.length;
    }
    return HookStatus::Ok;
}

HookStatus moveRipRelative(Emitter& e, const std::uint8_t* p, const Instruction& insn, std::uint64_t origin,
                           std::size_t offset, std::size_t patchLength)
{
    if (insn.addressSize32)
        return HookStatus::UnsupportedInstruction;  // [eip+x]: truncated address
    const std::uint64_t target =
        origin + offset + insn.length + static_cast<std::uint64_t>(memoryDisplacement(p, insn));
    if (!isLea(insn) && target >= origin && target < origin + patchLength)
        return HookStatus::UnsupportedInstruction;  // reads the bytes the patch overwrites
    const std::int64_t disp = e.relFrom(insn.length, target);
    if (fitsRel32(disp)) {
        std::uint8_t copy[MaxInstructionLength];
        std::memcpy(copy, p, insn.length);
        const std::int32_t disp32 = static_cast<std::int32_t>(disp);
        std::memcpy(copy + insn.dispOffset, &disp32, 4);
        e.bytes(copy, insn.length);
        return HookStatus::Ok;
    }
    if (!isLea(insn) || insn.operandSize16)
        return HookStatus::DisplacementOutOfRange;
    // lea r, [rip+x] loads an address: load the same address as an immediate.
    const std::uint8_t reg = static_cast<std::uint8_t>(insn.modrmReg() | ((insn.rex & 0x04) ? 8 : 0));
    if (insn.rexW()) {
        e.u8(static_cast<std::uint8_t>(0x48 | (reg >> 3)));  // REX.W (+B)
        e.u8(static_cast<std::uint8_t>(0xB8 | (reg & 7)));   // mov r64, imm64
        e.u64(target);
    } else {
        if (reg >= 8)
            e.u8(0x41);                                     // REX.B
        e.u8(static_cast<std::uint8_t>(0xB8 | (reg & 7)));  // mov r32, imm32 (zero-extends, as lea r32 does)
        e.i32(static_cast<std::int32_t>(static_cast<std::uint32_t>(target)));
    }
    return HookStatus::Ok;
}

}  // namespace

HookStatus relocate(const std::uint8_t* code, std::size_t available, std::uint64_t origin, std::size_t patchLength,
                    std::uint64_t destination, Trampoline& out, CpuMode mode)
{
    out = Trampoline();
    if (code == nullptr || patchLength == 0)
        return HookStatus::InvalidArgument;
    if (mode == CpuMode::Bits32 && (origin + available > AddressSpace32 || destination >= AddressSpace32))
        return HookStatus::InvalidArgument;

    // Which instructions the patch displaces.
    Moved moved[MaxMoved];
    std::size_t count = 0;
    std::size_t offset = 0;
    while (offset < patchLength) {
        if (count == MaxMoved)
            return HookStatus::TrampolineTooLarge;
        Instruction insn;
        if (offset >= available || !decodeInstruction(code + offset, available - offset, insn, mode))
            return HookStatus::UnknownInstruction;
        moved[count++] = {offset, insn};
        offset += insn.length;
        if (insn.endsFlow() && offset < patchLength)
            return HookStatus::FunctionTooShort;
    }
    const std::size_t copied = offset;
    out.copiedLength = copied;

    const HookStatus scan =
        scanForBranchesInto(code, available, origin, patchLength, copied, moved[count - 1].insn.endsFlow(), mode);
    if (scan != HookStatus::Ok)
        return scan;

    Emitter e(out, destination, mode);
    Fixup fixups[MaxMoved];
    std::size_t fixupCount = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Instruction& insn = moved[i].insn;
        const std::size_t at = moved[i].offset;
        const std::uint8_t* p = code + at;
        e.boundary(at);

        if (!insn.isRelativeBranch()) {
            if (insn.ripRelative) {
                const HookStatus status = moveRipRelative(e, p, insn, origin, at, patchLength);
                if (status != HookStatus::Ok)
                    return status;
            } else {
                e.bytes(p, insn.length);
            }
            continue;
        }

        const std::uint64_t target = branchTarget(origin + at, p, insn, mode);
        const bool internal = target >= origin && target < origin + copied;
        if (internal) {
            // Stays inside the moved code: it must land on one of the moved instructions.
            const std::size_t targetOffset = static_cast<std::size_t>(target - origin);
            bool onBoundary = false;
            for (std::size_t j = 0; j < count; ++j)
                onBoundary = onBoundary || moved[j].offset == targetOffset;
            if (!onBoundary)
                return HookStatus::BranchIntoPatch;
            switch (insn.flow) {
            case Flow::JmpRel:
                e.u8(0xE9);  // jmp rel32, displacement filled in below
                fixups[fixupCount++] = {e.pos(), 4, targetOffset};
                e.i32(0);
                break;
            case Flow::JccRel:
                e.u8(0x0F);  // jcc rel32 (0F 80+cc), displacement filled in below
                e.u8(static_cast<std::uint8_t>(0x80 | (insn.opcode & 0x0F)));
                fixups[fixupCount++] = {e.pos(), 4, targetOffset};
                e.i32(0);
                break;
            case Flow::LoopRel:
                // Keeps its prefixes (0x67 picks ecx over rcx) and its rel8.
                e.bytes(p, insn.immOffset);
                fixups[fixupCount++] = {e.pos(), 1, targetOffset};
                e.u8(0);
                break;
            default:
                // call into the moved code (address-of-self tricks) or xbegin
                return HookStatus::UnsupportedInstruction;
            }
            continue;
        }

        switch (insn.flow) {
        case Flow::JmpRel: e.jump(target); break;
        case Flow::CallRel: e.call(target, at + insn.length); break;
        case Flow::JccRel: e.conditionalJump(static_cast<std::uint8_t>(insn.opcode & 0x0F), target); break;
        case Flow::LoopRel:
            if (mode != CpuMode::Bits32)
                return HookStatus::LoopOutOfRange;
            e.loopFar(p, insn.immOffset, target);
            break;
        default: return HookStatus::UnsupportedInstruction;
        }
    }

    if (!moved[count - 1].insn.endsFlow()) {
        e.boundary(copied);
        e.jump(origin + copied);
    }
    if (e.full())
        return HookStatus::TrampolineTooLarge;

    for (std::size_t i = 0; i < fixupCount; ++i) {
        std::size_t targetOffset = 0;
        if (!out.trampolineOffsetFor(fixups[i].original, targetOffset))
            return HookStatus::BranchIntoPatch;
        const std::int64_t rel =
            static_cast<std::int64_t>(targetOffset) - static_cast<std::int64_t>(fixups[i].field + fixups[i].size);
        if (fixups[i].size == 1) {
            if (rel < -128 || rel > 127)
                return HookStatus::LoopOutOfRange;
            out.code[fixups[i].field] = static_cast<std::uint8_t>(static_cast<std::int8_t>(rel));
        } else {
            const std::int32_t rel32 = static_cast<std::int32_t>(rel);
            std::memcpy(out.code + fixups[i].field, &rel32, 4);
        }
    }
    return HookStatus::Ok;
}

}  // namespace HookEngines
}  // namespace Overlay
