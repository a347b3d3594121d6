// Both engines on real system functions: the cursor functions, the module loaders and DXGI's
// Present, reached through a swap chain's method table.
#include "test_code.h"

#include "hook_engines/inline_hook.h"

#include <gtest/gtest.h>

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

using namespace TestCode;
using Microsoft::WRL::ComPtr;

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

TEST_P(SystemFunctions, CursorFunctions)
{
    const Engine engine = GetParam();
    roundTrip<Forwarder<0, BOOL, int, int>>(engine, exported(L"user32.dll", "SetCursorPos"),
                                            [] { EXPECT_TRUE(SetCursorPos(40, 50)); });
    roundTrip<Forwarder<1, BOOL, POINT*>>(engine, exported(L"user32.dll", "GetCursorPos"), [] {
        POINT point{};
        EXPECT_TRUE(GetCursorPos(&point));
    });
    roundTrip<Forwarder<2, int, BOOL>>(engine, exported(L"user32.dll", "ShowCursor"), [] {
        const int shown = ShowCursor(TRUE);
        EXPECT_EQ(ShowCursor(FALSE), shown - 1);
    });
}

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

TEST_P(SystemFunctions, DxgiPresentFoundThroughTheMethodTable)
{
    const Engine engine = GetParam();
    HWND window = CreateWindowExW(0, L"STATIC", L"present", WS_OVERLAPPEDWINDOW, 0, 0, 128, 128, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    LoadLibraryW(L"d3d11.dll");
    const auto create = reinterpret_cast<PFN_D3D11_CREATE_DEVICE_AND_SWAP_CHAIN>(
        exported(L"d3d11.dll", "D3D11CreateDeviceAndSwapChain"));
    ASSERT_NE(create, nullptr);
    DXGI_SWAP_CHAIN_DESC desc{};
    desc.BufferDesc.Width = 128;
    desc.BufferDesc.Height = 128;
    desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 1;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    ComPtr<IDXGISwapChain> swapChain;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    const HRESULT hr = create(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
                              &swapChain, &device, nullptr, &context);
    ASSERT_EQ(hr, S_OK);
    void** methods = *reinterpret_cast<void***>(swapChain.Get());
    roundTrip<Forwarder<6, HRESULT, IDXGISwapChain*, UINT, UINT>>(engine, methods[8],
                                                                  [&] { EXPECT_EQ(swapChain->Present(0, 0), S_OK); });
    context.Reset();
    device.Reset();
    swapChain.Reset();
    DestroyWindow(window);
}

INSTANTIATE_TEST_SUITE_P(Engines, SystemFunctions, ::testing::Values(Engine::NearJump, Engine::FarJump),
                         [](const ::testing::TestParamInfo<Engine>& info) { return engineName(info.param); });
