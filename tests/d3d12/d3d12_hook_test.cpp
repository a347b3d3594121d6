// The DXGI hook with Direct3D 12 games presenting in the test process (vkd3d under Wine): the command
// queue found where the swap chain is made or from a running game's ExecuteCommandLists, the overlay
// drawn across resizes, device loss and stop, beside a Direct3D 11 game, and no reference of ours left.
#include "d3d11_spy/d3d11_spy.h"
#include "d3d12_read_back.h"
#include "demo_game.h"
#include "overlay_listener.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"
#include "win/unique_handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

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
        listener.readBack = [this](Overlay::Rendering::Renderer&, Rgba& background) {
            background = backgroundOf<Demo12::DemoGame>(game->frameCount());
            return D3D12Test::readBackBuffer(*game);
        };
    }

    void frames(int count) { ASSERT_EQ(renderFrames(*game, count), S_OK) << "frame " << game->frameCount(); }

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

// Set in its last Release: the swap chain it is attached to is destroyed.
class Tracker final : public IUnknown
{
public:
    STDMETHOD(QueryInterface)(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    STDMETHOD_(ULONG, Release)() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            gone = true;
        }
        return static_cast<ULONG>(left);
    }
    std::atomic<bool> gone{false};

private:
    LONG references_ = 0;  // on the stack: only the swap chain's
};

// The runtime's SetPrivateData, hooked beneath: when our hook takes its object off `watched`, another
// thread lets go of the game's last reference first, and the call is not passed on to a swap chain
// destroyed meanwhile.
struct Detaching
{
    IDXGISwapChain* watched = nullptr;
    Tracker* tracker = nullptr;
    HANDLE release = nullptr;
    HANDLE released = nullptr;
    bool goneDuringDetach = false;
    Overlay::HookRecord* record = nullptr;
} detaching;

HRESULT STDMETHODCALLTYPE detachingSetPrivateData(IDXGISwapChain* swapChain, REFGUID id, UINT size, const void* data)
{
    if (swapChain == detaching.watched && size == 0 && data == nullptr) {
        detaching.watched = nullptr;
        SetEvent(detaching.release);
        WaitForSingleObject(detaching.released, 10000);
        if (detaching.tracker->gone) {
            detaching.goneDuringDetach = true;
            return S_OK;
        }
    }
    return detaching.record->real<HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, REFGUID, UINT, const void*)>()(
        swapChain, id, size, data);
}

TEST_F(D3D12HookedGame, SwapChainReleasedOnAnotherThreadWhileStopDetachesFromIt)
{
    attachHook();
    startGame();
    frames(13);
    // A second swap chain of the game's queue, which another thread lets go of.
    const Overlay::DummyWindow window;
    ComPtr<IDXGIFactory2> factory;
    check(CreateDXGIFactory1(IID_PPV_ARGS(&factory)));
    DXGI_SWAP_CHAIN_DESC1 desc = {64, 48, DXGI_FORMAT_R8G8B8A8_UNORM};
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    ComPtr<IDXGISwapChain1> other;
    check(factory->CreateSwapChainForHwnd(game->queue(), window.handle(), &desc, nullptr, nullptr, &other));
    Tracker tracker;
    const GUID trackerId = {0x3c1f0a52, 0x95d1, 0x4b7e, {0xa1, 0x0e, 0x5f, 0x27, 0x88, 0x41, 0xc6, 0x0d}};
    check(other->SetPrivateDataInterface(trackerId, &tracker));
    const Win::UniqueHandle release(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const Win::UniqueHandle released(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    void* const* table = *reinterpret_cast<void* const* const*>(other.Get());
    const std::unique_ptr<Overlay::HookRecord> beneath = Overlay::makeUniqueHookRecord(
        table[3], Overlay::codeAddress(&detachingSetPrivateData), "runtime SetPrivateData");
    detaching = {other.Get(), &tracker, release.get(), released.get(), false, beneath.get()};
    Overlay::hook({beneath.get()});
    ASSERT_TRUE(Overlay::allHooked({beneath.get()}));
    std::thread owner([&] {
        WaitForSingleObject(release.get(), 10000);
        other.Reset();
        SetEvent(released.get());
    });

    hook->stop();
    frames(1);
    owner.join();
    Overlay::unhook({beneath.get()});
    EXPECT_EQ(count(log, L"D3DHook stopped"), 1u);
    EXPECT_FALSE(detaching.goneDuringDetach) << "the swap chain was destroyed under our call";
    EXPECT_TRUE(tracker.gone) << "destroyed once we let go";
}

// A game presenting on a render thread of its own while its window thread handles messages: the
// hook is made on a third thread, as the host's export call makes it, and neither game thread stalls.
// (Made beside a present, its throw-away Direct3D 12 objects deadlock both threads on most runs.)
TEST_F(D3D12HookedGame, MadeWhileARenderThreadPresentsTheGameGoesOn)
{
    startGame();
    std::atomic<bool> quit{false};
    std::atomic<int> presented{0};
    std::thread render([&] {
        while (!quit && SUCCEEDED(game->renderFrame())) {
            ++presented;
        }
    });
    // The window thread's part: messages, until `done` or 30 s.
    auto pumpUntil = [&](const std::function<bool()>& done) {
        for (const ULONGLONG end = GetTickCount64() + 30000; !done() && GetTickCount64() < end;) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            game->pumpMessages();
        }
        return done();
    };
    pumpUntil([&] { return presented > 3; });
    const Win::UniqueHandle made(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread watchdog([&] {
        if (WaitForSingleObject(made.get(), 30000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "The hook was not made in 30 s: the game's threads are deadlocked\n");
            TerminateProcess(GetCurrentProcess(), 3);
        }
    });
    std::thread host([&] {
        attachHook();
        SetEvent(made.get());
    });
    pumpUntil([&] { return WaitForSingleObject(made.get(), 0) == WAIT_OBJECT_0; });
    host.join();
    watchdog.join();
    const int before = presented;
    EXPECT_TRUE(pumpUntil([&] { return presented > before + 3; })) << "the render thread goes on presenting";
    quit = true;
    render.join();
    EXPECT_EQ(count(log, L"Reading the DXGI methods while the game's presentation waits"), 1u);
    EXPECT_GT(listener.checkedFrames, 0);
    EXPECT_EQ(listener.errors, "");
}

TEST_F(D3D12HookedGame, Direct3D11AndDirect3D12GamesInOneProcessBothDrawn)
{
    attachHook();
    startGame();
    Demo::DemoGame game11(hiddenGame<Demo::Options>(256, 192));
    int checked11 = 0;
    listener.readBack = [&, read12 = listener.readBack](Overlay::Rendering::Renderer& renderer, Rgba& background) {
        if (swapChainOf(renderer) != game11.swapChain()) {
            return read12(renderer, background);
        }
        ++checked11;
        background = backgroundOf<Demo::DemoGame>(game11.frameCount());
        return GraphicsTest::readBackBuffer(game11.swapChain());
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
