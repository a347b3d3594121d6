// The DXGI hook in a running game: the demo game presents in this process with the hook records
// attached, a listener draws the overlay the way the overlay client does.
#include "d3d11_spy/d3d11_spy.h"
#include "demo_game.h"
#include "overlay_listener.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/dxgi_methods.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"

#include "win/unique_handle.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

namespace {

using namespace GraphicsTest;
using Overlay::D3DHook;
using Overlay::GraphicDeviceHook;
using Overlay::Rendering::RendererD2D;
using Overlay::Rendering::RendererD3D11;
using Overlay::Rendering::SizeU;

Demo::Options gameOptions()
{
    return hiddenGame<Demo::Options>(256, 192);
}

// Drives the demo game frame by frame, with the overlay listener checking every frame.
class GameDriver : public ::testing::Test
{
protected:
    void startGame(const Demo::Options& options = gameOptions())
    {
        game = std::make_unique<Demo::DemoGame>(options);
        listener = std::make_unique<OverlayListener>([this] { return game->frameCount(); });
        listener->readBack = [this](Overlay::Rendering::Renderer& renderer, Rgba& background) {
            background = backgroundOf<Demo::DemoGame>(game->frameCount());
            return readBackBuffer(swapChainOf(renderer));
        };
    }

    void frames(int count) { ASSERT_EQ(renderFrames(*game, count), S_OK) << "frame " << game->frameCount(); }

    LogTest::LogCapture log;
    std::unique_ptr<Demo::DemoGame> game;
    std::unique_ptr<OverlayListener> listener;
};

// The graphics hook for DXGI (any API value but Direct3D 9's), attached for the fixture's life, and a
// demo game made after it.
class HookedGame : public GameDriver
{
protected:
    HookedGame() : hook(77)
    {
        Overlay::hook(hook.getHooks());
        EXPECT_TRUE(Overlay::allHooked(hook.getHooks()));
    }

    ~HookedGame() override
    {
        hook.setListener(nullptr);
        game.reset();
    }

    GraphicDeviceHook hook;
};

// Resizes while the overlay is drawn are the end-to-end test's.
TEST_F(HookedGame, WindowOnTheTenthPresentThenTheOverlayOnEveryFrame)
{
    startGame();
    frames(12);  // a slow start-up: the listener comes after the tenth frame
    hook.setListener(listener.get());
    frames(4);
    EXPECT_EQ(listener->windowCalls, 1);
    EXPECT_EQ(listener->windowFrame, 12u) << "reported inside the first Present with a listener";
    EXPECT_EQ(listener->window, game->window());
    EXPECT_EQ(listener->firstPresentFrame, 13u);
    EXPECT_NE(std::dynamic_pointer_cast<RendererD2D>(listener->lastRenderer.lock()), nullptr)
        << "Direct2D is preferred";
    EXPECT_EQ(listener->checkedFrames, 3);
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();

    // Test presents are not drawn on; a removed listener hears nothing, a later one gets no window.
    EXPECT_TRUE(SUCCEEDED(game->swapChain()->Present(0, DXGI_PRESENT_TEST)));
    hook.setListener(nullptr);
    frames(2);
    EXPECT_EQ(listener->presentCalls, 3);
    OverlayListener later([this] { return game->frameCount(); });
    hook.setListener(&later);
    frames(3);
    hook.setListener(nullptr);
    EXPECT_EQ(later.windowCalls, 0);
    EXPECT_EQ(later.presentCalls, 3);
}

TEST_F(HookedGame, SwapChainsOfOneDeviceShareARendererAnotherDeviceGetsItsOwn)
{
    Demo::Options options = gameOptions();
    options.windows = 2;
    options.factorySwapChain = true;
    startGame(options);
    hook.setListener(listener.get());
    frames(14);
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(listener->presentCalls, 2 * 14 - 10);
    EXPECT_EQ(listener->renderers.size(), 1u);
    EXPECT_EQ(countPrefix(log, L"Create RendererD2D: "), 1u);
    // The renderer last drew into the second chain: resizing the first one leaves its target alone.
    const size_t targetsDestroyed = countPrefix(log, L"Destroy ID2D1RenderTarget: ");
    EXPECT_EQ(game->swapChain(0)->ResizeBuffers(0, 0, 0, DXGI_FORMAT_UNKNOWN, 0), S_OK);
    EXPECT_EQ(countPrefix(log, L"Destroy ID2D1RenderTarget: "), targetsDestroyed);

    listener->readBack = nullptr;
    TestSwapChain other(128, 96);
    for (int i = 0; i < 3; ++i) {
        frames(1);
        ASSERT_EQ(other.swapChain->Present(0, 0), S_OK);
    }
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(countPrefix(log, L"Create RendererD2D: "), 6u) << "a renderer of one device never draws on another";
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
}

TEST_F(HookedGame, OneHookAtATimeStopCompletesOnThePresentingThread)
{
    EXPECT_THROW(GraphicDeviceHook(0), std::logic_error) << "one graphics hook at a time";

    startGame();
    hook.setListener(listener.get());
    frames(12);
    hook.stop();
    hook.stop();
    const int callsAtStop = listener->presentCalls;
    frames(5);
    EXPECT_EQ(listener->presentCalls, callsAtStop);
    EXPECT_EQ(game->lastPresentResult(), S_OK) << "the game goes on";
    EXPECT_EQ(count(log, L"D3DHook: request stop"), 1u);
    EXPECT_EQ(count(log, L"D3DHook stopped"), 1u);
    game->requestResize(300, 200);
    frames(1);
    EXPECT_EQ(game->lastResizeResult(), S_OK);
}

// Where Direct3D 12 cannot be had the factory is hooked all the same: a flip-model game that makes
// its swap chain anew for the same window while the overlay is drawn finds no reference of ours on
// the old one (Windows refuses the new one while the old one lives; Wine does not).
TEST(FactoryWithoutDirect3D12, FlipModelSwapChainMadeAgainForItsWindowWhileDrawn)
{
    LogTest::LogCapture log;
    D3DHook hook(GetModuleHandleW(L"dxgi.dll"), GetModuleHandleW(L"d3d11.dll"), L"no_d3d12_here.dll");
    Overlay::hook(hook.getHooks());
    EXPECT_EQ(count(log, L"Hooking DXGI (D3D12)"), 0u);
    TestSwapChain target(128, 96);  // its window and device; the game makes its own swap chain there
    target.swapChain.Reset();
    ComPtr<IDXGIDevice> device;
    ComPtr<IDXGIAdapter> adapter;
    ComPtr<IDXGIFactory2> factory;
    check(target.device.As(&device));
    check(device->GetAdapter(&adapter));
    check(adapter->GetParent(IID_PPV_ARGS(&factory)));
    DXGI_SWAP_CHAIN_DESC1 desc = {128, 96, DXGI_FORMAT_R8G8B8A8_UNORM};
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    auto create = [&] {
        ComPtr<IDXGISwapChain1> swapChain;
        EXPECT_EQ(
            factory->CreateSwapChainForHwnd(target.device.Get(), target.window, &desc, nullptr, nullptr, &swapChain),
            S_OK);
        return swapChain;
    };
    OverlayListener listener;
    hook.setListener(&listener);
    ComPtr<IDXGISwapChain1> swapChain = create();
    for (int frame = 0; frame < 12; ++frame) {
        ASSERT_EQ(swapChain->Present(0, 0), S_OK);
    }
    IDXGISwapChain1* old = swapChain.Detach();  // the game's reference, let go after the new one is made
    swapChain = create();
    EXPECT_EQ(old->Release(), 0u) << "a reference of ours kept the old swap chain";
    ASSERT_EQ(swapChain->Present(0, 0), S_OK);
    hook.setListener(nullptr);
    EXPECT_EQ(listener.presentCalls, 3);
    EXPECT_EQ(listener.errors, "");
}

// --- Through a stand-in for D3D11.dll -----------------------------------------------------------

class SpiedHook : public GameDriver
{
protected:
    SpiedHook() : hook(GetModuleHandleW(L"dxgi.dll"), spyLoaded.module) { Overlay::hook(hook.getHooks()); }

    ~SpiedHook() override
    {
        hook.setListener(nullptr);
        game.reset();
    }

    Spy spyLoaded;
    SpyState* const spy = spyLoaded.state;
    const decltype(&D3D11CreateDeviceAndSwapChain) spiedCreate = spyLoaded.createDeviceAndSwapChain;
    D3DHook hook;
};

TEST_F(SpiedHook, DevicesGetDirect2DSupportSwapChainsItCannotTargetAWorkingDirect3D11Renderer)
{
    spy->refuseDxgiSurface = true;
    Demo::Options options = gameOptions();
    options.createDeviceAndSwapChain = spiedCreate;
    startGame(options);
    hook.setListener(listener.get());
    frames(14);
    game->requestResize(320, 240);
    frames(2);
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(listener->checkedFrames, 6);
    EXPECT_NE(std::dynamic_pointer_cast<RendererD3D11>(listener->lastRenderer.lock()), nullptr);
    EXPECT_EQ(listener->renderers.size(), 1u) << "the fallback is kept, not retried every frame";
    EXPECT_EQ(countPrefix(log, L"Create RendererD3D11: "), 1u);
    EXPECT_EQ(game->lastResizeResult(), S_OK) << "the view of the old back buffer was kept";
    EXPECT_EQ(listener->lastSize, (SizeU{320, 240}));
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
    EXPECT_EQ(spy->createDeviceAndSwapChainFlags, UINT(D3D11_CREATE_DEVICE_BGRA_SUPPORT))
        << "Direct2D support asked for";

    const auto createDevice = spyLoaded.entry<decltype(&D3D11CreateDevice)>("D3D11CreateDevice");
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_SINGLETHREADED, nullptr, 0,
                           D3D11_SDK_VERSION, &device, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(spy->createDeviceFlags, UINT(D3D11_CREATE_DEVICE_SINGLETHREADED | D3D11_CREATE_DEVICE_BGRA_SUPPORT));

    // Another device, and back: a new renderer of the kind in use each time, Direct2D not tried again.
    listener->readBack = nullptr;
    TestSwapChain other(128, 96, spiedCreate);
    ASSERT_EQ(other.swapChain->Present(0, 0), S_OK);
    frames(1);
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(countPrefix(log, L"Create RendererD3D11: "), 3u);
    EXPECT_EQ(countPrefix(log, L"Create RendererD2D: "), 1u);
}

TEST_F(SpiedHook, LostDeviceDropsTheRendererUntilTheNextPresent)
{
    TestSwapChain target(128, 96, spiedCreate);
    IDXGISwapChain* swapChain = target.swapChain.Get();
    hook.dumpDevice();
    EXPECT_EQ(count(log, L"Can not dump graphics device: swapChain is null"), 1u);

    uint64_t frame = 0;
    listener = std::make_unique<OverlayListener>([&frame] { return frame; });
    hook.setListener(listener.get());
    for (; frame < 12; ++frame) {
        ASSERT_EQ(swapChain->Present(0, 0), S_OK);
    }
    EXPECT_EQ(listener->window, target.window);
    EXPECT_EQ(listener->presentCalls, 2);
    hook.dumpDevice();
    EXPECT_EQ(count(log, L"Width=128, Height=96"), 1u);

    spy->presentResult = DXGI_ERROR_DEVICE_RESET;
    EXPECT_EQ(swapChain->Present(0, 0), DXGI_ERROR_DEVICE_RESET) << "the game's result comes back unchanged";
    EXPECT_EQ(listener->lostCalls, 1);
    EXPECT_THROW(hook.getRenderer(), std::logic_error) << "a renderer without a swap chain";
    spy->presentResult = S_OK;
    EXPECT_EQ(swapChain->Present(0, 0), S_OK);
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(countPrefix(log, L"Create RendererD2D: "), 2u) << "a new renderer after the loss";

    // ResizeTarget lets go of the back buffer too: ResizeBuffers succeeds even with the hook detached.
    const DXGI_MODE_DESC mode = {128, 96, {60, 1}, DXGI_FORMAT_R8G8B8A8_UNORM};
    EXPECT_EQ(swapChain->ResizeTarget(&mode), S_OK);
    Overlay::unhook(hook.getHooks());
    EXPECT_EQ(swapChain->ResizeBuffers(0, 100, 80, DXGI_FORMAT_UNKNOWN, 0), S_OK);
    Overlay::hook(hook.getHooks());

    // The window thread's ResizeBuffers reports the loss while the render thread draws a frame: the
    // loss is handled once the frame is done, never in its middle (the frame waits up to a second for
    // the resize to return, which it does at once without the frame's lock).
    const Win::UniqueHandle entered(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const Win::UniqueHandle resume(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const Win::UniqueHandle returned(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    spy->resizeBuffersResult = DXGI_ERROR_DEVICE_REMOVED;
    spy->resizeBuffersEntered = entered.get();
    spy->resizeBuffersResume = resume.get();
    HRESULT resized = S_OK;
    std::thread windowThread([&] {
        resized = swapChain->ResizeBuffers(0, 64, 64, DXGI_FORMAT_UNKNOWN, 0);
        SetEvent(returned.get());
    });
    EXPECT_EQ(WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
    listener->whileDrawing = [&] {
        SetEvent(resume.get());
        WaitForSingleObject(returned.get(), 1000);
    };
    EXPECT_EQ(swapChain->Present(0, 0), S_OK);
    windowThread.join();
    spy->resizeBuffersEntered = nullptr;
    EXPECT_EQ(resized, DXGI_ERROR_DEVICE_REMOVED);
    EXPECT_EQ(listener->lostCalls, 2);
    EXPECT_EQ(listener->lostWhileDrawing, 0);
    EXPECT_EQ(listener->errors, "");
    hook.setListener(nullptr);
}

// A frame that fails (the back buffer refused once, as after a display change) is drawn again with
// a new renderer; only a new renderer that fails as well ends the overlay.
TEST_F(SpiedHook, FailedFrameGetsANewRendererARepeatedFailureStops)
{
    Demo::Options options = gameOptions();
    options.createDeviceAndSwapChain = spiedCreate;
    startGame(options);
    UINT refusals = 0;  // armed after the game took its new back buffer itself
    game->beforePresent = [&](size_t, IDXGISwapChain*) { spy->failGetBuffer += std::exchange(refusals, 0u); };
    hook.setListener(listener.get());
    frames(12);
    game->requestResize(200, 150);
    refusals = 1;
    frames(3);
    EXPECT_FALSE(listener->stopped);
    EXPECT_EQ(listener->checkedFrames, 2 + 2) << "drawn again from the next frame on";
    EXPECT_EQ(countPrefix(log, L"Create RendererD2D: "), 2u);

    game->requestResize(256, 192);
    refusals = ~0u;
    frames(3);
    spy->failGetBuffer = 0;
    frames(1);
    EXPECT_TRUE(listener->stopped);
    EXPECT_EQ(listener->checkedFrames, 4);
}

TEST_F(SpiedHook, MethodTableFromDriverTypesInTurnThenEveryAdapter)
{
    const HMODULE dxgi = GetModuleHandleW(L"dxgi.dll");
    spy->refusedDriverTypes = ~0u;
    EXPECT_GE(Overlay::readSwapChain1Methods(dxgi, spyLoaded.module).size(), 18u);
    ASSERT_GE(spy->triedCount, 2u);
    EXPECT_EQ(spy->tried[0], D3D_DRIVER_TYPE_HARDWARE);
    EXPECT_FALSE(spy->triedWithAdapter[0]);
    EXPECT_TRUE(spy->triedWithAdapter[spy->triedCount - 1]) << "every driver type refused: an adapter's device";

    spy->refusedDriverTypes = ~0u;
    spy->refuseAdapters = true;
    EXPECT_THROW(Overlay::readSwapChain1Methods(dxgi, spyLoaded.module), std::runtime_error)
        << "no device could be made";
}

}  // namespace
