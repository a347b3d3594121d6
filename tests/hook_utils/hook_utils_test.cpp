// Hook records and their batch attach/detach through both engines, with the log lines they write.
#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include "log_capture.h"
#include "test_code.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(PlusHundredHook);

// A hook class as the product writes them: the replacement adds 100 while the object lives and
// only forwards once it is gone; the object goes once no thread is inside the replacement.
class PlusHundredHook : private SingleInstance<PlusHundredHook>
{
public:
    using Gate = ReplacementGate<PlusHundredHook>;

    explicit PlusHundredHook(void* target)
        : SingleInstance<PlusHundredHook>(this),
          record_(makeHookRecord(target, codeAddress(&replacement), "PlusHundred"))
    {
        Gate::open(this);
    }
    ~PlusHundredHook()
    {
        unhook({&record_});
        Gate::close("PlusHundredHook", 10000);
    }
    HookRecord& record() { return record_; }

    static int replacement(int x)
    {
        const Gate::Pass pass;
        PlusHundredHook* self = pass.owner();
        if (self == nullptr)
            return callRetired(&replacement, -7, x);
        return self->record_.real<int (*)(int)>()(x) + 100;
    }

private:
    HookRecord record_;
};

}  // namespace Overlay

using namespace Overlay;
using namespace TestCode;
using LogTest::Line;
using LogTest::LogCapture;
using Lines = std::vector<Line>;

namespace {

Line info(const std::wstring& text)
{
    return {Log::Level::Info, text};
}

// Another hooker patches over ours the usual way: its jump at the target, ours moved into its
// trampoline; its replacement adds 10000.
void patchOver(ExecutableMemory& mem, std::uint8_t* target)
{
    std::uint8_t* ours = target[0] == 0xE9 ? target + 5 + *reinterpret_cast<std::int32_t*>(target + 1)
                                           : *reinterpret_cast<std::uint8_t**>(target + 6);  // jmp [rip+0]
    std::vector<std::uint8_t> trampoline{0xFF, 0x25, 0, 0, 0, 0};
    trampoline.resize(14);
    std::memcpy(trampoline.data() + 6, &ours, 8);
    void** slot = mem.data<void*>(mem.add(trampoline));
    Code jump(target);
    jump.op({0xE9}).rel32(forwardingReplacement(mem, slot, 10000));
    std::memcpy(target, jump.bytes().data(), jump.bytes().size());
}

int neverHooked(int x)
{
    return x;
}

}  // namespace

TEST(HookUtils, FirstEngineTakesWhatItCanAndTheSecondTheRest)
{
    LogCapture log;
    IsolatedCode isolated;  // nothing can be allocated within reach of this one
    ExecutableMemory mem;
    std::uint8_t* targets[3] = {jccEarly(mem), jccEarly(mem), jccEarly(isolated.memory())};
    const std::vector<std::uint8_t> before = snapshot(targets[2]);
    void* slots[3] = {};
    HookRecord a(targets[0], forwardingReplacement(mem, &slots[0], 1000), "A", true);
    HookRecord b(targets[1], forwardingReplacement(mem, &slots[1], 1000), "B", true);
    HookRecord c(targets[2], forwardingReplacement(mem, &slots[2], 1000), "C", true);
    const HookList list{&a, nullptr, &b, &c};

    hook(list);
    EXPECT_TRUE(allHooked({&a, &b, &c}));
    EXPECT_EQ(a.getBackend(), HookBackendMhook);
    EXPECT_EQ(b.getBackend(), HookBackendMhook);
    EXPECT_EQ(c.getBackend(), HookBackendDetours);
    EXPECT_EQ(log.take(), (Lines{info(L"Hook : A : Ok"), info(L"Hook : B : Ok"), info(L"Hook : C : Ok")}));
    HookRecord* records[3] = {&a, &b, &c};
    for (int i = 0; i < 3; ++i) {
        slots[i] = records[i]->getRealFunc();
        EXPECT_EQ(fn(targets[i])(5), 1016);
        EXPECT_EQ(fn(targets[i])(0), 999);  // the jcc, relocated more than 2 GB away for C
    }

    hook(list);  // all attached already
    EXPECT_TRUE(log.take().empty());

    unhook(list);
    EXPECT_FALSE(a.isHooked() || b.isHooked() || c.isHooked());
    EXPECT_EQ(log.take(), (Lines{info(L"Unhook : A : Ok"), info(L"Unhook : B : Ok"), info(L"Unhook : C : Ok")}));
    EXPECT_EQ(snapshot(targets[2]), before);
    EXPECT_EQ(c.getRealFunc(), static_cast<void*>(targets[2]));
}

TEST(HookUtils, FailuresAreLoggedWithTheEngineDump)
{
    LogCapture log;
    initHookEngineLog();
    ExecutableMemory mem;
    void* slot = nullptr;
    HookRecord record(tooShort(mem), forwardingReplacement(mem, &slot, 1000), "Tiny", true);
    hook({&record});
    EXPECT_FALSE(allHooked({&record}));
    EXPECT_EQ(record.getStatus(), HookEngines::HookStatus::FunctionTooShort);
    const Lines lines = log.take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], Line(Log::Level::Error, L"Detours attach error = 9 (function shorter than the patch)"));
    EXPECT_EQ(lines[1], Line(Log::Level::Error, L"Hook : Tiny : Failed (function shorter than the patch)"));
    EXPECT_EQ(lines[2].first, Log::Level::Error);
    const std::wstring& dump = lines[2].second;
    EXPECT_EQ(dump.rfind(L"Mhook Dump Start:\n", 0), 0u) << dump;
    EXPECT_NE(dump.find(L"function shorter than the patch\nMhook Dump End"), std::wstring::npos) << dump;
    deinitHookEngineLog();
    EXPECT_EQ(hookEngineLog(), nullptr);
}

TEST(HookUtils, ReplacementOutlivingItsCoveredPatchForwardsToTheOriginal)
{
    IsolatedCode isolated;  // out of the first engine's reach: the second one patches there
    ExecutableMemory mem;
    for (ExecutableMemory* memory : {&mem, &isolated.memory()}) {
        std::uint8_t* target = jccEarly(*memory);
        auto owner = std::make_unique<PlusHundredHook>(target);
        hook({&owner->record()});
        ASSERT_TRUE(owner->record().isHooked());
        EXPECT_EQ(fn(target)(5), 116);
        patchOver(*memory, target);
        EXPECT_EQ(fn(target)(5), 10116);

        LogCapture log;
        owner.reset();  // our patch stays under the other one
        const Lines lines = log.take();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(),
                  Line(Log::Level::Error, L"Unhook : PlusHundred : Failed (patch overwritten since, left in place)"));
        // Theirs, then ours passing straight on to the original, and no more 100.
        EXPECT_EQ(fn(target)(5), 10016);
        EXPECT_EQ(fn(target)(0), 9999);
    }
    // Unhooked in place, the owner gone: a thread still on its way into the replacement reaches
    // the original.
    std::uint8_t* target = mem.add({0x8D, 0x41, 0x07, 0x0F, 0x1F, 0x44, 0x00, 0x00, 0xC3});  // lea eax,[rcx+7]
    auto owner = std::make_unique<PlusHundredHook>(target);
    hook({&owner->record()});
    owner.reset();
    EXPECT_EQ(PlusHundredHook::replacement(5), 12);
    // A replacement with nothing to forward to gives the fallback.
    EXPECT_EQ(callRetired(&neverHooked, -7, 5), -7);
}

TEST(HookUtils, EngineLogKeepsWithinItsBufferAndEndsWithANewline)
{
    initHookEngineLog();
    const MhookDumpBuffer* buffer = hookEngineLog();
    ASSERT_NE(buffer, nullptr);
    mhookPrintCallback("attach %d: failed: %s", 7, "unknown instruction");
    EXPECT_EQ(std::string(buffer->data, std::size_t(buffer->length)), "attach 7: failed: unknown instruction\n");

    const std::string burst(40000, 'x');
    mhookPrintCallback("%s", burst.c_str());
    EXPECT_EQ(buffer->length, MhookDumpBuffer::Capacity);
    EXPECT_EQ(buffer->data[buffer->length - 1], '\n');
    mhookPrintCallback("dropped");  // full: nothing more fits
    EXPECT_EQ(buffer->length, MhookDumpBuffer::Capacity);
    deinitHookEngineLog();
}

TEST(HookUtils, OwnerGoesOnlyOnceNoThreadIsInsideItsReplacement)
{
    LogCapture log;
    ExecutableMemory mem;
    std::int32_t* entered = mem.data<std::int32_t>(0);
    std::int32_t* go = mem.data<std::int32_t>(0);
    // [entered] = 1, then returns x once [go] != 0: a real function the game thread waits in.
    Code code(mem.next());
    code.op({0xC7, 0x05})
        .rel32(entered, 4)
        .op({0x01, 0x00, 0x00, 0x00})  // mov dword [rip+entered],1
        .op({0x8B, 0x05})
        .rel32(go)                     // spin: mov eax,[rip+go]
        .op({0x85, 0xC0, 0x74, 0xF6})  // test eax,eax ; jz spin
        .op({0x89, 0xC8, 0xC3});       // mov eax,ecx ; ret
    std::uint8_t* target = mem.add(code.bytes());

    for (const bool leavesInTime : {true, false}) {
        SCOPED_TRACE(leavesInTime ? "leaves while the owner waits" : "stays past the wait");
        *entered = 0;
        *go = 0;
        auto owner = std::make_unique<PlusHundredHook>(target);
        hook({&owner->record()});
        ASSERT_TRUE(owner->record().isHooked());
        int result = 0;
        std::thread game([&] { result = fn(target)(5); });
        while (*reinterpret_cast<volatile std::int32_t*>(entered) == 0)
            Sleep(1);
        if (leavesInTime) {
            // The owner's destructor waits for the game thread, which is released once it does.
            std::thread teardown([&] { owner.reset(); });
            for (int i = 0;
                 i < 10000 && !log.contains(L"PlusHundredHook: waiting for 1 thread(s) to leave its replacements"); ++i)
                Sleep(1);
            EXPECT_TRUE(log.contains(L"PlusHundredHook: waiting for 1 thread(s) to leave its replacements"));
            *reinterpret_cast<volatile std::int32_t*>(go) = 1;
            teardown.join();
        } else {
            // The wait runs out: the owner reports it, and must be kept (as GraphicDeviceHook does).
            unhook({&owner->record()});
            EXPECT_FALSE(PlusHundredHook::Gate::close("PlusHundredHook", 20));
            *reinterpret_cast<volatile std::int32_t*>(go) = 1;
            game.join();
            owner.reset();
        }
        if (game.joinable())
            game.join();
        EXPECT_EQ(result, 105);  // the replacement finished on a live owner
    }
}
