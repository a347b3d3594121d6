#include "hook_engines/x64_decoder.h"

#include <cstring>

namespace Overlay {
namespace HookEngines {

namespace {

// Operand shapes of an opcode.
enum Shape : std::uint8_t {
    X,     // invalid in 64-bit mode, or a form we do not take on
    N,     // no operand bytes
    M,     // ModRM
    MI8,   // ModRM + imm8
    MIZ,   // ModRM + imm16/32
    I8,    // imm8
    I16,   // imm16
    IZ,    // imm16/32
    IV,    // imm16/32/64 (mov r, imm)
    MO,    // absolute address: 8 bytes (4 with 0x67); 4 bytes (2 with 0x67) in 32-bit mode
    FAR,   // ptr16:32 (ptr16:16 with 0x66), 32-bit mode only
    EN,    // enter: imm16 + imm8
    J8,    // rel8
    JZ,    // rel32
    PFX,   // legacy prefix (consumed before the table is read)
    ESC,   // 0x0F escape
    REX,   // consumed before the table is read
    VEX3,  // 0xC4
    VEX2,  // 0xC5
    EVX,   // 0x62
    G3B,   // 0xF6: test has imm8, the others none
    G3Z,   // 0xF7: test has imm16/32
    G11B,  // 0xC6: mov r/m8, imm8; xabort imm8
    G11Z,  // 0xC7: mov r/m, imm16/32; xbegin rel32
    G1A,   // 0x8F: pop r/m (other reg values are AMD XOP)
    G4,    // 0xFE: inc/dec r/m8
    G5,    // 0xFF: inc, dec, call, callf, jmp, jmpf, push
    LEA,   // 0x8D: ModRM with a memory operand only
    CR,    // 0F 20..23: ModRM always names registers (mod ignored)
    E38,   // 0F 38 escape
    E3A,   // 0F 3A escape
    M78,   // 0F 78/79: vmread/vmwrite; with 66/F2 the SSE4a forms carry immediates
    POP,   // 0F B8: popcnt with F3 only
};

// clang-format off
const std::uint8_t OneByteMap[256] = {
    /* 0x */ M,   M,   M,   M,   I8,  IZ,  X,   X,   M,   M,   M,   M,   I8,  IZ,  X,   ESC,
    /* 1x */ M,   M,   M,   M,   I8,  IZ,  X,   X,   M,   M,   M,   M,   I8,  IZ,  X,   X,
    /* 2x */ M,   M,   M,   M,   I8,  IZ,  PFX, X,   M,   M,   M,   M,   I8,  IZ,  PFX, X,
    /* 3x */ M,   M,   M,   M,   I8,  IZ,  PFX, X,   M,   M,   M,   M,   I8,  IZ,  PFX, X,
    /* 4x */ REX, REX, REX, REX, REX, REX, REX, REX, REX, REX, REX, REX, REX, REX, REX, REX,
    /* 5x */ N,   N,   N,   N,   N,   N,   N,   N,   N,   N,   N,   N,   N,   N,   N,   N,
    /* 6x */ X,   X,   EVX, M,   PFX, PFX, PFX, PFX, IZ,  MIZ, I8,  MI8, N,   N,   N,   N,
    /* 7x */ J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,  J8,
    /* 8x */ MI8, MIZ, X,   MI8, M,   M,   M,   M,   M,   M,   M,   M,   M,   LEA, M,   G1A,
    /* 9x */ N,   N,   N,   N,   N,   N,   N,   N,   N,   N,   X,   N,   N,   N,   N,   N,
    /* Ax */ MO,  MO,  MO,  MO,  N,   N,   N,   N,   I8,  IZ,  N,   N,   N,   N,   N,   N,
    /* Bx */ I8,  I8,  I8,  I8,  I8,  I8,  I8,  I8,  IV,  IV,  IV,  IV,  IV,  IV,  IV,  IV,
    /* Cx */ MI8, MI8, I16, N,   VEX3,VEX2,G11B,G11Z,EN,  N,   I16, N,   N,   I8,  X,   N,
    /* Dx */ M,   M,   M,   M,   X,   X,   X,   N,   M,   M,   M,   M,   M,   M,   M,   M,
    /* Ex */ J8,  J8,  J8,  J8,  I8,  I8,  I8,  I8,  JZ,  JZ,  X,   J8,  N,   N,   N,   N,
    /* Fx */ PFX, N,   PFX, PFX, N,   N,   G3B, G3Z, N,   N,   N,   N,   N,   N,   G4,  G5,
};

const std::uint8_t TwoByteMap[256] = {
    /* 0x */ M,   M,   M,   M,   X,   N,   N,   N,   N,   N,   X,   N,   X,   M,   N,   X,
    /* 1x */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,
    /* 2x */ CR,  CR,  CR,  CR,  X,   X,   X,   X,   M,   M,   M,   M,   M,   M,   M,   M,
    /* 3x */ N,   N,   N,   N,   N,   N,   X,   N,   E38, X,   E3A, X,   X,   X,   X,   X,
    /* 4x */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,
    /* 5x */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,
    /* 6x */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,
    /* 7x */ MI8, MI8, MI8, MI8, M,   M,   M,   N,   M78, M78, X,   X,   M,   M,   M,   M,
    /* 8x */ JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,  JZ,
    /* 9x */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,
    /* Ax */ N,   N,   N,   M,   MI8, M,   X,   X,   N,   N,   N,   M,   MI8, M,   M,   M,
    /* Bx */ M,   M,   M,   M,   M,   M,   M,   M,   POP, M,   MI8, M,   M,   M,   M,   M,
    /* Cx */ M,   M,   MI8, M,   MI8, MI8, MI8, M,   N,   N,   N,   N,   N,   N,   N,   N,
    /* Dx */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,
    /* Ex */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,
    /* Fx */ M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   M,   X,
};
// clang-format on

bool isLegacyPrefix(std::uint8_t b)
{
    switch (b) {
    case 0xF0:
    case 0xF2:
    case 0xF3:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x26:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67: return true;
    default: return false;
    }
}

// 32-bit mode: the one-byte opcodes whose shape differs from 64-bit mode. 62, C4 and C5 keep theirs
// and are told apart from bound/les/lds by their next byte.
std::uint8_t shape32(std::uint8_t lead)
{
    switch (lead) {
    case 0x06:
    case 0x07:
    case 0x0E:
    case 0x16:
    case 0x17:
    case 0x1E:
    case 0x1F:  // push/pop segment register
    case 0x27:
    case 0x2F:
    case 0x37:
    case 0x3F:  // daa, das, aaa, aas
    case 0x60:
    case 0x61:  // pusha, popa
    case 0xCE:  // into
    case 0xD6:  // salc
        return N;
    case 0x82: return MI8;  // the 80 group again
    case 0x9A:
    case 0xEA: return FAR;
    case 0xD4:
    case 0xD5: return I8;  // aam, aad
    default:
        if ((lead & 0xF0) == 0x40)
            return N;  // inc/dec r32
        return OneByteMap[lead];
    }
}

// VEX/EVEX opcodes of map 0F that carry an imm8 (all of map 0F 3A do).
bool vexMap1HasImm8(std::uint8_t opcode)
{
    return (opcode >= 0x70 && opcode <= 0x73) || opcode == 0xC2 || (opcode >= 0xC4 && opcode <= 0xC6);
}

struct Cursor
{
    const std::uint8_t* code;
    std::size_t limit;
    std::size_t pos;

    bool has(std::size_t n) const { return pos + n <= limit; }
};

// Reads ModRM, SIB and displacement at the cursor.
bool readModrm(Cursor& c, Instruction& out, bool registerForm, CpuMode mode)
{
    if (!c.has(1))
        return false;
    out.hasModrm = true;
    out.modrm = c.code[c.pos++];
    const std::uint8_t mod = out.modrmMod();
    const std::uint8_t rm = out.modrmRm();
    if (registerForm || mod == 3)
        return true;
    std::uint8_t disp = 0;
    if (mode == CpuMode::Bits32 && out.addressSize32) {
        // ModRM16: no SIB; mod=00 rm=110 is an absolute disp16.
        if (mod == 0 && rm == 6)
            disp = 2;
        else if (mod == 1)
            disp = 1;
        else if (mod == 2)
            disp = 2;
    } else if (rm == 4) {
        if (!c.has(1))
            return false;
        const std::uint8_t sib = c.code[c.pos++];
        if (mod == 0 && (sib & 7) == 5)
            disp = 4;
    } else if (mod == 0 && rm == 5) {
        // [rip + disp32] in 64-bit mode, an absolute [disp32] in 32-bit mode
        disp = 4;
        out.ripRelative = mode == CpuMode::Bits64;
    }
    if (mod == 1)
        disp = 1;
    else if (mod == 2 && disp == 0)
        disp = 4;
    out.dispOffset = static_cast<std::uint8_t>(c.pos);
    out.dispSize = disp;
    c.pos += disp;
    return c.pos <= c.limit;
}

bool peekModrm(const Cursor& c, std::uint8_t& modrm)
{
    if (!c.has(1))
        return false;
    modrm = c.code[c.pos];
    return true;
}

// VEX (C4/C5) and EVEX (62): the payload gives the map; ModRM always follows except vzeroupper/all.
bool decodeVex(Cursor& c, Instruction& out, std::uint8_t lead, CpuMode mode)
{
    // These prefixes make a VEX/EVEX instruction undefined.
    if (out.rex != 0 || out.operandSize16 || out.repeat != 0 || out.lock)
        return false;
    out.vex = true;
    std::uint8_t map = 1;
    if (lead == 0xC5) {
        if (!c.has(2))
            return false;
        c.pos += 1;
    } else if (lead == 0xC4) {
        if (!c.has(3))
            return false;
        map = c.code[c.pos] & 0x1F;
        if (map < 1 || map > 3)
            return false;
        c.pos += 2;
    } else {
        if (!c.has(4))
            return false;
        const std::uint8_t p0 = c.code[c.pos];
        const std::uint8_t p1 = c.code[c.pos + 1];
        map = p0 & 0x07;
        if ((p0 & 0x08) != 0 || (p1 & 0x04) == 0)
            return false;
        if (map != 1 && map != 2 && map != 3 && map != 5 && map != 6)
            return false;
        c.pos += 3;
    }
    out.map = map;
    out.opcodeOffset = static_cast<std::uint8_t>(c.pos);
    out.opcode = c.code[c.pos++];
    if (lead != 0x62 && map == 1 && out.opcode == 0x77)
        return true;  // vzeroupper / vzeroall
    if (!readModrm(c, out, false, mode))
        return false;
    if (map == 3 || (map == 1 && vexMap1HasImm8(out.opcode)))
        out.immSize = 1;
    return true;
}

std::uint8_t sizeZ(const Instruction& out)
{
    return (out.operandSize16 && !out.rexW()) ? 2 : 4;
}

}  // namespace

bool decodeInstruction(const std::uint8_t* code, std::size_t available, Instruction& out, CpuMode mode)
{
    const bool bits32 = mode == CpuMode::Bits32;
    out = Instruction();
    if (code == nullptr)
        return false;
    Cursor c{code, available < MaxInstructionLength ? available : MaxInstructionLength, 0};

    while (c.has(1) && isLegacyPrefix(code[c.pos])) {
        switch (code[c.pos]) {
        case 0xF0: out.lock = true; break;
        case 0xF2:
        case 0xF3: out.repeat = code[c.pos]; break;
        case 0x66: out.operandSize16 = true; break;
        case 0x67: out.addressSize32 = true; break;
        default: break;
        }
        ++c.pos;
    }
    out.prefixCount = static_cast<std::uint8_t>(c.pos);
    if (!c.has(1))
        return false;
    if (!bits32 && (code[c.pos] & 0xF0) == 0x40) {
        out.rex = code[c.pos++];
        // A REX byte counts only right before the opcode; other orders are left alone.
        if (!c.has(1) || (code[c.pos] & 0xF0) == 0x40 || isLegacyPrefix(code[c.pos]))
            return false;
    }

    std::uint8_t lead = code[c.pos];
    std::uint8_t shape = bits32 ? shape32(lead) : OneByteMap[lead];
    // In 32-bit mode a memory ModRM after 62/C4/C5 makes them bound/les/lds: VEX and EVEX took the
    // encodings those cannot have (mod=11).
    if (bits32 && (shape == VEX2 || shape == VEX3 || shape == EVX) && c.has(2) && (code[c.pos + 1] >> 6) != 3)
        shape = M;
    if (shape == VEX2 || shape == VEX3 || shape == EVX) {
        ++c.pos;
        if (!decodeVex(c, out, lead, mode))
            return false;
        out.immOffset = static_cast<std::uint8_t>(c.pos);
        c.pos += out.immSize;
        if (c.pos > c.limit)
            return false;
        out.length = static_cast<std::uint8_t>(c.pos);
        return true;
    }

    if (shape == ESC) {
        ++c.pos;
        if (!c.has(1))
            return false;
        const std::uint8_t second = code[c.pos];
        if (second == 0x38 || second == 0x3A) {
            ++c.pos;
            if (!c.has(1))
                return false;
            out.map = second == 0x38 ? 2 : 3;
            shape = second == 0x38 ? M : MI8;
        } else {
            out.map = 1;
            shape = TwoByteMap[second];
        }
    }
    out.opcodeOffset = static_cast<std::uint8_t>(c.pos);
    out.opcode = code[c.pos++];
    const std::uint8_t op = out.opcode;

    std::uint8_t imm = 0;
    bool modrm = false;
    bool registerForm = false;
    std::uint8_t peek = 0;
    switch (shape) {
    case N: break;
    case M: modrm = true; break;
    case MI8:
        modrm = true;
        imm = 1;
        break;
    case MIZ:
        modrm = true;
        imm = sizeZ(out);
        break;
    case I8: imm = 1; break;
    case I16: imm = 2; break;
    case IZ: imm = sizeZ(out); break;
    case IV: imm = out.rexW() ? 8 : (out.operandSize16 ? 2 : 4); break;
    case MO: imm = bits32 ? (out.addressSize32 ? 2 : 4) : (out.addressSize32 ? 4 : 8); break;
    case FAR: imm = out.operandSize16 ? 4 : 6; break;
    case EN: imm = 3; break;
    case J8: imm = 1; break;
    case JZ:
        // 0x66 on a near branch means rel16 on some processors and is ignored on others.
        if (out.operandSize16)
            return false;
        imm = 4;
        break;
    case G3B:
    case G3Z:
        if (!peekModrm(c, peek))
            return false;
        modrm = true;
        if (((peek >> 3) & 7) < 2)
            imm = shape == G3B ? 1 : sizeZ(out);
        break;
    case G11B:
    case G11Z:
        if (!peekModrm(c, peek))
            return false;
        modrm = true;
        if (peek == 0xF8) {
            // xabort imm8 / xbegin rel32
            if (shape == G11Z && out.operandSize16)
                return false;
            imm = shape == G11B ? 1 : 4;
        } else if (((peek >> 3) & 7) == 0) {
            imm = shape == G11B ? 1 : sizeZ(out);
        } else {
            return false;
        }
        break;
    case G1A:
        if (!peekModrm(c, peek) || ((peek >> 3) & 7) != 0)
            return false;
        modrm = true;
        break;
    case G4:
        if (!peekModrm(c, peek) || ((peek >> 3) & 7) > 1)
            return false;
        modrm = true;
        break;
    case G5: {
        if (!peekModrm(c, peek))
            return false;
        const std::uint8_t reg = (peek >> 3) & 7;
        if (reg == 7 || ((reg == 3 || reg == 5) && (peek >> 6) == 3))
            return false;
        modrm = true;
        break;
    }
    case LEA:
        if (!peekModrm(c, peek) || (peek >> 6) == 3)
            return false;
        modrm = true;
        break;
    case CR:
        modrm = true;
        registerForm = true;
        break;
    case M78:
        if (out.operandSize16 || out.repeat != 0)
            return false;
        modrm = true;
        break;
    case POP:
        if (out.repeat != 0xF3)
            return false;
        modrm = true;
        break;
    default: return false;
    }

    // fwait before an x87 store of the control state is shown as one instruction by disassemblers
    // and as two by the processor; such code is left alone.
    if (out.map == 0 && op == 0x9B && c.has(1) &&
        (code[c.pos] == 0xD9 || code[c.pos] == 0xDB || code[c.pos] == 0xDD || code[c.pos] == 0xDF))
        return false;

    if (modrm && !readModrm(c, out, registerForm, mode))
        return false;
    out.immOffset = static_cast<std::uint8_t>(c.pos);
    out.immSize = imm;
    c.pos += imm;
    if (c.pos > c.limit)
        return false;
    out.length = static_cast<std::uint8_t>(c.pos);

    // What the instruction does to the flow of control.
    if (out.map == 0) {
        if (op >= 0x70 && op <= 0x7F)
            out.flow = Flow::JccRel;
        else if (op >= 0xE0 && op <= 0xE3)
            out.flow = Flow::LoopRel;
        else if (op == 0xE8)
            out.flow = Flow::CallRel;
        else if (op == 0xE9 || op == 0xEB)
            out.flow = Flow::JmpRel;
        else if (op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF)
            out.flow = Flow::Return;
        else if (op == 0xCC || op == 0xF4 || (bits32 && op == 0xEA))
            out.flow = Flow::Stop;
        else if (op == 0xC7 && out.modrm == 0xF8)
            out.flow = Flow::XbeginRel;
        else if (op == 0xFF) {
            const std::uint8_t reg = out.modrmReg();
            if (reg == 2 || reg == 3)
                out.flow = Flow::CallIndirect;
            else if (reg == 4 || reg == 5)
                out.flow = Flow::JmpIndirect;
        }
        // 0x66 on a relative branch changes its target size on some processors.
        if (out.operandSize16 && out.isRelativeBranch())
            return false;
    } else if (out.map == 1) {
        if (op >= 0x80 && op <= 0x8F)
            out.flow = Flow::JccRel;
        else if (op == 0x0B || op == 0x07 || op == 0x35)
            out.flow = Flow::Stop;
    }
    return true;
}

namespace {

std::int64_t readSigned(const std::uint8_t* p, std::uint8_t size)
{
    switch (size) {
    case 1: return static_cast<std::int8_t>(p[0]);
    case 2: {
        std::int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case 4: {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    case 8: {
        std::int64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    default: return 0;
    }
}

}  // namespace

std::int64_t branchDisplacement(const std::uint8_t* code, const Instruction& insn)
{
    return readSigned(code + insn.immOffset, insn.immSize);
}

std::int64_t memoryDisplacement(const std::uint8_t* code, const Instruction& insn)
{
    return readSigned(code + insn.dispOffset, insn.dispSize);
}

}  // namespace HookEngines
}  // namespace Overlay
