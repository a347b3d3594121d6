// Both engines on functions written as machine code: which prologues they take and which they
// refuse, exact restoration, threads stopped inside the patch, chaining, and a stress run.
#include "test_code.h"

#include "hook_engines/code_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace TestCode;
using Overlay::HookEngines::codeArenaStats;

namespace {

using IntFn = int (*)(int);

void* volatile g_real = nullptr;
std::atomic<int> g_replacementCalls{0};

void** realSlot()
{
    return const_cast<void**>(&g_real);
}

int plus1000(int x)
{
    ++g_replacementCalls;
    return reinterpret_cast<IntFn>(g_real)(x) + 1000;
}

int passThrough(int x)
{
    ++g_replacementCalls;
    return reinterpret_cast<IntFn>(g_real)(x);
}

IntFn fn(const void* code)
{
    return reinterpret_cast<IntFn>(const_cast<void*>(code));
}

// rax = [a] + [b] + x, with RIP-relative mov, lea and cmp in the first bytes.
std::uint8_t* ripPrologue(ExecutableMemory& mem)
{
    std::int64_t* a = mem.data<std::int64_t>(1000);
    std::int64_t* b = mem.data<std::int64_t>(5);
    std::uint8_t* flag = mem.data<std::uint8_t>(1);
    Code c(mem.next());
    c.op({0x48, 0x8B, 0x05}).rel32(a)           // mov rax,[rip+a]
        .op({0x48, 0x8D, 0x15}).rel32(b)        // lea rdx,[rip+b]
        .op({0x80, 0x3D}).rel32(flag, 1).op({0x00})  // cmp byte [rip+flag],0
        .op({0x74, 0x03})                       // je +3
        .op({0x48, 0x03, 0x02})                 // add rax,[rdx]
        .op({0x48, 0x63, 0xC9})                 // movsxd rcx,ecx
        .op({0x48, 0x01, 0xC8})                 // add rax,rcx
        .op({0xC3});
    return mem.add(c.bytes());
}

// x ? 3x + 1 : -1, with jz rel8 in the first bytes.
std::uint8_t* jccEarly(ExecutableMemory& mem)
{
    return mem.add({0x85, 0xC9,                    // test ecx,ecx
                    0x74, 0x0B,                    // jz +11
                    0x8D, 0x04, 0x49,              // lea eax,[rcx+rcx*2]
                    0xFF, 0xC0,                    // inc eax
                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                    0xC3,
                    0xB8, 0xFF, 0xFF, 0xFF, 0xFF,  // mov eax,-1
                    0xC3});
}

// 2x + 1 through a call rel32 in the first bytes.
std::uint8_t* callRel32(ExecutableMemory& mem)
{
    std::uint8_t* twice = mem.add({0x8D, 0x04, 0x09, 0xC3});  // lea eax,[rcx+rcx] ; ret
    Code c(mem.next());
    c.op({0x48, 0x83, 0xEC, 0x28})     // sub rsp,28h
        .op({0xE8}).rel32(twice)       // call twice
        .op({0x83, 0xC0, 0x01})        // add eax,1
        .op({0x48, 0x83, 0xC4, 0x28})  // add rsp,28h
        .op({0xC3});
    return mem.add(c.bytes());
}

// x + 5 behind the hot-patch prologue Wine's own DLLs use.
std::uint8_t* hotPatch(ExecutableMemory& mem)
{
    return mem.add({0x48, 0x8D, 0xA4, 0x24, 0x00, 0x00, 0x00, 0x00,  // lea rsp,[rsp+0]
                    0x66, 0x90,                                      // xchg ax,ax
                    0x8D, 0x41, 0x05,                                // lea eax,[rcx+5]
                    0x0F, 0x1F, 0x44, 0x00, 0x00,                    // nop
                    0xC3});
}

// jmp qword ptr [rip+x] to `target`, as an import stub.
std::uint8_t* indirectStub(ExecutableMemory& mem, const void* target)
{
    std::uint64_t* slot = mem.data<std::uint64_t>(reinterpret_cast<std::uint64_t>(target));
    Code c(mem.next());
    c.op({0xFF, 0x25}).rel32(slot);
    return mem.add(c.bytes());
}

std::uint8_t* relativeStub(ExecutableMemory& mem, const void* target)
{
    Code c(mem.next());
    c.op({0xE9}).rel32(target);
    return mem.add(c.bytes());
}

// Loops until *rcx != 0, then returns 42; the loop lies entirely in the bytes the patch replaces.
std::uint8_t* spin(ExecutableMemory& mem)
{
    return mem.add({0x8B, 0x01,                    // mov eax,[rcx]
                    0x85, 0xC0,                    // test eax,eax
                    0x74, 0xFA,                    // jz -6
                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                    0xB8, 0x2A, 0x00, 0x00, 0x00,  // mov eax,42
                    0xC3});
}

// Replacement in machine code: eax = [slot](ecx) + add; its prologue can be hooked in turn.
std::uint8_t* forwardingReplacement(ExecutableMemory& mem, void** slot, std::int32_t add)
{
    Code c(mem.next());
    const std::uint8_t* imm = reinterpret_cast<const std::uint8_t*>(&add);
    c.op({0x48, 0x83, 0xEC, 0x28})                    // sub rsp,28h
        .op({0xFF, 0x15}).rel32(slot)                 // call [rip+slot]
        .op({0x05, imm[0], imm[1], imm[2], imm[3]})   // add eax,add
        .op({0x48, 0x83, 0xC4, 0x28})                 // add rsp,28h
        .op({0xC3});
    return mem.add(c.bytes());
}

std::vector<std::uint8_t> snapshot(const void* code, std::size_t n = 32)
{
    const std::uint8_t* p = static_cast<const std::uint8_t*>(code);
    return std::vector<std::uint8_t>(p, p + n);
}

class EngineTest : public ::testing::TestWithParam<Engine> {};

} // namespace

TEST_P(EngineTest, AssembledProloguesAreHookedOrRefusedAndRestoredExactly)
{
    const Engine engine = GetParam();
    ExecutableMemory mem;
    struct Case {
        const char* name;
        std::uint8_t* entry;
        std::uint8_t* body;  // where the patch goes (differs from entry for stubs)
        int arg;
        bool hookable;
    };
    std::uint8_t* stubbed1 = jccEarly(mem);
    std::uint8_t* stubbed2 = hotPatch(mem);
    std::uint8_t* rip = ripPrologue(mem);
    std::uint8_t* jcc = jccEarly(mem);
    std::uint8_t* call = callRel32(mem);
    std::uint8_t* hot = hotPatch(mem);
    std::uint8_t* tiny = mem.add({0x31, 0xC0, 0xC3});  // xor eax,eax ; ret
    // xor eax,eax ; add eax,ecx ; dec ecx ; jnz (back to the add) ; ret
    std::uint8_t* loop = mem.add({0x31, 0xC0, 0x01, 0xC8, 0xFF, 0xC9, 0x75, 0xFA, 0xC3});
    const Case cases[] = {
        {"rip-relative", rip, rip, 7, true},
        {"jcc rel8", jcc, jcc, 5, true},
        {"jcc rel8 taken", jcc, jcc, 0, true},
        {"call rel32", call, call, 5, true},
        {"hot-patch", hot, hot, 5, true},
        {"jmp [rip+x] stub", indirectStub(mem, stubbed1), stubbed1, 4, true},
        {"jmp rel32 stub", relativeStub(mem, stubbed2), stubbed2, 4, true},
        {"3-byte function", tiny, tiny, 1, false},
        {"loop back into the first bytes", loop, loop, 4, false},
    };
    const std::size_t slotsBefore = codeArenaStats().slotsInUse;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> entryBytes = snapshot(c.entry, 8);
        const std::vector<std::uint8_t> bodyBytes = snapshot(c.body);
        const int expected = fn(c.entry)(c.arg);
        g_real = c.entry;
        const int callsBefore = g_replacementCalls;

        ASSERT_EQ(attach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)), c.hookable);
        if (c.hookable) {
            EXPECT_NE(g_real, static_cast<void*>(c.entry));
            EXPECT_EQ(fn(c.entry)(c.arg), expected + 1000);
            EXPECT_EQ(g_replacementCalls, callsBefore + 1);
            EXPECT_EQ(fn(g_real)(c.arg), expected);
            EXPECT_NE(snapshot(c.body), bodyBytes);
            ASSERT_TRUE(detach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
        }
        EXPECT_EQ(g_real, static_cast<void*>(c.entry));
        EXPECT_EQ(snapshot(c.body), bodyBytes);
        EXPECT_EQ(snapshot(c.entry, 8), entryBytes);
        EXPECT_EQ(fn(c.entry)(c.arg), expected);
        EXPECT_EQ(codeArenaStats().slotsInUse, slotsBefore);
    }
}

TEST_P(EngineTest, ThreadStoppedInsideThePatchContinuesInTheTrampolineAndBack)
{
    const Engine engine = GetParam();
    ExecutableMemory mem;
    std::uint8_t* code = spin(mem);
    const std::vector<std::uint8_t> original = snapshot(code);
    volatile long go = 0;
    std::atomic<bool> started{false};
    std::atomic<int> result{0};
    std::thread spinner([&] {
        started = true;
        result = reinterpret_cast<int (*)(volatile long*)>(code)(&go);
    });
    while (!started)
        Sleep(1);
    Sleep(20);

    // The spinner is always inside the loop, which the patch overwrites: attach and detach must
    // move it into the trampoline's copy of the loop and back, several times.
    g_real = code;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(attach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
        Sleep(2);
        ASSERT_TRUE(detach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
        Sleep(2);
    }
    ASSERT_TRUE(attach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
    Sleep(5);
    go = 1;
    spinner.join();
    // It finished inside the trampoline (42), or, stopped right at the start, took the new jump
    // into the replacement (1042, or more if that happened again).
    EXPECT_EQ(result % 1000, 42);
    ASSERT_TRUE(detach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
    EXPECT_EQ(snapshot(code), original);
}

TEST_P(EngineTest, OverwrittenPatchIsNotRestoredAndItsTrampolineStaysValid)
{
    const Engine engine = GetParam();
    ExecutableMemory mem;
    std::uint8_t* target = jccEarly(mem);
    std::uint8_t* foreign = mem.add({0xB8, 0x61, 0x1E, 0x00, 0x00, 0xC3});  // mov eax,7777 ; ret
    const std::vector<std::uint8_t> original = snapshot(target);
    g_real = target;
    ASSERT_TRUE(attach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
    void* trampoline = g_real;

    // Another hooker writes its own jump over ours without following it.
    const std::vector<std::uint8_t> ours = snapshot(target, 5);
    Code jump(target);
    jump.op({0xE9}).rel32(foreign);
    std::memcpy(target, jump.bytes().data(), jump.bytes().size());

    const std::size_t slots = codeArenaStats().slotsInUse;
    EXPECT_FALSE(detach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
    EXPECT_EQ(g_real, trampoline);
    EXPECT_EQ(codeArenaStats().slotsInUse, slots);
    EXPECT_EQ(fn(target)(5), 7777);
    EXPECT_EQ(fn(trampoline)(5), 16);

    // Once the other hooker has gone, the detach goes through.
    std::memcpy(target, ours.data(), ours.size());
    EXPECT_TRUE(detach(engine, realSlot(), reinterpret_cast<void*>(&plus1000)));
    EXPECT_EQ(snapshot(target), original);
    EXPECT_EQ(fn(target)(5), 16);
}

TEST_P(EngineTest, ManyThreadsCallWhileAttachingAndDetaching)
{
    const Engine engine = GetParam();
    ExecutableMemory mem;
    std::int32_t* seven = mem.data<std::int32_t>(7);
    Code c(mem.next());
    c.op({0x8B, 0x05}).rel32(seven)              // mov eax,[rip+seven]
        .op({0x8D, 0x0C, 0x49})                  // lea ecx,[rcx+rcx*2]
        .op({0x01, 0xC8})                        // add eax,ecx
        .op({0x0F, 0x1F, 0x44, 0x00, 0x00})      // nop
        .op({0xC3});
    std::uint8_t* target = mem.add(c.bytes());
    const std::vector<std::uint8_t> original = snapshot(target);
    g_real = target;
    const int before = g_replacementCalls;

    std::atomic<bool> stop{false};
    std::atomic<long> calls{0}, wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            IntFn f = fn(target);
            for (int x = t; !stop; x = (x + 1) & 0xFFFF) {
                if (f(x) != 3 * x + 7)
                    ++wrong;
                ++calls;
            }
        });
    }
    int failedCycle = -1;
    for (int cycle = 0; cycle < 500 && failedCycle < 0; ++cycle) {
        if (!attach(engine, realSlot(), reinterpret_cast<void*>(&passThrough)) ||
            !detach(engine, realSlot(), reinterpret_cast<void*>(&passThrough)))
            failedCycle = cycle;
    }
    stop = true;
    for (std::thread& t : callers)
        t.join();
    EXPECT_EQ(failedCycle, -1);
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(calls, 0);
    EXPECT_GT(g_replacementCalls, before);
    EXPECT_EQ(snapshot(target), original);
    // Slots are reused: 500 attaches did not take 500 slots' worth of blocks.
    EXPECT_LE(codeArenaStats().blocks, 4u);
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineTest, ::testing::Values(Engine::NearJump, Engine::FarJump),
                         [](const ::testing::TestParamInfo<Engine>& info) { return engineName(info.param); });

TEST(EngineChaining, HookOnTopOfAnotherHookAndUnhookInReverseOrder)
{
    for (const bool nearFirst : {true, false}) {
        SCOPED_TRACE(nearFirst ? "near then far" : "far then near");
        const Engine first = nearFirst ? Engine::NearJump : Engine::FarJump;
        const Engine second = nearFirst ? Engine::FarJump : Engine::NearJump;
        ExecutableMemory mem;
        std::uint8_t* target = jccEarly(mem);
        void** slotA = mem.data<void*>(target);
        void** slotB = mem.data<void*>(target);
        std::uint8_t* replacementA = forwardingReplacement(mem, slotA, 100);
        std::uint8_t* replacementB = forwardingReplacement(mem, slotB, 10000);
        const std::vector<std::uint8_t> targetBytes = snapshot(target);
        const std::vector<std::uint8_t> replacementBytes = snapshot(replacementA);

        ASSERT_TRUE(attach(first, slotA, replacementA));
        EXPECT_EQ(fn(target)(5), 116);
        // The second hook follows the first one's jump and hooks what it leads to.
        ASSERT_TRUE(attach(second, slotB, replacementB));
        EXPECT_EQ(fn(target)(5), 10116);
        EXPECT_EQ(fn(*slotB)(5), 116);

        ASSERT_TRUE(detach(second, slotB, replacementB));
        EXPECT_EQ(fn(target)(5), 116);
        EXPECT_EQ(snapshot(replacementA), replacementBytes);
        ASSERT_TRUE(detach(first, slotA, replacementA));
        EXPECT_EQ(fn(target)(5), 16);
        EXPECT_EQ(snapshot(target), targetBytes);
    }
}

TEST(NearJumpEngine, RefusesWithoutMemoryInReachWhereTheFarEngineSucceeds)
{
    IsolatedCode isolated;
    ExecutableMemory& mem = isolated.memory();
    std::uint8_t* jcc = jccEarly(mem);
    std::uint8_t* rip = ripPrologue(mem);
    const std::vector<std::uint8_t> original = snapshot(jcc);

    g_real = jcc;
    EXPECT_FALSE(attach(Engine::NearJump, realSlot(), reinterpret_cast<void*>(&plus1000)));
    EXPECT_EQ(g_real, static_cast<void*>(jcc));
    EXPECT_EQ(snapshot(jcc), original);

    // The far engine's trampoline lands more than 2 GB away: the jcc and the jump back become
    // absolute jumps ...
    ASSERT_TRUE(attach(Engine::FarJump, realSlot(), reinterpret_cast<void*>(&plus1000)));
    const std::int64_t distance = static_cast<std::uint8_t*>(g_real) - jcc;
    EXPECT_GT(distance > 0 ? distance : -distance, 0x7FFFFFFFLL);
    EXPECT_EQ(fn(jcc)(5), 1016);
    EXPECT_EQ(fn(jcc)(0), 999);
    EXPECT_EQ(fn(g_real)(0), -1);
    ASSERT_TRUE(detach(Engine::FarJump, realSlot(), reinterpret_cast<void*>(&plus1000)));
    EXPECT_EQ(snapshot(jcc), original);

    // ... but a RIP-relative load cannot reach its data from there: refused, not truncated.
    g_real = rip;
    EXPECT_FALSE(attach(Engine::FarJump, realSlot(), reinterpret_cast<void*>(&plus1000)));
    EXPECT_EQ(g_real, static_cast<void*>(rip));
}

namespace {

std::vector<std::string> g_printed;

void collect(const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_printed.push_back(line);
}

} // namespace

TEST(NearJumpEngine, BatchReportsEachEntry)
{
    using namespace Overlay::HookEngines;
    ExecutableMemory mem;
    std::uint8_t* a = jccEarly(mem);
    std::uint8_t* tiny = mem.add({0x31, 0xC0, 0xC3});
    std::uint8_t* b = hotPatch(mem);
    void* slots[4] = {a, tiny, b, a};
    NearJumpAttachEntry entries[4];
    for (int i = 0; i < 4; ++i)
        entries[i] = {&slots[i], reinterpret_cast<void*>(&plus1000), true};

    g_printed.clear();
    setNearJumpPrintCallback(&collect);
    EXPECT_EQ(attachNearJumps(entries, 4), 2);
    EXPECT_TRUE(entries[0].attached);
    EXPECT_FALSE(entries[1].attached);
    EXPECT_TRUE(entries[2].attached);
    EXPECT_FALSE(entries[3].attached);  // the same function twice
    ASSERT_EQ(g_printed.size(), 4u);
    EXPECT_NE(g_printed[1].find("function shorter than the patch"), std::string::npos) << g_printed[1];

    void* unknown = tiny;
    NearJumpDetachEntry detach[3] = {{&slots[0], 7}, {&unknown, 7}, {&slots[2], 7}};
    EXPECT_EQ(detachNearJumps(detach, 3), 2);
    EXPECT_EQ(detach[0].detached, 1u);
    EXPECT_EQ(detach[1].detached, 0u);
    EXPECT_EQ(detach[2].detached, 1u);
    EXPECT_EQ(slots[0], static_cast<void*>(a));
    EXPECT_EQ(slots[2], static_cast<void*>(b));
    setNearJumpPrintCallback(nullptr);
}

TEST(FarJumpEngine, TransactionIsAllOrNothing)
{
    using namespace Overlay::HookEngines;
    ExecutableMemory mem;
    std::uint8_t* good = jccEarly(mem);
    std::uint8_t* tiny = mem.add({0x31, 0xC0, 0xC3});
    const std::vector<std::uint8_t> original = snapshot(good);
    void* slotGood = good;
    void* slotTiny = tiny;

    EXPECT_NE(commitFarJumpTransaction(), 0);  // none open
    ASSERT_EQ(beginFarJumpTransaction(), 0);
    EXPECT_NE(beginFarJumpTransaction(), 0);   // one at a time
    EXPECT_EQ(enlistFarJumpThread(GetCurrentThread()), 0);
    EXPECT_EQ(stageFarJumpAttach(&slotGood, reinterpret_cast<void*>(&plus1000)), 0);
    EXPECT_NE(stageFarJumpAttach(&slotTiny, reinterpret_cast<void*>(&plus1000)), 0);
    EXPECT_NE(commitFarJumpTransaction(), 0);
    EXPECT_EQ(slotGood, static_cast<void*>(good));
    EXPECT_EQ(snapshot(good), original);

    // A transaction started elsewhere is not this thread's to use.
    ASSERT_EQ(beginFarJumpTransaction(), 0);
    long fromOtherThread = 0;
    std::thread([&] { fromOtherThread = stageFarJumpAttach(&slotGood, reinterpret_cast<void*>(&plus1000)); }).join();
    EXPECT_NE(fromOtherThread, 0);
    EXPECT_EQ(abortFarJumpTransaction(), 0);
    EXPECT_EQ(snapshot(good), original);
}
