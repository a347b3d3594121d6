#pragma once

// Length decoder for x86 machine code in 64-bit mode and in 32-bit (protected) mode.
//
// It finds where an instruction ends and the parts the code-patching engines must rewrite when they
// move it: a RIP-relative memory operand and a relative branch target. It does not name
// instructions. Whatever it does not know for sure it reports as unknown, and the engines then
// refuse to move the code. Plain C++ without system headers, so that it also builds natively.

#include <cstddef>
#include <cstdint>

namespace Overlay {
namespace HookEngines {

// The longest instruction the processor accepts.
constexpr std::size_t MaxInstructionLength = 15;

// The mode the code runs in. In 32-bit mode 0x40-0x4F are inc/dec, there is no RIP-relative
// addressing, 0x67 selects 16-bit addressing (ModRM16, decoded) and a few opcodes only exist there:
// push/pop of segment registers, BCD adjusts, pusha/popa, bound, arpl, into, aam/aad, salc, les/lds
// and far call/jmp ptr16:32. 62, C4 and C5 are VEX/EVEX when their next byte has mod=11 and
// bound/les/lds otherwise, as the processor reads them.
enum class CpuMode : std::uint8_t { Bits64, Bits32 };

enum class Flow : std::uint8_t {
    Next,          // falls through to the next instruction
    JmpRel,        // jmp rel8 / rel32
    CallRel,       // call rel32
    JccRel,        // jcc rel8 / rel32
    LoopRel,       // loop, loope, loopne, jrcxz / jecxz / jcxz (rel8 only)
    XbeginRel,     // xbegin rel32
    JmpIndirect,   // jmp r/m64
    CallIndirect,  // call r/m64
    Return,        // ret, retf, iret
    Stop           // int3, ud2, hlt, far jmp (ptr16:32 too): does not fall through
};

struct Instruction
{
    std::uint8_t length = 0;
    std::uint8_t prefixCount = 0;   // legacy prefixes
    std::uint8_t rex = 0;           // the REX byte, 0 when there is none (always in 32-bit mode)
    std::uint8_t opcodeOffset = 0;  // first opcode byte (after prefixes, REX, VEX/EVEX payload)
    std::uint8_t map = 0;           // 0: one byte, 1: 0F, 2: 0F 38, 3: 0F 3A (VEX/EVEX: their map)
    std::uint8_t opcode = 0;
    bool vex = false;  // VEX or EVEX encoded
    bool hasModrm = false;
    std::uint8_t modrm = 0;
    std::uint8_t dispOffset = 0;  // valid when dispSize != 0
    std::uint8_t dispSize = 0;
    std::uint8_t immOffset = 0;  // valid when immSize != 0 (relative branches: the displacement)
    std::uint8_t immSize = 0;
    bool ripRelative = false;    // memory operand is [rip + disp32] (or [eip + disp32] with 0x67); 64-bit only
    bool operandSize16 = false;  // 0x66
    bool addressSize32 = false;  // 0x67: 32-bit addresses in 64-bit mode, 16-bit ones in 32-bit mode
    bool lock = false;           // 0xF0
    std::uint8_t repeat = 0;     // 0xF2 / 0xF3, 0 when absent
    Flow flow = Flow::Next;

    bool rexW() const { return (rex & 0x08) != 0; }
    std::uint8_t modrmMod() const { return static_cast<std::uint8_t>(modrm >> 6); }
    std::uint8_t modrmReg() const { return static_cast<std::uint8_t>((modrm >> 3) & 7); }
    std::uint8_t modrmRm() const { return static_cast<std::uint8_t>(modrm & 7); }
    bool isRelativeBranch() const
    {
        return flow == Flow::JmpRel || flow == Flow::CallRel || flow == Flow::JccRel || flow == Flow::LoopRel ||
               flow == Flow::XbeginRel;
    }
    // Control never reaches the next instruction.
    bool endsFlow() const
    {
        return flow == Flow::JmpRel || flow == Flow::JmpIndirect || flow == Flow::Return || flow == Flow::Stop;
    }
};

// Decodes the instruction at code[0]; at most `available` bytes are read. Returns false for an
// unknown or truncated instruction (out is then unspecified). Relative branches with 0x66 (rel16,
// or a 16-bit instruction pointer) are refused in both modes.
bool decodeInstruction(const std::uint8_t* code, std::size_t available, Instruction& out,
                       CpuMode mode = CpuMode::Bits64);

// Displacement of a relative branch, sign-extended.
std::int64_t branchDisplacement(const std::uint8_t* code, const Instruction& insn);

// Displacement of a memory operand, sign-extended.
std::int64_t memoryDisplacement(const std::uint8_t* code, const Instruction& insn);

}  // namespace HookEngines
}  // namespace Overlay
