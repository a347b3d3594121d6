// Both engines on functions written as machine code: which prologues they take and which they
// refuse, exact restoration (page protection included), threads stopped inside the patch or unsafe
// to patch around, code gone before detach, chaining; the freezer with a thread started while it
// walks the threads.
#include "test_code.h"

#include "hook_engines/code_memory.h"
#include "hook_engines/thread_freezer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace TestCode;
using namespace Overlay::HookEngines;

namespace {

void* volatile g_real = nullptr;
std::atomic<int> g_replacementCalls{0};

void** realSlot()
{
    return const_cast<void**>(&g_real);
}

int plus1000(int x)
{
    ++g_replacementCalls;
    return fn(g_real)(x) + 1000;
}

void* const replacement = reinterpret_cast<void*>(&plus1000);

// rax = [a] + [b] + x, with RIP-relative mov, lea and cmp in the first bytes.
std::uint8_t* ripPrologue(ExecutableMemory& mem)
{
    std::int64_t* a = mem.data<std::int64_t>(1000);
    std::int64_t* b = mem.data<std::int64_t>(5);
    std::uint8_t* flag = mem.data<std::uint8_t>(1);
    Code c(mem.next());
    c.op({0x48, 0x8B, 0x05})
        .rel32(a)  // mov rax,[rip+a]
        .op({0x48, 0x8D, 0x15})
        .rel32(b)  // lea rdx,[rip+b]
        .op({0x80, 0x3D})
        .rel32(flag, 1)
        .op({0x00})              // cmp byte [rip+flag],0
        .op({0x74, 0x03})        // je +3
        .op({0x48, 0x03, 0x02})  // add rax,[rdx]
        .op({0x48, 0x63, 0xC9})  // movsxd rcx,ecx
        .op({0x48, 0x01, 0xC8})  // add rax,rcx
        .op({0xC3});
    return mem.add(c.bytes());
}

// 2x + 1 through a call rel32 in the first bytes.
std::uint8_t* callRel32(ExecutableMemory& mem)
{
    std::uint8_t* twice = mem.add({0x8D, 0x04, 0x09, 0xC3});  // lea eax,[rcx+rcx] ; ret
    Code c(mem.next());
    c.op({0x48, 0x83, 0xEC, 0x28})  // sub rsp,28h
        .op({0xE8})
        .rel32(twice)                  // call twice
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

// A stub that jumps to `target`: jmp qword ptr [rip+x] as an import stub, or jmp rel32.
std::uint8_t* stub(ExecutableMemory& mem, const void* target, bool indirect)
{
    Code c(mem.next());
    if (indirect)
        c.op({0xFF, 0x25}).rel32(mem.data<const void*>(target));
    else
        c.op({0xE9}).rel32(target);
    return mem.add(c.bytes());
}

class EngineTest : public ::testing::TestWithParam<Engine>
{
protected:
    bool attachPlus1000(void* target, HookStatus* status = nullptr)
    {
        g_real = target;
        return attach(GetParam(), realSlot(), replacement, status);
    }
    bool detachPlus1000(HookStatus* status = nullptr) { return detach(GetParam(), realSlot(), replacement, status); }
};

}  // namespace

TEST_P(EngineTest, AssembledProloguesAreHookedOrRefusedAndRestoredExactly)
{
    ExecutableMemory mem;
    struct Case
    {
        const char* name;
        std::uint8_t* entry;
        std::uint8_t* body;  // where the patch goes (differs from entry for stubs)
        int arg;
        bool hookable;
    };
    std::uint8_t* jcc = jccEarly(mem);
    std::uint8_t* hot = hotPatch(mem);
    std::uint8_t* rip = ripPrologue(mem);
    std::uint8_t* call = callRel32(mem);
    std::uint8_t* tiny = tooShort(mem);
    // xor eax,eax ; add eax,ecx ; dec ecx ; jnz (back to the add) ; ret
    std::uint8_t* loop = mem.add({0x31, 0xC0, 0x01, 0xC8, 0xFF, 0xC9, 0x75, 0xFA, 0xC3});
    const Case cases[] = {
        {"rip-relative", rip, rip, 7, true},
        {"jcc rel8", jcc, jcc, 5, true},
        {"jcc rel8 taken", jcc, jcc, 0, true},
        {"call rel32", call, call, 5, true},
        {"hot-patch", hot, hot, 5, true},
        {"jmp [rip+x] stub", stub(mem, jcc, true), jcc, 4, true},
        {"jmp rel32 stub", stub(mem, hot, false), hot, 4, true},
        {"3-byte function", tiny, tiny, 1, false},
        {"loop back into the first bytes", loop, loop, 4, false},
    };
    const std::size_t slotsBefore = codeArenaStats().slotsInUse;
    void* released = nullptr;  // the previous case's trampoline, released at its detach
    std::vector<std::uint8_t> releasedCode;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> entryBytes = snapshot(c.entry, 8);
        const std::vector<std::uint8_t> bodyBytes = snapshot(c.body);
        const int expected = fn(c.entry)(c.arg);
        const int callsBefore = g_replacementCalls;

        ASSERT_EQ(attachPlus1000(c.entry), c.hookable);
        if (c.hookable) {
            // Not handed out again while other slots are free: a caller that read it just before the
            // detach still runs intact code.
            EXPECT_TRUE(released == nullptr || snapshot(released) == releasedCode);
            released = g_real;
            releasedCode = snapshot(released);
            EXPECT_EQ(fn(c.entry)(c.arg), expected + 1000);
            EXPECT_EQ(g_replacementCalls, callsBefore + 1);
            EXPECT_EQ(fn(g_real)(c.arg), expected);
            EXPECT_NE(snapshot(c.body), bodyBytes);
            ASSERT_TRUE(detachPlus1000());
        }
        EXPECT_EQ(g_real, static_cast<void*>(c.entry));
        EXPECT_EQ(snapshot(c.body), bodyBytes);
        EXPECT_EQ(snapshot(c.entry, 8), entryBytes);
        EXPECT_EQ(codeArenaStats().slotsInUse, slotsBefore);
    }
}

TEST_P(EngineTest, ThreadStoppedInsideThePatchContinuesInTheTrampolineAndBack)
{
    ExecutableMemory mem;
    // Loops until *rcx != 0, then returns 42; the loop lies entirely in the bytes the patch replaces.
    std::uint8_t* code = mem.add({0x8B, 0x01,                    // mov eax,[rcx]
                                  0x85, 0xC0,                    // test eax,eax
                                  0x74, 0xFA,                    // jz -6
                                  0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                                  0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                                  0xB8, 0x2A, 0x00, 0x00, 0x00,  // mov eax,42
                                  0xC3});
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
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(attachPlus1000(code));
        Sleep(2);
        ASSERT_TRUE(detachPlus1000());
        Sleep(2);
    }
    ASSERT_TRUE(attachPlus1000(code));
    Sleep(5);
    go = 1;
    spinner.join();
    // It finished inside the trampoline (42), or, stopped right at the start, took the new jump
    // into the replacement (1042, or more if that happened again).
    EXPECT_EQ(result % 1000, 42);
    ASSERT_TRUE(detachPlus1000());
    EXPECT_EQ(snapshot(code), original);
}

TEST_P(EngineTest, PatchOverwrittenOrUnmappedSinceIsLeftAloneAndItsTrampolineStaysValid)
{
    ExecutableMemory mem;
    std::uint8_t* target = jccEarly(mem);
    std::uint8_t* foreign = mem.add({0xB8, 0x61, 0x1E, 0x00, 0x00, 0xC3});  // mov eax,7777 ; ret
    const std::vector<std::uint8_t> original = snapshot(target);
    ASSERT_TRUE(attachPlus1000(target));
    void* trampoline = g_real;

    // Another hooker writes its own jump over ours without following it.
    const std::vector<std::uint8_t> ours = snapshot(target, 5);
    Code jump(target);
    jump.op({0xE9}).rel32(foreign);
    std::memcpy(target, jump.bytes().data(), jump.bytes().size());

    const std::size_t slots = codeArenaStats().slotsInUse;
    EXPECT_FALSE(detachPlus1000());
    EXPECT_EQ(g_real, trampoline);
    EXPECT_EQ(codeArenaStats().slotsInUse, slots);
    EXPECT_EQ(fn(target)(5), 7777);
    EXPECT_EQ(fn(trampoline)(5), 16);

    // Once the other hooker has gone, the detach goes through.
    std::memcpy(target, ours.data(), ours.size());
    EXPECT_TRUE(detachPlus1000());
    EXPECT_EQ(snapshot(target), original);
    EXPECT_EQ(fn(target)(5), 16);

    // Another module's code, unloaded since: its addresses stay reserved, so nothing else is mapped there.
    ExecutableMemory other;
    std::uint8_t* body = jccEarly(other);
    ASSERT_TRUE(attachPlus1000(stub(mem, body, true)));
    trampoline = g_real;
    ASSERT_TRUE(VirtualFree(body, 0x1000, MEM_DECOMMIT));
    HookStatus status = HookStatus::Ok;
    EXPECT_FALSE(detachPlus1000(&status));
    EXPECT_EQ(status, HookStatus::UnreadableCode);
    EXPECT_EQ(g_real, trampoline);
}

TEST_P(EngineTest, PatchedPagesKeepTheirOwnProtection)
{
    struct Case
    {
        const char* name;
        DWORD first, second;  // the pages the patch spans
    };
    const Case cases[] = {
        {"read-only code", PAGE_EXECUTE_READ, PAGE_EXECUTE_READ},
        {"read-only then writable", PAGE_EXECUTE_READ, PAGE_EXECUTE_READWRITE},
        {"writable then read-only", PAGE_EXECUTE_READWRITE, PAGE_EXECUTE_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExecutableMemory mem;
        const std::vector<std::uint8_t> code = snapshot(jccEarly(mem), 21);
        std::uint8_t* boundary = reinterpret_cast<std::uint8_t*>(
            (reinterpret_cast<std::uintptr_t>(mem.next()) + 0x1FFF) & ~std::uintptr_t(0xFFF));
        std::uint8_t* target = boundary - 3;
        std::memcpy(target, code.data(), code.size());
        DWORD ignored = 0;
        ASSERT_TRUE(VirtualProtect(boundary - 0x1000, 0x1000, c.first, &ignored));
        ASSERT_TRUE(VirtualProtect(boundary, 0x1000, c.second, &ignored));

        ASSERT_TRUE(attachPlus1000(target));
        EXPECT_EQ(protectionOf(target), c.first);
        EXPECT_EQ(protectionOf(boundary), c.second);
        EXPECT_EQ(fn(target)(5), 1016);
        ASSERT_TRUE(detachPlus1000());
        EXPECT_EQ(protectionOf(target), c.first);
        EXPECT_EQ(protectionOf(boundary), c.second);
        EXPECT_EQ(snapshot(target, code.size()), code);
    }
}

namespace {

// GetThreadContext fails for this thread, as if its registers could not be read.
std::atomic<DWORD> g_unreadableThread{0};

BOOL WINAPI failingGetThreadContext(HANDLE thread, CONTEXT* context)
{
    static const auto ntGetContextThread =
        reinterpret_cast<LONG(NTAPI*)(HANDLE, CONTEXT*)>(exported(L"ntdll.dll", "NtGetContextThread"));
    if (GetThreadId(thread) == g_unreadableThread) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ntGetContextThread(thread, context) >= 0;
}

}  // namespace

TEST_P(EngineTest, ThreadsThatAreNotSafeToPatchAroundMakeTheEngineWaitThenRefuse)
{
    ExecutableMemory mem;
    // callee(rcx): [rcx+4] = 1, then spins until [rcx] != 0, without touching the stack.
    std::uint8_t* callee = mem.add({0xC7, 0x41, 0x04, 0x01, 0x00, 0x00, 0x00,  // mov dword [rcx+4],1
                                    0x8B, 0x01, 0x85, 0xC0, 0x74, 0xFA,        // spin: mov eax,[rcx] ; test ; jz spin
                                    0xC3});
    // caller(rcx, rdx): call rdx first thing, so its return address lies in the patched bytes.
    std::uint8_t* caller = mem.add({0xFF, 0xD2,                    // call rdx
                                    0xB8, 0x2A, 0x00, 0x00, 0x00,  // mov eax,42
                                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                                    0x0F, 0x1F, 0x44, 0x00, 0x00,  // nop
                                    0xC3});
    std::uint8_t* target = jccEarly(mem);
    const std::vector<std::uint8_t> callerBytes = snapshot(caller);

    void* getThreadContext = exported(L"kernel32.dll", "GetThreadContext");
    ASSERT_TRUE(attach(Engine::FarJump, &getThreadContext, reinterpret_cast<void*>(&failingGetThreadContext)));

    volatile long flags[2] = {0, 0};  // go, entered
    std::atomic<DWORD> blockerId{0};
    std::thread blocker([&] {
        blockerId = GetCurrentThreadId();
        reinterpret_cast<int (*)(volatile long*, void*)>(caller)(flags, callee);
    });
    while (flags[1] == 0)
        Sleep(1);

    HookStatus status = HookStatus::Ok;
    // A thread whose registers cannot be read could be anywhere: no write while it stays so.
    g_unreadableThread = blockerId.load();
    EXPECT_FALSE(attachPlus1000(target, &status));
    EXPECT_EQ(status, HookStatus::ThreadUnreadable);
    g_unreadableThread = 0;
    ASSERT_TRUE(attachPlus1000(target));
    g_unreadableThread = blockerId.load();
    EXPECT_FALSE(detachPlus1000(&status));
    EXPECT_EQ(status, HookStatus::ThreadUnreadable);
    g_unreadableThread = 0;
    EXPECT_TRUE(detachPlus1000());

    // The blocker waits in the callee; returning, it would land in the middle of the jump.
    const bool attached = attachPlus1000(caller, &status);
    EXPECT_FALSE(attached);
    EXPECT_EQ(status, HookStatus::ReturnIntoPatch);
    if (attached)
        detachPlus1000();
    flags[0] = 1;
    blocker.join();
    ASSERT_TRUE(attachPlus1000(caller));
    EXPECT_TRUE(detachPlus1000());
    EXPECT_EQ(snapshot(caller), callerBytes);

    EXPECT_TRUE(detach(Engine::FarJump, &getThreadContext, reinterpret_cast<void*>(&failingGetThreadContext)));
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineTest, ::testing::Values(Engine::NearJump, Engine::FarJump),
                         [](const ::testing::TestParamInfo<Engine>& info) { return engineName(info.param); });

namespace {

using NtGetNextThreadFn = LONG(NTAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, PHANDLE);

void* g_nextThread = nullptr;  // the real NtGetNextThread once hooked
std::atomic<bool> g_startAtEnd{false};
HANDLE g_stop = nullptr;
HANDLE g_late = nullptr;

DWORD WINAPI waitForStop(void*)
{
    WaitForSingleObject(g_stop, INFINITE);
    return 0;
}

// Once armed, the walk that reaches the last thread starts one more right after, as a thread does
// that the freezer suspended inside CreateThread.
LONG NTAPI nextThreadStartingOneAtTheEnd(HANDLE process, HANDLE thread, ACCESS_MASK access, ULONG attributes,
                                         ULONG flags, PHANDLE next)
{
    const LONG status =
        reinterpret_cast<NtGetNextThreadFn>(g_nextThread)(process, thread, access, attributes, flags, next);
    if (status < 0 && g_startAtEnd.exchange(false))
        g_late = CreateThread(nullptr, 0, &waitForStop, nullptr, 0, nullptr);
    return status;
}

// Threads of this process other than the caller that have not ended, counted with system calls
// only: a stopped thread may hold the heap or loader lock.
std::size_t otherThreads()
{
    std::size_t count = 0;
    HANDLE previous = nullptr;
    HANDLE next = nullptr;
    while (reinterpret_cast<NtGetNextThreadFn>(g_nextThread)(GetCurrentProcess(), previous,
                                                             THREAD_SUSPEND_RESUME | THREAD_QUERY_LIMITED_INFORMATION,
                                                             0, 0, &next) >= 0) {
        if (previous != nullptr)
            CloseHandle(previous);
        previous = next;
        // An ending thread can no longer be suspended.
        if (GetThreadId(next) != GetCurrentThreadId() && SuspendThread(next) != static_cast<DWORD>(-1)) {
            ResumeThread(next);
            ++count;
        }
    }
    if (previous != nullptr)
        CloseHandle(previous);
    return count;
}

}  // namespace

TEST(ThreadFreezer, ThreadStartedAsTheWalkEndsIsStoppedToo)
{
    g_nextThread = exported(L"ntdll.dll", "NtGetNextThread");
    ASSERT_NE(g_nextThread, nullptr);
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE waiting = CreateThread(nullptr, 0, &waitForStop, nullptr, 0, nullptr);  // suspended by the first walk
    ASSERT_NE(waiting, nullptr);
    ASSERT_TRUE(attach(Engine::FarJump, &g_nextThread, reinterpret_cast<void*>(&nextThreadStartingOneAtTheEnd)));

    ThreadFreezer freezer;
    g_startAtEnd = true;
    const HookStatus status = freezer.freeze();
    const std::size_t others = otherThreads();
    const std::size_t held = freezer.count();
    freezer.thaw();

    EXPECT_TRUE(detach(Engine::FarJump, &g_nextThread, reinterpret_cast<void*>(&nextThreadStartingOneAtTheEnd)));
    SetEvent(g_stop);
    HANDLE threads[] = {waiting, g_late};
    EXPECT_EQ(WaitForMultipleObjects(g_late != nullptr ? 2 : 1, threads, TRUE, 5000), WAIT_OBJECT_0);
    CloseHandle(waiting);
    CloseHandle(g_stop);
    EXPECT_EQ(status, HookStatus::Ok);
    ASSERT_NE(g_late, nullptr);
    CloseHandle(g_late);
    // Any thread not held would go on running while the code is rewritten.
    EXPECT_EQ(held, others);
}

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

TEST(NearJumpEngine, BatchReportsEachEntry)
{
    ExecutableMemory mem;
    std::uint8_t* a = jccEarly(mem);
    std::uint8_t* tiny = tooShort(mem);
    std::uint8_t* b = hotPatch(mem);
    void* slots[4] = {a, tiny, b, a};  // the same function twice: only the first one is taken
    NearJumpAttachEntry entries[4];
    for (int i = 0; i < 4; ++i)
        entries[i] = {&slots[i], replacement, true};
    EXPECT_EQ(attachNearJumps(entries, 4), 2);
    const HookStatus expected[4] = {HookStatus::Ok, HookStatus::FunctionTooShort, HookStatus::Ok,
                                    HookStatus::DuplicateTarget};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].status, expected[i]) << i;
        EXPECT_EQ(entries[i].attached, expected[i] == HookStatus::Ok) << i;
    }

    void* unknown = tiny;
    NearJumpDetachEntry detached[3] = {{&slots[0], 7}, {&unknown, 7}, {&slots[2], 7}};
    EXPECT_EQ(detachNearJumps(detached, 3), 2);
    EXPECT_EQ((std::vector<unsigned>{detached[0].detached, detached[1].detached, detached[2].detached}),
              (std::vector<unsigned>{1, 0, 1}));
    EXPECT_EQ(detached[1].status, HookStatus::NotHooked);
    EXPECT_EQ(slots[0], static_cast<void*>(a));
    EXPECT_EQ(slots[2], static_cast<void*>(b));
}

namespace {

// VirtualProtect fails for this page, as for code that cannot be made writable.
std::atomic<std::uintptr_t> g_lockedPage{0};
using NtProtectVirtualMemoryFn = LONG(NTAPI*)(HANDLE, void**, SIZE_T*, ULONG, ULONG*);
NtProtectVirtualMemoryFn g_ntProtect = nullptr;

BOOL WINAPI failingVirtualProtect(void* address, SIZE_T size, DWORD protection, DWORD* former)
{
    if ((reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t(0xFFF)) == g_lockedPage) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ULONG old = 0;
    const BOOL done = g_ntProtect(GetCurrentProcess(), &address, &size, protection, &old) >= 0;
    *former = old;
    return done;
}

}  // namespace

TEST(FarJumpEngine, TransactionIsAllOrNothingAndOwnedByItsThread)
{
    ExecutableMemory mem;
    std::uint8_t* good = jccEarly(mem);
    const std::vector<std::uint8_t> original = snapshot(good);
    void* slotGood = good;
    void* slotTiny = tooShort(mem);

    EXPECT_NE(commitFarJumpTransaction(), 0);  // none open
    ASSERT_EQ(beginFarJumpTransaction(), 0);
    EXPECT_NE(beginFarJumpTransaction(), 0);  // one at a time
    EXPECT_EQ(enlistFarJumpThread(GetCurrentThread()), 0);
    EXPECT_EQ(stageFarJumpAttach(&slotGood, replacement), 0);
    EXPECT_NE(stageFarJumpAttach(&slotTiny, replacement), 0);
    FarJumpFailure failure;
    EXPECT_NE(commitFarJumpTransaction(&failure), 0);
    EXPECT_EQ(failure.function, &slotTiny);
    EXPECT_EQ(failure.status, HookStatus::FunctionTooShort);
    EXPECT_EQ(slotGood, static_cast<void*>(good));
    EXPECT_EQ(snapshot(good), original);

    // The second patch cannot be written: the first one, written already, is taken back.
    ExecutableMemory other;
    std::uint8_t* locked = jccEarly(other);
    void* slotLocked = locked;
    g_ntProtect = reinterpret_cast<NtProtectVirtualMemoryFn>(exported(L"ntdll.dll", "NtProtectVirtualMemory"));
    void* virtualProtect = exported(L"kernel32.dll", "VirtualProtect");
    ASSERT_TRUE(attach(Engine::FarJump, &virtualProtect, reinterpret_cast<void*>(&failingVirtualProtect)));
    ASSERT_EQ(beginFarJumpTransaction(), 0);
    EXPECT_EQ(stageFarJumpAttach(&slotGood, replacement), 0);
    EXPECT_EQ(stageFarJumpAttach(&slotLocked, replacement), 0);
    g_lockedPage = reinterpret_cast<std::uintptr_t>(locked) & ~std::uintptr_t(0xFFF);
    EXPECT_NE(commitFarJumpTransaction(&failure), 0);
    g_lockedPage = 0;
    EXPECT_TRUE(detach(Engine::FarJump, &virtualProtect, reinterpret_cast<void*>(&failingVirtualProtect)));
    EXPECT_EQ(failure.function, &slotLocked);
    EXPECT_EQ(failure.status, HookStatus::ProtectFailed);
    EXPECT_EQ(slotGood, static_cast<void*>(good));
    EXPECT_EQ(snapshot(good), original);

    ASSERT_EQ(beginFarJumpTransaction(), 0);
    long fromOtherThread = 0;
    std::thread([&] { fromOtherThread = stageFarJumpAttach(&slotGood, replacement); }).join();
    EXPECT_NE(fromOtherThread, 0);
    EXPECT_EQ(abortFarJumpTransaction(), 0);
    EXPECT_EQ(snapshot(good), original);
}
