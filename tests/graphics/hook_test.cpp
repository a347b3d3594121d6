// The DXGI hook in a running game: the demo game presents in this process with the hook records
// attached, a listener draws the overlay the way the overlay client does.
#include "d3d11_spy/d3d11_spy.h"
#include "demo_game.h"
#include "graphics_test_support.h"

#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>

namespace {

using namespace GraphicsTest;
using Overlay::D3DHook;
using Overlay::GraphicApi;
using Overlay::GraphicDeviceHook;
using Overlay::GraphicDeviceHookListener;
using Overlay::Rendering::Renderer;
using Overlay::Rendering::RendererD2D;
using Overlay::Rendering::RendererD3D11;
using Overlay::Rendering::SizeU;

const Overlay::Ipc::SharedRect hostRect = {20, 16, 20 + 64, 16 + 48};

IDXGISwapChain* swapChainOf(const std::shared_ptr<Renderer>& renderer)
{
    if (auto d2d = std::dynamic_pointer_cast<RendererD2D>(renderer)) {
        return d2d->swapChain();
    }
    return std::dynamic_pointer_cast<RendererD3D11>(renderer)->swapChain();
}

// Draws the overlay on every frame, like the overlay client while the overlay is shown, and checks
// what it drew before the game presents it.
class OverlayListener : public GraphicDeviceHookListener
{
public:
    explicit OverlayListener(std::function<uint64_t()> frame)
        : frame_(std::move(frame)),
          sharedOverlay_(Overlay::Ipc::SharedOverlay::create()),
          hostOverlay_(Overlay::Host::HostOverlay::open(sharedOverlay_->name())),
          hostWindow_(Overlay::Host::HostWindow::create(hostRect)),
          frameBuffer_(Overlay::Host::HostFrameBuffer::create(64 * 48)),
          overlay_(sharedOverlay_, SizeU{1, 1}, nullptr)
    {
        const auto pixels = pattern(64, 48, 9);
        hostWindow_->publishFrame(*frameBuffer_, 64, 48, pixels.data(), 64 * 4);
        hostOverlay_->showWindow(hostWindow_->id());
    }

    void onDeviceWindow(HWND window) override
    {
        ++windowCalls;
        windowFrame = frame_();
        this->window = window;
    }

    void onPresent(GraphicApi& api) override
    {
        ++presentCalls;
        if (presentCalls == 1) {
            firstPresentFrame = frame_();
        }
        if (!draw) {
            return;
        }
        try {
            const std::shared_ptr<Renderer> renderer = api.getRenderer();
            renderers.insert(renderer.get());
            IDXGISwapChain* swapChain = swapChainOf(renderer);
            DXGI_SWAP_CHAIN_DESC desc = {};
            swapChain->GetDesc(&desc);
            overlay_.setSurfaceSize(SizeU{desc.BufferDesc.Width, desc.BufferDesc.Height});
            overlay_.setRenderer(renderer);
            overlay_.draw();
            lastRenderer = renderer;
            if (check) {
                checkFrame(swapChain);
            }
        } catch (const std::exception& e) {
            errors.push_back(e.what());
        }
    }

    void onDeviceLost() override
    {
        ++lostCalls;
        overlay_.release();
    }

    // The frame about to be presented: the host's picture at its place, the rest darkened (checked
    // in the scissor margin of the demo game, where only its clear colour is).
    void checkFrame(IDXGISwapChain* swapChain)
    {
        const Image image = readBackBuffer(swapChain);
        lastSize = {image.width, image.height};
        float clear[4];
        Demo::DemoGame::clearColor(frame_(), clear);
        const Rgba game = {static_cast<uint8_t>(std::lround(clear[0] * 255)),
                           static_cast<uint8_t>(std::lround(clear[1] * 255)),
                           static_cast<uint8_t>(std::lround(clear[2] * 255)), 255};
        for (const auto& corner : {std::make_pair(2u, 2u), std::make_pair(image.width - 3, image.height - 3)}) {
            if (!closeTo(image.at(corner.first, corner.second), dimmed(game), 2)) {
                errors.push_back("not darkened at " + std::to_string(corner.first) + ", " + std::to_string(corner.second) +
                                 ": " + describe(image.at(corner.first, corner.second)) + " instead of " +
                                 describe(dimmed(game)));
            }
        }
        for (const auto& point : {std::make_pair(0u, 0u), std::make_pair(63u, 47u), std::make_pair(31u, 20u)}) {
            const Rgba actual = image.at(hostRect.left + point.first, hostRect.top + point.second);
            if (!closeTo(actual, patternPixel(point.first, point.second, 9), 1)) {
                errors.push_back("host pixel " + std::to_string(point.first) + ", " + std::to_string(point.second) +
                                 ": " + describe(actual));
            }
        }
        ++checkedFrames;
    }

    bool draw = true;
    bool check = false;
    int windowCalls = 0;
    uint64_t windowFrame = ~0ull;
    HWND window = nullptr;
    int presentCalls = 0;
    uint64_t firstPresentFrame = ~0ull;
    int lostCalls = 0;
    int checkedFrames = 0;
    SizeU lastSize;
    std::set<Renderer*> renderers;
    std::shared_ptr<Renderer> lastRenderer;
    std::vector<std::string> errors;

private:
    std::function<uint64_t()> frame_;
    std::shared_ptr<Overlay::Ipc::SharedOverlay> sharedOverlay_;
    std::unique_ptr<Overlay::Host::HostOverlay> hostOverlay_;
    std::unique_ptr<Overlay::Host::HostWindow> hostWindow_;
    std::unique_ptr<Overlay::Host::HostFrameBuffer> frameBuffer_;
    Overlay::Rendering::RenderOverlay overlay_;
};

// One RGBA8 buffer, windowed, into the given window.
DXGI_SWAP_CHAIN_DESC windowedDesc(HWND window, UINT width, UINT height)
{
    DXGI_SWAP_CHAIN_DESC desc = {};
    desc.BufferDesc = {width, height, {60, 1}, DXGI_FORMAT_R8G8B8A8_UNORM};
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 1;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    return desc;
}

Demo::Options gameOptions()
{
    Demo::Options options;
    options.width = 256;
    options.height = 192;
    options.syncInterval = 0;
    options.hidden = true;
    return options;
}

// Drives the demo game frame by frame, with the overlay listener.
class GameDriver : public ::testing::Test
{
protected:
    void startGame(const Demo::Options& options)
    {
        game = std::make_unique<Demo::DemoGame>(options);
        listener = std::make_unique<OverlayListener>([this] { return game->frameCount(); });
    }

    void frames(int count)
    {
        for (int i = 0; i < count; ++i) {
            game->pumpMessages();
            ASSERT_EQ(game->renderFrame(), S_OK) << "frame " << game->frameCount();
        }
    }

    LogFileCapture log;
    std::unique_ptr<Demo::DemoGame> game;
    std::unique_ptr<OverlayListener> listener;
};

// The graphics hook for DXGI, attached for the fixture's life, and a demo game made after it.
class HookedGame : public GameDriver
{
protected:
    HookedGame() : hook(0)
    {
        Overlay::hook(hook.getHooks());
    }

    ~HookedGame() override
    {
        hook.setListener(nullptr);
        game.reset();
    }

    void start(const Demo::Options& options = gameOptions())
    {
        ASSERT_TRUE(Overlay::allHooked(hook.getHooks()));
        startGame(options);
    }

    GraphicDeviceHook hook;
};

TEST_F(HookedGame, WindowOnTheTenthPresentOverlayFromTheEleventh)
{
    start();
    hook.setListener(listener.get());
    frames(15);
    EXPECT_EQ(listener->windowCalls, 1);
    EXPECT_EQ(listener->windowFrame, 9u) << "reported inside the tenth Present";
    EXPECT_EQ(listener->window, game->window());
    EXPECT_EQ(listener->presentCalls, 5);
    EXPECT_EQ(listener->firstPresentFrame, 10u) << "drawing starts with the eleventh Present";
    EXPECT_TRUE(listener->errors.empty()) << listener->errors.front();
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
}

TEST_F(HookedGame, ListenerAttachedLaterOnlySeesFrames)
{
    start();
    frames(12);
    hook.setListener(listener.get());
    frames(3);
    hook.setListener(nullptr);
    frames(2);
    EXPECT_EQ(listener->windowCalls, 0);
    EXPECT_EQ(listener->presentCalls, 3);
}

TEST_F(HookedGame, OverlayIsDrawnIntoEveryFrameAndTheGameKeepsItsState)
{
    start();
    hook.setListener(listener.get());
    listener->check = true;
    frames(16);
    EXPECT_TRUE(listener->errors.empty()) << listener->errors.front();
    EXPECT_EQ(listener->checkedFrames, 6);
    EXPECT_NE(std::dynamic_pointer_cast<RendererD2D>(listener->lastRenderer), nullptr) << "Direct2D is preferred";
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
}

TEST_F(HookedGame, ResizeBuffersSucceedsWhileDrawingAndTheNextFrameUsesTheNewSize)
{
    start();
    hook.setListener(listener.get());
    listener->check = true;
    frames(13);
    game->requestResize(400, 300);
    frames(1);
    EXPECT_EQ(game->lastResizeResult(), S_OK) << "the renderer kept a reference to a back buffer";
    EXPECT_EQ(listener->lastSize, (SizeU{400, 300}));
    game->requestResize(200, 150);
    frames(2);
    EXPECT_EQ(game->lastResizeResult(), S_OK);
    EXPECT_EQ(listener->lastSize, (SizeU{200, 150}));
    EXPECT_EQ(game->resizeCount(), 2u);
    EXPECT_TRUE(listener->errors.empty()) << listener->errors.front();
    EXPECT_EQ(listener->renderers.size(), 1u) << "the renderer survives a resize";
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
}

TEST_F(HookedGame, TwoSwapChainsOfOneDeviceShareOneRenderer)
{
    Demo::Options options = gameOptions();
    options.windows = 2;
    options.factorySwapChain = true;
    start(options);
    hook.setListener(listener.get());
    listener->check = true;
    frames(14);
    EXPECT_TRUE(listener->errors.empty()) << listener->errors.front();
    EXPECT_EQ(listener->presentCalls, 2 * 14 - 10);
    EXPECT_EQ(listener->renderers.size(), 1u);
    EXPECT_EQ(log.countPrefix("Create RendererD2D: "), 1u);
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
}

TEST_F(HookedGame, SwapChainsOfDifferentDevicesGetANewRendererEachSwitch)
{
    start();
    TestSwapChain other(SwapChainOptions{128, 96});
    hook.setListener(listener.get());
    frames(10);
    for (int i = 0; i < 3; ++i) {
        frames(1);
        ASSERT_EQ(other.swapChain->Present(0, 0), S_OK);
    }
    EXPECT_TRUE(listener->errors.empty()) << listener->errors.front();
    EXPECT_EQ(listener->presentCalls, 6);
    EXPECT_EQ(log.countPrefix("Create RendererD2D: "), 6u) << "a renderer of one device never draws on another";
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
}

TEST_F(HookedGame, StopCompletesOnThePresentingThreadAndTheGameGoesOn)
{
    start();
    hook.setListener(listener.get());
    frames(12);
    hook.stop();
    hook.stop();
    const int callsAtStop = listener->presentCalls;
    frames(5);
    EXPECT_EQ(listener->presentCalls, callsAtStop);
    EXPECT_EQ(game->frameCount(), 17u);
    EXPECT_EQ(game->lastPresentResult(), S_OK);
    EXPECT_EQ(log.count("D3DHook: request stop"), 1u);
    EXPECT_EQ(log.count("D3DHook stopped"), 1u);
    game->requestResize(300, 200);
    frames(1);
    EXPECT_EQ(game->lastResizeResult(), S_OK);
}

TEST_F(HookedGame, TestPresentsAreNeitherCountedNorDrawnOn)
{
    start();
    hook.setListener(listener.get());
    frames(12);
    const int calls = listener->presentCalls;
    EXPECT_TRUE(SUCCEEDED(game->swapChain()->Present(0, DXGI_PRESENT_TEST)));
    EXPECT_EQ(listener->presentCalls, calls);
}

// --- The hook class itself -------------------------------------------------------------------

TEST(GraphicDeviceHook, OneAtATimeAnyValueButOneIsDxgi)
{
    LogFileCapture log;
    for (uint32_t api : {0u, 2u, 77u}) {
        GraphicDeviceHook hook(api);
        EXPECT_EQ(hook.getHooks().size(), 5u);
        EXPECT_EQ(hook.getMandatoryHooks().size(), 2u);
        EXPECT_EQ(hook.getMandatoryHooks()[0]->getName(), "IDXGISwapChain::Present");
        EXPECT_EQ(hook.getMandatoryHooks()[1]->getName(), "IDXGISwapChain::ResizeBuffers");
        try {
            GraphicDeviceHook second(api);
            ADD_FAILURE() << "a second hook was made";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "Overlay::SingleInstance<class Overlay::GraphicDeviceHook>::SingleInstance");
        }
        EXPECT_EQ(hook.getHooks().size(), 5u) << "the first keeps working";
    }
    EXPECT_EQ(log.count("Hooking DXGI (D3D11)"), 3u);
}

TEST(GraphicDeviceHook, RecordNamesAndTargets)
{
    GraphicDeviceHook hook(0);
    const auto records = hook.getHooks();
    const char* names[] = {"D3D11CreateDeviceHook", "D3D11CreateDeviceAndSwapChainHook", "IDXGISwapChain::Present",
                           "IDXGISwapChain::ResizeBuffers", "IDXGISwapChain::ResizeTarget"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(records[i]->getName(), names[i]);
        EXPECT_FALSE(records[i]->isHooked());
    }
    const HMODULE d3d11 = GetModuleHandleW(L"d3d11.dll");
    EXPECT_EQ(records[0]->getRealFunc(), reinterpret_cast<void*>(GetProcAddress(d3d11, "D3D11CreateDevice")));
    EXPECT_EQ(records[1]->getRealFunc(), reinterpret_cast<void*>(GetProcAddress(d3d11, "D3D11CreateDeviceAndSwapChain")));
    TestSwapChain game;
    void* const* table = *reinterpret_cast<void* const* const*>(game.swapChain.Get());
    EXPECT_EQ(records[2]->getRealFunc(), table[8]);
    EXPECT_EQ(records[3]->getRealFunc(), table[13]);
    EXPECT_EQ(records[4]->getRealFunc(), table[14]);
}

// --- Through a stand-in for D3D11.dll -----------------------------------------------------------

class SpiedHook : public GameDriver
{
protected:
    SpiedHook()
        : spyModule(LoadLibraryW(L"d3d11_spy.dll")),
          spy(spied<SpyStateFn>("spyState")()),
          hook(GetModuleHandleW(L"dxgi.dll"), spyModule)
    {
        *spy = SpyState();
        Overlay::hook(hook.getHooks());
    }

    ~SpiedHook() override
    {
        hook.setListener(nullptr);
        game.reset();
        *spy = SpyState();
    }

    template <class Function>
    Function spied(const char* name)
    {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(spyModule, name)));
    }

    // The demo game on a device and swap chain made through the stand-in.
    void startSpiedGame()
    {
        Demo::Options options = gameOptions();
        options.createDeviceAndSwapChain =
            spied<decltype(&D3D11CreateDeviceAndSwapChain)>("D3D11CreateDeviceAndSwapChain");
        startGame(options);
    }

    HMODULE spyModule;
    SpyState* spy;
    D3DHook hook;
};

TEST_F(SpiedHook, SwapChainDirect2DCannotTargetGetsAWorkingDirect3D11Renderer)
{
    spy->refuseDxgiSurface = true;
    startSpiedGame();
    hook.setListener(listener.get());
    listener->check = true;
    frames(14);
    game->requestResize(320, 240);
    frames(2);
    EXPECT_TRUE(listener->errors.empty()) << listener->errors.front();
    EXPECT_EQ(listener->checkedFrames, 6);
    EXPECT_NE(std::dynamic_pointer_cast<RendererD3D11>(listener->lastRenderer), nullptr);
    EXPECT_EQ(listener->renderers.size(), 1u) << "the fallback is kept, not retried every frame";
    EXPECT_EQ(log.countPrefix("Create RendererD3D11: "), 1u);
    EXPECT_EQ(game->lastResizeResult(), S_OK) << "the view of the old back buffer was kept";
    EXPECT_EQ(listener->lastSize, (SizeU{320, 240}));
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
    hook.setListener(nullptr);
    game.reset();
}

TEST_F(SpiedHook, DeviceCreationGetsBgraSupportAndEverythingElseUnchanged)
{
    ASSERT_TRUE(Overlay::allHooked(hook.getHooks()));
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    D3D_FEATURE_LEVEL obtained = {};
    const auto createDevice = spied<decltype(&D3D11CreateDevice)>("D3D11CreateDevice");
    EXPECT_EQ(createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_SINGLETHREADED, levels, 2,
                           D3D11_SDK_VERSION, &device, &obtained, &context),
              S_OK);
    EXPECT_EQ(spy->createDeviceFlags, UINT(D3D11_CREATE_DEVICE_SINGLETHREADED | D3D11_CREATE_DEVICE_BGRA_SUPPORT));
    EXPECT_EQ(spy->driverType, D3D_DRIVER_TYPE_HARDWARE);
    EXPECT_EQ(spy->featureLevels, levels);
    EXPECT_EQ(spy->featureLevelCount, 2u);
    EXPECT_EQ(spy->sdkVersion, UINT(D3D11_SDK_VERSION));
    EXPECT_EQ(obtained, D3D_FEATURE_LEVEL_11_0);
    EXPECT_NE(device.Get(), nullptr);

    TestWindow window(64, 64);
    DXGI_SWAP_CHAIN_DESC desc = windowedDesc(window.handle(), 64, 64);
    ComPtr<IDXGISwapChain> swapChain;
    const auto createBoth = spied<decltype(&D3D11CreateDeviceAndSwapChain)>("D3D11CreateDeviceAndSwapChain");
    EXPECT_EQ(createBoth(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
                         &swapChain, device.ReleaseAndGetAddressOf(), nullptr, nullptr),
              S_OK);
    EXPECT_EQ(spy->createDeviceAndSwapChainFlags, UINT(D3D11_CREATE_DEVICE_BGRA_SUPPORT));
    EXPECT_EQ(spy->swapChainDesc, &desc);

    // Detached, the game's own flags go through.
    Overlay::unhook(hook.getHooks());
    createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                 device.ReleaseAndGetAddressOf(), nullptr, nullptr);
    EXPECT_EQ(spy->createDeviceFlags, 0u);
}

TEST_F(SpiedHook, LostDeviceDropsTheRendererUntilTheNextPresent)
{
    TestWindow window(128, 96);
    DXGI_SWAP_CHAIN_DESC desc = windowedDesc(window.handle(), 128, 96);
    ComPtr<IDXGISwapChain> swapChain;
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(spied<decltype(&D3D11CreateDeviceAndSwapChain)>("D3D11CreateDeviceAndSwapChain")(
                  nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc, &swapChain,
                  &device, nullptr, nullptr),
              S_OK);

    hook.dumpDevice();
    EXPECT_EQ(log.count("Can not dump graphics device: swapChain is null"), 1u);

    uint64_t frame = 0;
    OverlayListener listener([&frame] { return frame; });
    hook.setListener(&listener);
    for (; frame < 12; ++frame) {
        ASSERT_EQ(swapChain->Present(0, 0), S_OK);
    }
    EXPECT_EQ(listener.windowCalls, 1);
    EXPECT_EQ(listener.window, window.handle());
    EXPECT_EQ(listener.presentCalls, 2);
    EXPECT_TRUE(listener.errors.empty()) << listener.errors.front();
    hook.dumpDevice();
    EXPECT_EQ(log.count("Width=128, Height=96"), 1u);

    spy->presentResult = DXGI_ERROR_DEVICE_RESET;
    EXPECT_EQ(swapChain->Present(0, 0), DXGI_ERROR_DEVICE_RESET) << "the game's result comes back unchanged";
    EXPECT_EQ(listener.lostCalls, 1);
    try {
        hook.getRenderer();
        ADD_FAILURE() << "a renderer without a swap chain";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Failed to get renderer: SwapChain is null");
    }

    spy->presentResult = S_OK;
    EXPECT_EQ(swapChain->Present(0, 0), S_OK);
    EXPECT_TRUE(listener.errors.empty()) << listener.errors.front();
    EXPECT_EQ(log.countPrefix("Create RendererD2D: "), 2u) << "a new renderer after the loss";

    // ResizeTarget lets go of the back buffer too: ResizeBuffers succeeds even with the hook detached.
    const DXGI_MODE_DESC mode = {128, 96, {60, 1}, DXGI_FORMAT_R8G8B8A8_UNORM};
    EXPECT_EQ(swapChain->ResizeTarget(&mode), S_OK);
    Overlay::unhook(hook.getHooks());
    EXPECT_EQ(swapChain->ResizeBuffers(0, 100, 80, DXGI_FORMAT_UNKNOWN, 0), S_OK);
    Overlay::hook(hook.getHooks());

    spy->resizeBuffersResult = DXGI_ERROR_DEVICE_REMOVED;
    EXPECT_EQ(swapChain->ResizeBuffers(0, 64, 64, DXGI_FORMAT_UNKNOWN, 0), DXGI_ERROR_DEVICE_REMOVED);
    EXPECT_EQ(listener.lostCalls, 2);
    spy->resizeBuffersResult = S_OK;
    hook.setListener(nullptr);
}

TEST(D3DHookMethodTable, DriverTypesInTurnThenEveryAdapter)
{
    const HMODULE spyModule = LoadLibraryW(L"d3d11_spy.dll");
    SpyState* spy = reinterpret_cast<SpyStateFn>(reinterpret_cast<void*>(GetProcAddress(spyModule, "spyState")))();
    const HMODULE dxgi = GetModuleHandleW(L"dxgi.dll");
    *spy = SpyState();
    spy->refusedDriverTypes = ~0u;
    const std::vector<void*> methods = D3DHook::readSwapChainMethods(dxgi, spyModule);
    ASSERT_EQ(methods.size(), 18u);
    const D3D_DRIVER_TYPE order[] = {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP, D3D_DRIVER_TYPE_REFERENCE,
                                     D3D_DRIVER_TYPE_NULL, D3D_DRIVER_TYPE_UNKNOWN};
    ASSERT_GE(spy->triedCount, 6u);
    for (UINT i = 0; i < 5; ++i) {
        EXPECT_EQ(spy->tried[i], order[i]) << i;
        EXPECT_FALSE(spy->triedWithAdapter[i]) << i;
    }
    EXPECT_EQ(spy->tried[5], D3D_DRIVER_TYPE_UNKNOWN);
    EXPECT_TRUE(spy->triedWithAdapter[5]);
    EXPECT_EQ(spy->createDeviceAndSwapChainFlags, 0u);
    ASSERT_NE(spy->swapChainDesc, nullptr);

    // The stand-in's swap chains: the table read is theirs.
    TestWindow window(32, 32);
    DXGI_SWAP_CHAIN_DESC desc = windowedDesc(window.handle(), 32, 32);
    spy->refusedDriverTypes = 0;
    ComPtr<IDXGISwapChain> swapChain;
    ASSERT_EQ(reinterpret_cast<decltype(&D3D11CreateDeviceAndSwapChain)>(reinterpret_cast<void*>(
                  GetProcAddress(spyModule, "D3D11CreateDeviceAndSwapChain")))(
                  nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc, &swapChain,
                  nullptr, nullptr, nullptr),
              S_OK);
    void* const* table = *reinterpret_cast<void* const* const*>(swapChain.Get());
    EXPECT_EQ(methods[8], table[8]);
    EXPECT_EQ(methods[13], table[13]);

    *spy = SpyState();
    spy->refusedDriverTypes = ~0u;
    spy->refuseAdapters = true;
    try {
        D3DHook::readSwapChainMethods(dxgi, spyModule);
        ADD_FAILURE() << "no device could be made";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to create D3D11 device and SwapChain: " + std::to_string(E_FAIL));
    }
    *spy = SpyState();
}

}  // namespace
