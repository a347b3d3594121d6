// The DXGI hook with Direct3D 12 games presenting in the test process (vkd3d under Wine): the command
// queue found where the swap chain is made or from a running game's ExecuteCommandLists, the overlay
// drawn across resizes, device loss and stop, beside a Direct3D 11 game, and no reference of ours left.
#include "d3d11_spy/d3d11_spy.h"
#include "d3d12_read_back.h"
#include "demo_game.h"
#include "overlay_listener.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace GraphicsTest;
using Overlay::GraphicDeviceHook;
using Overlay::Rendering::SizeU;

Demo12::Options gameOptions(bool legacyCreate = false, bool present1 = false)
{
    Demo12::Options options = hiddenGame<Demo12::Options>(256, 192);
    options.legacyCreate = legacyCreate;
    options.present1 = present1;
    return options;
}

class D3D12HookedGame : public ::testing::Test
{
protected:
    ~D3D12HookedGame() override
    {
        if (hook) {
            hook->setListener(nullptr);
        }
        game.reset();
        hook.reset();
    }

    void attachHook()
    {
        hook.emplace(77);
        Overlay::hook(hook->getHooks());
        EXPECT_TRUE(Overlay::allHooked(hook->getHooks()));
        hook->setListener(&listener);
    }

    void startGame(const Demo12::Options& options = gameOptions())
    {
        game = std::make_unique<Demo12::DemoGame>(options);
        listener.readBack = [this](IDXGISwapChain*, Rgba& background) {
            background = backgroundOf<Demo12::DemoGame>(game->frameCount());
            return D3D12Test::readBackBuffer(*game);
        };
    }

    void frames(int count)
    {
        for (int i = 0; i < count; ++i) {
            game->pumpMessages();
            ASSERT_EQ(game->renderFrame(), S_OK) << "frame " << game->frameCount();
        }
    }

    LogTest::LogCapture log;
    std::optional<GraphicDeviceHook> hook;
    std::unique_ptr<Demo12::DemoGame> game;
    OverlayListener listener;
};

struct Creation
{
    const char* name;
    bool legacyCreate;
    bool present1;
};

class QueueFromSwapChainCreation : public D3D12HookedGame, public ::testing::WithParamInterface<Creation>
{};

TEST_P(QueueFromSwapChainCreation, DrawnOnEveryFrameAcrossResizesUntilStopped)
{
    attachHook();
    EXPECT_EQ(count(log, L"Hooking DXGI (D3D12)"), 1u);
    startGame(gameOptions(GetParam().legacyCreate, GetParam().present1));
    frames(13);
    EXPECT_EQ(listener.presentCalls, 3);
    EXPECT_EQ(listener.checkedFrames, 3);
    EXPECT_EQ(countPrefix(log, L"Command queue of the swap chain found"), 0u) << "known from its creation";

    game->requestResize(400, 300);
    frames(2);
    EXPECT_EQ(game->lastResizeResult(), S_OK) << "the renderer kept a reference to a back buffer";
    EXPECT_EQ(listener.lastSize, (SizeU{400, 300}));
    EXPECT_EQ(listener.checkedFrames, 5);
    EXPECT_EQ(listener.errors, "");
    EXPECT_EQ(listener.renderers.size(), 1u) << "the renderer survives a resize";

    // A swap chain released and made again for the same window while shown.
    game->recreateSwapChain();
    frames(2);
    EXPECT_EQ(listener.checkedFrames, 7);
    EXPECT_EQ(listener.errors, "");

    hook->stop();
    frames(2);
    EXPECT_EQ(count(log, L"D3DHook stopped"), 1u);
    game->requestResize(300, 200);
    frames(1);
    EXPECT_EQ(game->lastResizeResult(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Factory, QueueFromSwapChainCreation,
                         ::testing::Values(Creation{"CreateSwapChainForHwnd", false, false},
                                           Creation{"CreateSwapChain", true, false},
                                           Creation{"CreateSwapChainForHwndPresent1", false, true}),
                         [](const ::testing::TestParamInfo<Creation>& info) { return info.param.name; });

TEST_F(D3D12HookedGame, GameLettingGoOfItsDeviceWhileDrawnGetsItDestroyed)
{
    attachHook();
    for (int round = 0; round < 2; ++round) {
        startGame();
        frames(13);
        ID3D12Device* device = game->device();
        device->AddRef();
        game.reset();
        EXPECT_EQ(device->Release(), 0u) << "round " << round;
    }
    EXPECT_EQ(listener.checkedFrames, 3 + 13) << "a later game at the same addresses is drawn at once";
    EXPECT_EQ(listener.errors, "");
}

// A queue of another type than direct with a closed, empty command list, executed once per frame.
struct SideQueue
{
    SideQueue(ID3D12Device* device, D3D12_COMMAND_LIST_TYPE type)
    {
        D3D12_COMMAND_QUEUE_DESC desc = {};
        desc.Type = type;
        check(device->CreateCommandQueue(&desc, IID_PPV_ARGS(&queue)), "CreateCommandQueue");
        check(device->CreateCommandAllocator(type, IID_PPV_ARGS(&allocator)), "CreateCommandAllocator");
        check(device->CreateCommandList(0, type, allocator.Get(), nullptr, IID_PPV_ARGS(&list)), "CreateCommandList");
        check(list->Close(), "Close");
    }
    void execute()
    {
        ID3D12CommandList* lists[] = {list.Get()};
        queue->ExecuteCommandLists(1, lists);
    }

    ComPtr<ID3D12CommandQueue> queue;
    ComPtr<ID3D12CommandAllocator> allocator;
    ComPtr<ID3D12GraphicsCommandList> list;
};

TEST_F(D3D12HookedGame, GameAlreadyPresentingGetsItsQueueFromExecuteCommandLists)
{
    startGame();
    // Copy and compute work after the direct queue's in every frame: only a direct queue presents.
    SideQueue copy(game->device(), D3D12_COMMAND_LIST_TYPE_COPY);
    SideQueue compute(game->device(), D3D12_COMMAND_LIST_TYPE_COMPUTE);
    game->beforePresent = [&] {
        copy.execute();
        compute.execute();
    };
    frames(3);
    const ULONG queueReferences = references(game->queue());
    attachHook();
    frames(11);
    EXPECT_EQ(listener.presentCalls, 0) << "nothing is drawn while the queue is unknown";
    frames(3);
    EXPECT_EQ(countPrefix(log, L"Command queue of the swap chain found"), 1u);
    ASSERT_EQ(listener.renderers.size(), 1u);
    const auto* renderer = dynamic_cast<Overlay::Rendering::RendererD3D12*>(*listener.renderers.begin());
    EXPECT_EQ(renderer->queue(), game->queue()) << "the overlay's work on a queue of another type";
    EXPECT_EQ(listener.presentCalls, 3);
    EXPECT_EQ(listener.checkedFrames, 3);
    EXPECT_EQ(listener.errors, "");

    hook->stop();
    frames(1);
    listener.onDeviceLost();  // as the overlay client lets go of its renderer when it stops
    EXPECT_EQ(references(game->queue()), queueReferences) << "a reference of ours is left in the game's objects";
}

// Wine cannot remove a Direct3D 12 device: the runtime's Present is made to report it, hooked beneath
// ours (so ours sees the result the runtime returns).
HRESULT presentResult = S_OK;
Overlay::HookRecord* runtimePresent = nullptr;

HRESULT STDMETHODCALLTYPE removingPresent(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags)
{
    const HRESULT result = runtimePresent->real<HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT)>()(
        swapChain, syncInterval, flags);
    return FAILED(presentResult) ? presentResult : result;
}

TEST_F(D3D12HookedGame, DeviceRemovedDuringAFrameReleasesEverythingUntilANewSwapChain)
{
    startGame();
    const ULONG queueReferences = references(game->queue());
    void* const* table = *reinterpret_cast<void* const* const*>(game->swapChain());
    const std::unique_ptr<Overlay::HookRecord> beneath =
        Overlay::makeUniqueHookRecord(table[8], Overlay::codeAddress(&removingPresent), "runtime Present");
    runtimePresent = beneath.get();
    Overlay::hook({beneath.get()});
    ASSERT_TRUE(Overlay::allHooked({beneath.get()}));
    attachHook();
    frames(14);
    ASSERT_EQ(listener.checkedFrames, 3);

    presentResult = DXGI_ERROR_DEVICE_REMOVED;
    EXPECT_EQ(game->renderFrame(), DXGI_ERROR_DEVICE_REMOVED) << "the game's result comes back unchanged";
    presentResult = S_OK;
    EXPECT_EQ(listener.lostCalls, 1);
    EXPECT_EQ(references(game->queue()), queueReferences) << "a reference of ours is left after the loss";

    // The game makes a new swap chain (on Windows: a new device too); it is drawn into at once.
    game->recreateSwapChain();
    frames(2);
    EXPECT_EQ(listener.checkedFrames, 3 + 1 + 2);
    EXPECT_EQ(listener.errors, "");
    // Ours comes off first: it was patched over the one beneath.
    hook->setListener(nullptr);
    game.reset();
    hook.reset();
}

TEST_F(D3D12HookedGame, Direct3D11AndDirect3D12GamesInOneProcessBothDrawn)
{
    attachHook();
    startGame();
    Demo::DemoGame game11(hiddenGame<Demo::Options>(256, 192));
    int checked11 = 0;
    listener.readBack = [&, read12 = listener.readBack](IDXGISwapChain* swapChain, Rgba& background) {
        if (swapChain != game11.swapChain()) {
            return read12(swapChain, background);
        }
        ++checked11;
        background = backgroundOf<Demo::DemoGame>(game11.frameCount());
        return GraphicsTest::readBackBuffer(swapChain);
    };
    for (int i = 0; i < 8; ++i) {
        frames(1);
        game11.pumpMessages();
        ASSERT_EQ(game11.renderFrame(), S_OK);
    }
    EXPECT_EQ(listener.errors, "");
    EXPECT_EQ(checked11, 3);
    EXPECT_EQ(listener.checkedFrames, 6);
    EXPECT_EQ(game11.stateMismatches(), 0u) << game11.lastMismatch();

    // Present1 of a Direct3D 11 swap chain: one overlay frame per call.
    listener.readBack = nullptr;
    ComPtr<IDXGISwapChain1> swapChain1;
    ASSERT_EQ(game11.swapChain()->QueryInterface(IID_PPV_ARGS(&swapChain1)), S_OK);
    const DXGI_PRESENT_PARAMETERS parameters = {};
    const int before = listener.presentCalls;
    ASSERT_EQ(swapChain1->Present1(0, 0, &parameters), S_OK);
    ASSERT_EQ(swapChain1->Present1(0, DXGI_PRESENT_TEST, &parameters), S_OK);
    EXPECT_EQ(listener.presentCalls, before + 1);
    EXPECT_EQ(listener.errors, "");
}

// A stand-in swap chain whose device is neither Direct3D 11 nor 12 (Wine's Direct3D 10 devices answer as
// Direct3D 11 ones, so a real Direct3D 10 game cannot show this here).
TEST(D3D12UnknownDevice, SwapChainLeftAloneWithOneWarning)
{
    LogTest::LogCapture log;
    Spy spy;
    Overlay::D3DHook hook(GetModuleHandleW(L"dxgi.dll"), spy.module);
    Overlay::hook(hook.getHooks());
    spy.state->unknownDevice = true;
    {
        TestSwapChain target(128, 96, spy.createDeviceAndSwapChain);
        OverlayListener listener;
        hook.setListener(&listener);
        for (int frame = 0; frame < 14; ++frame) {
            ASSERT_EQ(target.swapChain->Present(0, 0), S_OK);
        }
        hook.setListener(nullptr);
        EXPECT_EQ(listener.presentCalls, 0);
    }
    EXPECT_EQ(count(log, L"Swap chain of a device other than Direct3D 11 or 12: the overlay is not drawn on it"), 1u);
}

}  // namespace
