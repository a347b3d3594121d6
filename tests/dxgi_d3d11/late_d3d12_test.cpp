// Direct3D 12 in a DXGI game that loads it only after the overlay has started: nothing of it is made
// before, and its hooks are attached once the game loads it. This program's only test that loads
// Direct3D 12: nothing may have loaded it before.
#include "overlay_listener.h"

#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/load_library_hook.h"

#include <d3d12.h>
#include <dxgi1_4.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

using GraphicsTest::OverlayListener;
using Microsoft::WRL::ComPtr;

TEST(LateDirect3D12, NothingOfItUntilTheGameLoadsItThenItsFramesAreDrawn)
{
    ASSERT_EQ(GetModuleHandleW(L"d3d12.dll"), nullptr) << "another test of this program loaded Direct3D 12";
    Overlay::LoadLibraryHook loads;
    Overlay::hook(loads.getHooks());
    Overlay::GraphicDeviceHook hook(77);
    Overlay::hook(hook.getHooks());
    EXPECT_EQ(GetModuleHandleW(L"d3d12.dll"), nullptr) << "a game that never uses Direct3D 12 would pay for it";
    const size_t hookedAtStart = hook.getHooks().size();
    OverlayListener listener;
    hook.setListener(&listener);

    const HMODULE d3d12 = LoadLibraryW(L"d3d12.dll");
    ASSERT_NE(d3d12, nullptr);
    // Attached on a thread of the hook's.
    auto lateHooked = [&] { return hook.getHooks().size() > hookedAtStart && Overlay::allHooked(hook.getHooks()); };
    for (const ULONGLONG deadline = GetTickCount64() + 20000; !lateHooked() && GetTickCount64() < deadline;)
        Sleep(10);
    ASSERT_TRUE(lateHooked()) << "Direct3D 12's hooks were not attached once it was loaded";

    const auto createDevice =
        reinterpret_cast<PFN_D3D12_CREATE_DEVICE>(reinterpret_cast<void*>(GetProcAddress(d3d12, "D3D12CreateDevice")));
    ComPtr<ID3D12Device> device;
    ASSERT_HRESULT_SUCCEEDED(createDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)));
    D3D12_COMMAND_QUEUE_DESC queueDesc = {};
    ComPtr<ID3D12CommandQueue> queue;
    ASSERT_HRESULT_SUCCEEDED(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue)));
    ComPtr<IDXGIFactory2> factory;
    ASSERT_HRESULT_SUCCEEDED(CreateDXGIFactory1(IID_PPV_ARGS(&factory)));
    const Overlay::DummyWindow window;
    DXGI_SWAP_CHAIN_DESC1 desc = {};
    desc.Width = 128;
    desc.Height = 96;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    ComPtr<IDXGISwapChain1> swapChain;
    ASSERT_HRESULT_SUCCEEDED(
        factory->CreateSwapChainForHwnd(queue.Get(), window.handle(), &desc, nullptr, nullptr, &swapChain));
    for (int frame = 0; frame < 12; ++frame)
        ASSERT_HRESULT_SUCCEEDED(swapChain->Present(0, 0));
    EXPECT_EQ(listener.windowCalls, 1);
    EXPECT_EQ(listener.window, window.handle());
    EXPECT_GE(listener.presentCalls, 1);
    EXPECT_EQ(listener.errors, "");
    hook.setListener(nullptr);
}
