// Relocation of displaced instructions, at addresses chosen to make displacements fit or not.
#include "hook_engines/relocation.h"
#include "hook_engines/x64_decoder.h"

#include "hex_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace Overlay::HookEngines;

namespace {

constexpr std::uint64_t Origin = 0x140001000ULL;
constexpr std::uint64_t Near = Origin + 0x10000000ULL;  // 256 MB above
constexpr std::uint64_t Far = Origin + 0x300000000ULL;  // 12 GB above

HookStatus build(const std::string& code, std::size_t patch, std::uint64_t destination, Trampoline& t)
{
    std::vector<std::uint8_t> bytes = hex(code);
    bytes.insert(bytes.end(), 32, 0xCC);  // padding after the function
    return relocate(bytes.data(), bytes.size(), Origin, patch, destination, t);
}

// One instruction of a trampoline, with where it goes when it is a branch or reads memory.
struct Step
{
    std::uint64_t address;
    Instruction insn;
    std::uint64_t target;  // branch target, RIP-relative operand, or 0
};

std::vector<Step> walk(const Trampoline& t, std::uint64_t base, CpuMode mode = CpuMode::Bits64)
{
    std::vector<Step> steps;
    std::size_t offset = 0;
    while (offset < t.codeLength) {
        Step s{base + offset, Instruction(), 0};
        const std::uint8_t* p = t.code + offset;
        if (!decodeInstruction(p, t.codeLength - offset, s.insn, mode)) {
            ADD_FAILURE() << "undecodable trampoline at offset " << offset;
            break;
        }
        std::size_t size = s.insn.length;
        const std::uint64_t next = s.address + s.insn.length;
        if (p[0] == 0xFF && p[1] == 0x25 && memoryDisplacement(p, s.insn) == 0) {
            std::memcpy(&s.target, p + 6, 8);  // jmp [rip+0] ; <address>
            size += 8;
        } else if (p[0] == 0xFF && p[1] == 0x15 && memoryDisplacement(p, s.insn) == 2) {
            std::memcpy(&s.target, p + 8, 8);  // call [rip+2] ; jmp +8 ; <address>
            size += 10;
        } else if (s.insn.isRelativeBranch()) {
            s.target = next + static_cast<std::uint64_t>(branchDisplacement(p, s.insn));
        } else if (s.insn.ripRelative) {
            s.target = next + static_cast<std::uint64_t>(memoryDisplacement(p, s.insn));
        }
        steps.push_back(s);
        offset += size;
    }
    return steps;
}

}  // namespace

TEST(Relocation, RipRelativeOperandsKeepTheirTarget)
{
    // mov rax,[rip+100h] ; cmp byte [rip+200h],1 ; lea rcx,[rip+300h]
    const std::string code = "48 8b 05 00 01 00 00  80 3d 00 02 00 00 01  48 8d 0d 00 03 00 00  c3";
    Trampoline t;
    ASSERT_EQ(build(code, 15, Near, t), HookStatus::Ok);
    std::vector<Step> steps = walk(t, Near);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].target, Origin + 7 + 0x100);
    EXPECT_EQ(steps[1].target, Origin + 14 + 0x200);
    EXPECT_EQ(steps[2].target, Origin + 21 + 0x300);

    // Out of reach: a load is refused rather than truncated ...
    EXPECT_EQ(build(code, 5, Far, t), HookStatus::DisplacementOutOfRange);
    // ... and a lea becomes a load of the same address as an immediate.
    ASSERT_EQ(build("48 8d 0d 00 03 00 00  c3", 5, Far, t), HookStatus::Ok);
    std::uint64_t imm = 0;
    EXPECT_EQ(t.code[0], 0x48);
    EXPECT_EQ(t.code[1], 0xB9);  // mov rcx, imm64
    std::memcpy(&imm, t.code + 2, 8);
    EXPECT_EQ(imm, Origin + 7 + 0x300);
    ASSERT_EQ(build("44 8d 05 00 03 00 00  c3", 5, Far, t), HookStatus::Ok);  // lea r8d,[rip+300h]
    EXPECT_EQ(0, std::memcmp(t.code, hex("41 b8").data(), 2));
    std::uint32_t imm32 = 0;
    std::memcpy(&imm32, t.code + 2, 4);
    EXPECT_EQ(imm32, static_cast<std::uint32_t>(Origin + 7 + 0x300));

    // [eip+x] and reads of the patched bytes themselves are refused.
    EXPECT_EQ(build("67 8b 05 00 01 00 00  c3", 5, Near, t), HookStatus::UnsupportedInstruction);
    EXPECT_EQ(build("8b 05 fa ff ff ff  c3", 5, Near, t), HookStatus::UnsupportedInstruction);
}

TEST(Relocation, BranchesAreWidenedOrMadeAbsolute)
{
    // test ecx,ecx ; jz +20h ; call +1000h ; ...
    const std::string code = "85 c9  74 20  e8 00 10 00 00  31 c0  c3";
    Trampoline t;
    ASSERT_EQ(build(code, 5, Near, t), HookStatus::Ok);
    EXPECT_EQ(t.copiedLength, 9u);
    std::vector<Step> steps = walk(t, Near);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[1].insn.flow, Flow::JccRel);
    EXPECT_EQ(steps[1].insn.length, 6);  // widened to rel32
    EXPECT_EQ(steps[1].target, Origin + 4 + 0x20);
    EXPECT_EQ(steps[2].insn.flow, Flow::CallRel);
    EXPECT_EQ(steps[2].target, Origin + 9 + 0x1000);
    EXPECT_EQ(steps[3].target, Origin + 9);

    ASSERT_EQ(build(code, 5, Far, t), HookStatus::Ok);
    // jnz +14 ; jmp [rip+0] ; <target> ; call [rip+2] ; jmp +8 ; <target> ; jmp [rip+0] ; <back>
    EXPECT_EQ(t.code[2], 0x75);
    EXPECT_EQ(t.code[3], 0x0E);
    std::uint64_t jccTarget = 0, callTarget = 0;
    std::memcpy(&jccTarget, t.code + 10, 8);
    EXPECT_EQ(jccTarget, Origin + 4 + 0x20);
    EXPECT_EQ(0, std::memcmp(t.code + 18, hex("ff 15 02 00 00 00 eb 08").data(), 8));
    std::memcpy(&callTarget, t.code + 26, 8);
    EXPECT_EQ(callTarget, Origin + 9 + 0x1000);
    EXPECT_EQ(walk(t, Far).back().target, Origin + 9);
    // A thread that returned from the call continues after the call in the original.
    EXPECT_EQ(t.originalOffsetFor(24), 9u);
    EXPECT_EQ(t.originalOffsetFor(4), 2u);  // inside the expanded jcc: the jcc again

    // jmp rel8 as the last displaced instruction: nothing to jump back to.
    ASSERT_EQ(build("31 c0  90  eb 10", 5, Near, t), HookStatus::Ok);
    steps = walk(t, Near);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[2].target, Origin + 5 + 0x10);
}

TEST(Relocation, BranchesInsideTheMovedCodeStayInside)
{
    // spin: mov eax,[rcx] ; test eax,eax ; jz spin ; mov eax,42 ; ret
    Trampoline t;
    ASSERT_EQ(build("8b 01  85 c0  74 fa  b8 2a 00 00 00  c3", 5, Near, t), HookStatus::Ok);
    std::vector<Step> steps = walk(t, Near);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[2].target, Near);  // back to the trampoline's first instruction
    std::size_t offset = 0;
    EXPECT_TRUE(t.trampolineOffsetFor(4, offset));
    EXPECT_EQ(offset, 4u);
    EXPECT_FALSE(t.trampolineOffsetFor(3, offset));  // not an instruction start

    // loop inside the moved code keeps its rel8; leaving it is refused.
    ASSERT_EQ(build("ff c0  e2 fc  90  c3", 5, Near, t), HookStatus::Ok);
    EXPECT_EQ(walk(t, Near)[1].target, Near);
    EXPECT_EQ(build("90  90  90  e2 10  c3", 5, Near, t), HookStatus::LoopOutOfRange);
    EXPECT_EQ(build("90  90  90  67 e3 10  c3", 5, Near, t), HookStatus::LoopOutOfRange);
}

TEST(Relocation, UnsafeFunctionsAreRefused)
{
    Trampoline t;
    // xor eax,eax ; ret : three bytes
    EXPECT_EQ(build("31 c0 c3", 5, Near, t), HookStatus::FunctionTooShort);
    EXPECT_EQ(build("b8 01 00 00 00  c3", 14, Near, t), HookStatus::FunctionTooShort);
    // loop: xor eax,eax ; add eax,ecx ; dec ecx ; jnz loop(+2) ; ret
    EXPECT_EQ(build("31 c0  01 c8  ff c9  75 fa  c3", 5, Near, t), HookStatus::BranchIntoPatch);
    // A later function jumping to this one's start is no concern once the padding is reached.
    EXPECT_EQ(build("31 c0  01 c8  ff c9  c3  cc cc  e9 ee ff ff ff", 5, Near, t), HookStatus::Ok);
    EXPECT_EQ(build("0f 0f c1 9e  c3", 5, Near, t), HookStatus::UnknownInstruction);
    EXPECT_EQ(build("c7 f8 00 01 00 00  c3", 5, Near, t), HookStatus::UnsupportedInstruction);
    // A branch into the middle of a moved instruction.
    EXPECT_EQ(build("74 01  b8 01 00 00 00  c3", 5, Near, t), HookStatus::BranchIntoPatch);
}

TEST(Relocation, ThirtyTwoBitBranchesReachEverywhere)
{
    constexpr std::uint64_t Origin32 = 0x10001000ULL, Low = 0x20000ULL;
    const auto build32 = [&](const std::string& code, std::size_t patch, std::uint64_t destination, Trampoline& t) {
        std::vector<std::uint8_t> bytes = hex(code);
        bytes.insert(bytes.end(), 32, 0xCC);
        return relocate(bytes.data(), bytes.size(), Origin32, patch, destination, t, CpuMode::Bits32);
    };
    const auto target = [](const Step& s) { return static_cast<std::uint32_t>(s.target); };  // wraps, as rel32 does
    Trampoline t;
    // push ebp ; mov ebp,esp ; test ecx,ecx ; jz +20h ; call +1000h ; ...
    const std::string code = "55  89 e5  85 c9  74 20  e8 00 10 00 00  31 c0  c3";
    // Below the function and above it across the top of the address space: the same rel32 forms.
    for (std::uint64_t destination : {Low, std::uint64_t{0xFFFF0000}}) {
        ASSERT_EQ(build32(code, 8, destination, t), HookStatus::Ok);
        const std::vector<Step> steps = walk(t, destination, CpuMode::Bits32);
        ASSERT_EQ(steps.size(), 6u);
        EXPECT_EQ(steps[3].insn.length, 6);  // jz widened to 0F 84 rel32
        EXPECT_EQ(target(steps[3]), Origin32 + 7 + 0x20);
        EXPECT_EQ(target(steps[4]), Origin32 + 12 + 0x1000);  // call rel32
        EXPECT_EQ(target(steps[5]), Origin32 + 12);           // E9 back
        EXPECT_EQ(t.codeLength, 5u + 6 + 5 + 5);
    }
    std::uint8_t jump[NearJumpLength];
    ASSERT_TRUE(encodeNearJump(0xFFFFFFF0ULL, 0x10ULL, jump, CpuMode::Bits32));
    EXPECT_EQ(0, std::memcmp(jump, hex("e9 1b 00 00 00").data(), 5));

    // jcxz leaving the moved code branches to a local near jmp that a jmp before it skips; 0x67 kept.
    ASSERT_EQ(build32("31 c0  90  67 e3 10  c3", 5, Low, t), HookStatus::Ok);
    EXPECT_EQ(0, std::memcmp(t.code + 3, hex("eb 05  e9").data(), 3));
    EXPECT_EQ(0, std::memcmp(t.code + 10, hex("67 e3 f8").data(), 3));
    EXPECT_EQ(target(walk(t, Low, CpuMode::Bits32)[3]), Origin32 + 6 + 0x10);
    EXPECT_EQ(t.originalOffsetFor(5), 3u);  // a thread on its taken path runs the jcxz again

    // A branch back into the patch is refused (49 is dec ecx here, not REX) ...
    EXPECT_EQ(build32("31 c0  01 c8  49  75 fa  c3", 5, Low, t), HookStatus::BranchIntoPatch);
    // ... but not from the next function, past the lea esi,[esi+0] padding.
    EXPECT_EQ(build32("31 c0  01 c8  c3  8d 76 00  e9 f3 ff ff ff", 5, Low, t), HookStatus::Ok);
}
