// Hook records and their batch attach/detach through both engines, with the log lines they write.
#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"

#include "log_capture.h"
#include "test_code.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Overlay;
using HookingTest::LogCapture;
using HookingTest::LoggedLine;
using TestCode::ExecutableMemory;

namespace {

using IntFn = int (*)(int);

// x ? 3x + 1 : -1; hookable by both engines.
std::uint8_t* hookable(ExecutableMemory& mem)
{
    return mem.add({0x85, 0xC9, 0x74, 0x0B, 0x8D, 0x04, 0x49, 0xFF, 0xC0, 0x0F, 0x1F, 0x44, 0x00, 0x00, 0xC3,
                    0xB8, 0xFF, 0xFF, 0xFF, 0xFF, 0xC3});
}

// xor eax,eax ; ret: too short for either engine.
std::uint8_t* tooShort(ExecutableMemory& mem)
{
    return mem.add({0x31, 0xC0, 0xC3});
}

// Replacement: eax = [slot](ecx) + 1000, with its real pointer in `slot`.
std::uint8_t* replacement(ExecutableMemory& mem, void** slot)
{
    TestCode::Code c(mem.next());
    c.op({0x48, 0x83, 0xEC, 0x28}).op({0xFF, 0x15}).rel32(slot).op({0x05, 0xE8, 0x03, 0x00, 0x00})
        .op({0x48, 0x83, 0xC4, 0x28, 0xC3});
    return mem.add(c.bytes());
}

std::vector<std::uint8_t> bytesAt(const void* p)
{
    const std::uint8_t* b = static_cast<const std::uint8_t*>(p);
    return std::vector<std::uint8_t>(b, b + 24);
}

LoggedLine info(const std::wstring& text)
{
    return {Log::Level::Info, text};
}

LoggedLine error(const std::wstring& text)
{
    return {Log::Level::Error, text};
}

} // namespace

TEST(HookRecord, RefusesNullPointersNamingTheRecord)
{
    int dummy = 0;
    try {
        makeHookRecord(nullptr, nullptr, "IDXGISwapChain::Present");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "IDXGISwapChain::Present: realFunc is null");
    }
    try {
        makeUniqueHookRecord(&dummy, nullptr, "ShowCursor");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "ShowCursor: hookFunc is null");
    }
}

TEST(HookUtils, EmptyListsChangeNothingAndLogNothing)
{
    LogCapture log;
    hook({});
    unhook({});
    hook({nullptr, nullptr});
    unhook({nullptr});
    EXPECT_TRUE(allHooked({}));
    EXPECT_TRUE(log.take().empty());
}

TEST(HookUtils, FirstEngineTakesWhatItCanAndTheSecondTheRest)
{
    LogCapture log;
    TestCode::IsolatedCode isolated;  // nothing can be allocated within reach of this one
    ExecutableMemory mem;
    std::uint8_t* targets[3] = {hookable(mem), hookable(mem), hookable(isolated.memory())};
    const std::vector<std::uint8_t> before = bytesAt(targets[2]);
    void* slots[3] = {};
    std::uint8_t* replacements[3];
    for (int i = 0; i < 3; ++i)
        replacements[i] = replacement(mem, &slots[i]);
    HookRecord a(targets[0], replacements[0], "A", true);
    HookRecord b(targets[1], replacements[1], "B", true);
    HookRecord c(targets[2], replacements[2], "C", true);
    const HookList list{&a, nullptr, &b, &c};

    hook(list);
    EXPECT_TRUE(allHooked({&a, &b, &c}));
    EXPECT_EQ(a.getBackend(), HookBackendMhook);
    EXPECT_EQ(b.getBackend(), HookBackendMhook);
    EXPECT_EQ(c.getBackend(), HookBackendDetours);
    EXPECT_EQ(log.take(), (std::vector<LoggedLine>{info(L"Hook : A : Ok"), info(L"Hook : B : Ok"), info(L"Hook : C : Ok")}));
    for (int i = 0; i < 3; ++i) {
        slots[i] = (i == 0 ? a : i == 1 ? b : c).getRealFunc();
        EXPECT_EQ(reinterpret_cast<IntFn>(targets[i])(5), 1016);
    }

    hook(list);  // all attached already
    EXPECT_TRUE(log.take().empty());

    unhook(list);
    EXPECT_FALSE(a.isHooked() || b.isHooked() || c.isHooked());
    EXPECT_EQ(log.take(),
              (std::vector<LoggedLine>{info(L"Unhook : A : Ok"), info(L"Unhook : B : Ok"), info(L"Unhook : C : Ok")}));
    EXPECT_EQ(bytesAt(targets[2]), before);
    EXPECT_EQ(c.getRealFunc(), static_cast<void*>(targets[2]));
}

TEST(HookUtils, FailuresAreLoggedWithTheEngineDump)
{
    LogCapture log;
    initHookEngineLog();
    ExecutableMemory mem;
    void* slot = nullptr;
    std::uint8_t* target = tooShort(mem);
    HookRecord record(target, replacement(mem, &slot), "Tiny", true);
    hook({&record});
    EXPECT_FALSE(record.isHooked());
    EXPECT_FALSE(allHooked({&record}));
    const std::vector<LoggedLine> lines = log.take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], error(L"Detours attach error = 9"));
    EXPECT_EQ(lines[1], error(L"Hook : Tiny : Failed"));
    EXPECT_EQ(lines[2].first, Log::Level::Error);
    const std::wstring& dump = lines[2].second;
    EXPECT_EQ(dump.rfind(L"Mhook Dump Start:\n", 0), 0u) << dump;
    EXPECT_NE(dump.find(L"function shorter than the patch\nMhook Dump End"), std::wstring::npos) << dump;
    deinitHookEngineLog();
    EXPECT_EQ(hookEngineLog(), nullptr);
}

TEST(HookUtils, DestroyingAnAttachedRecordDetachesIt)
{
    ExecutableMemory mem;
    std::uint8_t* target = hookable(mem);
    const std::vector<std::uint8_t> before = bytesAt(target);
    void* slot = nullptr;
    std::uint8_t* repl = replacement(mem, &slot);
    LogCapture log;
    {
        std::unique_ptr<HookRecord> record = makeUniqueHookRecord(target, repl, "Kernel32::LoadLibraryW");
        hook({record.get()});
        ASSERT_TRUE(record->isHooked());
        log.take();
    }
    EXPECT_EQ(log.take(), std::vector<LoggedLine>{info(L"Unhook : Kernel32::LoadLibraryW : Ok")});
    EXPECT_EQ(bytesAt(target), before);
}

TEST(HookUtils, EngineLogKeepsWithinItsBufferAndEndsWithANewline)
{
    initHookEngineLog();
    const MhookDumpBuffer* buffer = hookEngineLog();
    ASSERT_NE(buffer, nullptr);
    mhookPrintCallback("attach %d: failed: %s", 7, "unknown instruction");
    EXPECT_EQ(std::string(buffer->data, static_cast<std::size_t>(buffer->length)), "attach 7: failed: unknown instruction\n");

    const std::string burst(40000, 'x');
    mhookPrintCallback("%s", burst.c_str());
    EXPECT_EQ(buffer->length, MhookDumpBuffer::Capacity);
    EXPECT_EQ(buffer->data[buffer->length - 1], '\n');
    mhookPrintCallback("dropped");  // full: nothing more fits
    EXPECT_EQ(buffer->length, MhookDumpBuffer::Capacity);
    deinitHookEngineLog();
}
