// Both engines on real system functions: the module loaders down to ntdll. (The cursor functions and
// DXGI's Present are hooked through the engines by the cursor and graphics hook tests.)
#include "test_code.h"

#include "hook_engines/inline_hook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace TestCode;

namespace {

// A replacement that counts its calls and forwards to the trampoline; N tells the hooks apart.
template <int N, class R, class... Args>
struct Forwarder
{
    static inline void* volatile real = nullptr;
    static inline std::atomic<int> calls{0};
    static R WINAPI hook(Args... args)
    {
        ++calls;
        return reinterpret_cast<R(WINAPI*)(Args...)>(real)(args...);
    }
};

void* exported(const wchar_t* module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name));
}

// Attaches, runs `use` (which must reach the function once or more), detaches, and checks that
// the code the patch went to is back as it was, its page's protection included.
template <class Hook, class Use>
void roundTrip(Engine engine, void* target, Use use)
{
    ASSERT_NE(target, nullptr);
    const std::uint8_t* site = Overlay::HookEngines::followJumps(static_cast<std::uint8_t*>(target));
    const std::vector<std::uint8_t> before = snapshot(site);
    const DWORD protection = protectionOf(site);
    Hook::real = target;
    void** slot = const_cast<void**>(&Hook::real);
    void* replacement = reinterpret_cast<void*>(&Hook::hook);
    const int calls = Hook::calls;
    ASSERT_TRUE(attach(engine, slot, replacement));
    EXPECT_EQ(protectionOf(site), protection);
    use();
    EXPECT_GT(Hook::calls, calls);
    ASSERT_TRUE(detach(engine, slot, replacement));
    EXPECT_EQ(protectionOf(site), protection);
    EXPECT_EQ(Hook::real, target);
    EXPECT_EQ(snapshot(site), before);
    const int after = Hook::calls;
    use();
    EXPECT_EQ(Hook::calls, after);
}

class SystemFunctions : public ::testing::TestWithParam<Engine>
{};

}  // namespace

TEST_P(SystemFunctions, ModuleLoaders)
{
    const Engine engine = GetParam();
    roundTrip<Forwarder<3, HMODULE, const wchar_t*>>(engine, exported(L"kernel32.dll", "LoadLibraryW"),
                                                     [] { EXPECT_NE(LoadLibraryW(L"version.dll"), nullptr); });
    roundTrip<Forwarder<4, HMODULE, const wchar_t*, HANDLE, DWORD>>(
        engine, exported(L"kernel32.dll", "LoadLibraryExW"),
        [] { EXPECT_NE(LoadLibraryExW(L"version.dll", nullptr, 0), nullptr); });
    // LoadLibraryW ends in ntdll's LdrLoadDll.
    roundTrip<Forwarder<5, LONG, wchar_t*, ULONG*, void*, void**>>(
        engine, exported(L"ntdll.dll", "LdrLoadDll"), [] { EXPECT_NE(LoadLibraryW(L"version.dll"), nullptr); });
}

INSTANTIATE_TEST_SUITE_P(Engines, SystemFunctions, ::testing::Values(Engine::NearJump, Engine::FarJump),
                         [](const ::testing::TestParamInfo<Engine>& info) { return engineName(info.param); });
