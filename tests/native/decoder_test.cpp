// Hand-picked encodings whose sizes are easy to get wrong.
#include "hook_engines/x64_decoder.h"

#include "hex_bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Overlay::HookEngines::decodeInstruction;
using Overlay::HookEngines::Flow;
using Overlay::HookEngines::Instruction;

namespace {

struct Case
{
    const char* bytes;
    int length;
    bool rip;
    Flow flow;
};

const Case Known[] = {
    // RIP-relative operands, also with REX.B (still RIP) and 0x67 (EIP).
    {"48 8d 05 10 00 00 00", 7, true, Flow::Next},
    {"67 8b 05 10 00 00 00", 7, true, Flow::Next},
    {"80 3d 10 00 00 00 01", 7, true, Flow::Next},  // cmp byte [rip], imm8
    {"48 81 3d 10 00 00 00 44 33 22 11", 11, true, Flow::Next},
    {"ff 25 00 00 00 00", 6, true, Flow::JmpIndirect},
    {"ff 15 00 00 00 00", 6, true, Flow::CallIndirect},
    // Absolute addresses: 8 bytes, 4 with 0x67; 0x66 and REX.W do not change them.
    {"a1 11 22 33 44 55 66 77 88", 9, false, Flow::Next},
    {"48 a1 11 22 33 44 55 66 77 88", 10, false, Flow::Next},
    {"66 a3 11 22 33 44 55 66 77 88", 10, false, Flow::Next},
    {"67 a1 11 22 33 44", 6, false, Flow::Next},
    // Immediates: REX.W keeps imm32 except for mov r64, imm64; 0x66 gives imm16 unless REX.W.
    {"48 b8 11 22 33 44 55 66 77 88", 10, false, Flow::Next},
    {"66 b8 11 22", 4, false, Flow::Next},
    {"66 48 b8 11 22 33 44 55 66 77 88", 11, false, Flow::Next},
    {"66 81 c4 11 22", 5, false, Flow::Next},
    {"66 48 81 c4 11 22 33 44", 8, false, Flow::Next},
    {"66 68 11 22", 4, false, Flow::Next},
    {"f6 c1 01", 3, false, Flow::Next},  // test cl, 1
    {"f7 c1 11 22 33 44", 6, false, Flow::Next},
    {"66 f7 c1 11 22", 5, false, Flow::Next},
    {"c8 10 00 01", 4, false, Flow::Next},  // enter
    {"c6 f8 01", 3, false, Flow::Next},     // xabort
    // ModRM / SIB / displacement forms.
    {"42 8b 04 25 00 10 00 00", 8, false, Flow::Next},  // SIB without base: disp32
    {"41 8b 45 00", 4, false, Flow::Next},              // [r13 + 0]
    {"0f 20 00", 3, false, Flow::Next},                 // mov cr: mod is ignored
    // Hot-patch prologues and padding.
    {"48 8d a4 24 00 00 00 00", 8, false, Flow::Next},
    {"f3 0f 1e fa", 4, false, Flow::Next},  // endbr64
    // Three-byte maps, VEX and EVEX.
    {"66 0f 38 00 c1", 5, false, Flow::Next},
    {"66 0f 3a 0f c1 04", 6, false, Flow::Next},
    {"c5 f8 77", 3, false, Flow::Next},
    {"c5 f9 6f 05 10 00 00 00", 8, true, Flow::Next},
    {"c4 e3 79 0f c1 04", 6, false, Flow::Next},
    {"62 f1 7c 48 10 05 10 00 00 00", 10, true, Flow::Next},
    {"62 f1 7c 48 10 40 01", 7, false, Flow::Next},  // disp8 (scaled) is one byte
    // Control flow.
    {"e9 00 01 00 00", 5, false, Flow::JmpRel},
    {"0f 84 00 01 00 00", 6, false, Flow::JccRel},
    {"e2 fe", 2, false, Flow::LoopRel},
    {"67 e3 fe", 3, false, Flow::LoopRel},  // jecxz
    {"c7 f8 00 01 00 00", 6, false, Flow::XbeginRel},
    {"c2 08 00", 3, false, Flow::Return},
    {"f3 c3", 2, false, Flow::Return},
    {"cc", 1, false, Flow::Stop},
    {"0f 0b", 2, false, Flow::Stop},
};

const char* const Unknown[] = {
    "06",           // push es: not in 64-bit mode
    "0f 0f c1 9e",  // 3DNow!
    "66 e8 00 01",  // call with 0x66: rel16 or rel32 depending on the processor
    "66 0f 84 00 01",
    "66 eb 05",
    "48 66 90",  // REX before a legacy prefix
    "48 48 90",  // two REX bytes
    "8f c8 00",  // AMD XOP
    "8d c0",     // lea with a register operand
    "ff ff",
    "c6 c8 01",
    "e9 00 00",                                         // truncated
    "c4 e0 79 0f c1 04",                                // VEX map 0
    "66 c5 f8 77",                                      // prefix before VEX
    "66 66 66 66 66 66 66 66 66 66 66 66 66 66 66 90",  // 16 bytes
    "0f b8 c1",                                         // jmpe
    "9b d9 7c 24 04",  // fwait + fnstcw: one instruction or two, depending on who reads it
};

}  // namespace

TEST(Decoder, KnownEncodingsHaveTheirSizes)
{
    for (const Case& c : Known) {
        SCOPED_TRACE(c.bytes);
        std::vector<std::uint8_t> code = hex(c.bytes);
        // Trailing bytes must not change anything.
        code.insert(code.end(), 16, 0xCC);
        Instruction insn;
        ASSERT_TRUE(decodeInstruction(code.data(), code.size(), insn));
        EXPECT_EQ(insn.length, c.length);
        EXPECT_EQ(insn.ripRelative, c.rip);
        EXPECT_EQ(insn.flow, c.flow);
        if (c.rip) {
            EXPECT_EQ(insn.dispSize, 4);
            EXPECT_EQ(Overlay::HookEngines::memoryDisplacement(code.data(), insn), code[insn.dispOffset]);
        }
    }
}

TEST(Decoder, UnknownOrTruncatedIsReported)
{
    for (const char* bytes : Unknown) {
        SCOPED_TRACE(bytes);
        std::vector<std::uint8_t> code = hex(bytes);
        Instruction insn;
        EXPECT_FALSE(decodeInstruction(code.data(), code.size(), insn));
    }
    // A known instruction is refused when fewer bytes are readable than it needs.
    std::vector<std::uint8_t> code = hex("48 b8 11 22 33 44 55 66 77 88");
    Instruction insn;
    EXPECT_FALSE(decodeInstruction(code.data(), code.size() - 1, insn));
    EXPECT_FALSE(decodeInstruction(nullptr, 0, insn));
}

// rel32 here; rel8 through the relocation tests, where a loop inside the moved code stays inside.
TEST(Decoder, BranchDisplacementIsSignExtended)
{
    const std::vector<std::uint8_t> code = hex("0f 85 f0 ff ff ff");
    Instruction insn;
    ASSERT_TRUE(decodeInstruction(code.data(), code.size(), insn));
    EXPECT_EQ(Overlay::HookEngines::branchDisplacement(code.data(), insn), -16);
}

// Where 32-bit prologues read differently from 64-bit code.
TEST(Decoder, ThirtyTwoBitModeHasItsOwnEncodings)
{
    const Case known32[] = {
        {"48 89 e5", 1, false, Flow::Next},                 // dec eax, not REX.W
        {"8b 05 10 00 00 00", 6, false, Flow::Next},        // absolute [disp32]
        {"b8 11 22 33 44", 5, false, Flow::Next},           // mov eax, imm32
        {"67 8b 46 08", 4, false, Flow::Next},              // ModRM16 [bp+disp8]
        {"c4 06", 2, false, Flow::Next},                    // les eax,[esi]
        {"c5 f9 6f 05 10 00 00 00", 8, false, Flow::Next},  // VEX: mod=11 after C5
        {"62 06", 2, false, Flow::Next},                    // bound eax,[esi]
        {"62 f1 7c 48 10 40 01", 7, false, Flow::Next},     // EVEX
        {"63 c8", 2, false, Flow::Next},                    // arpl, not movsxd
        {"ea 11 22 33 44 55 66", 7, false, Flow::Stop},     // jmp far ptr16:32
    };
    for (const Case& c : known32) {
        SCOPED_TRACE(c.bytes);
        std::vector<std::uint8_t> code = hex(c.bytes);
        code.insert(code.end(), 16, 0xCC);
        Instruction insn;
        ASSERT_TRUE(decodeInstruction(code.data(), code.size(), insn, Overlay::HookEngines::CpuMode::Bits32));
        EXPECT_EQ(insn.length, c.length);
        EXPECT_FALSE(insn.ripRelative);
        EXPECT_EQ(insn.flow, c.flow);
    }
}
