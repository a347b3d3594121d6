// The Direct3D 9 hook in a running game: demo games present in this process with the hook records
// attached, a listener draws the overlay the way the overlay client does.
#include "d3d9_demo_game.h"
#include "d3d9_read_back.h"
#include "overlay_listener.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d9_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d9/renderer_d3d9.h"

#include <gtest/gtest.h>

namespace {

using namespace GraphicsTest;
using Overlay::GraphicDeviceHook;
using Overlay::Rendering::Renderer;
using Overlay::Rendering::SizeU;

// The graphics hook for Direct3D 9, attached for the fixture's life, and demo games made after it.
class HookedGame : public ::testing::Test
{
protected:
    HookedGame() : hook(GraphicDeviceHook::direct3D9)
    {
        Overlay::hook(hook.getHooks());
        EXPECT_TRUE(Overlay::allHooked(hook.getHooks()));
    }

    ~HookedGame() override
    {
        hook.setListener(nullptr);
        game.reset();
    }

    void startGame(bool extended = false)
    {
        game = std::make_unique<Demo9::DemoGame>(gameOptions(extended));
        listener = std::make_unique<OverlayListener>([this] { return game->frameCount(); });
        // The frame as the game left it, before the overlay: its corner is the background darkened.
        listener->surfaceSize = [this](Renderer& renderer) {
            gameFrame = readBackBuffer(deviceOf(renderer));
            return SizeU{gameFrame.width, gameFrame.height};
        };
        listener->hostBlended = true;
        listener->readBack = [this](Renderer& renderer, Rgba& background) {
            background = gameFrame.at(2, 2);
            return readBackBuffer(deviceOf(renderer));
        };
        hook.setListener(listener.get());
    }

    static IDirect3DDevice9* deviceOf(Renderer& renderer)
    {
        return dynamic_cast<Overlay::Rendering::RendererD3D9&>(renderer).device();
    }

    void frames(int count) { ASSERT_EQ(renderFrames(*game, count), S_OK) << "frame " << game->frameCount(); }

    LogTest::LogCapture log;
    GraphicDeviceHook hook;
    std::unique_ptr<Demo9::DemoGame> game;
    std::unique_ptr<OverlayListener> listener;
    Image gameFrame;
};

TEST_F(HookedGame, WindowOnTheTenthPresentThenTheOverlayOnEveryFrameAcrossResets)
{
    EXPECT_THROW(GraphicDeviceHook(GraphicDeviceHook::direct3D9), std::logic_error) << "one graphics hook at a time";

    startGame();
    frames(13);
    EXPECT_EQ(listener->windowCalls, 1);
    EXPECT_EQ(listener->windowFrame, 9u) << "reported inside the tenth Present";
    EXPECT_EQ(listener->window, game->window());
    EXPECT_EQ(listener->presentCalls, 3);

    game->requestResize(320, 240);
    frames(2);
    EXPECT_EQ(game->lastResetResult(), D3D_OK) << "the renderer's state block was in the way";
    EXPECT_EQ(listener->lastSize, (SizeU{320, 240}));
    game->requestResize(200, 150);
    frames(1);
    EXPECT_EQ(listener->resets, (std::vector<ResetCall>{{320, 240, false}, {200, 150, false}}));

    // A Reset the device refuses: the game's error, no listener call.
    EXPECT_EQ(game->reset([](D3DPRESENT_PARAMETERS& p) { p.SwapEffect = static_cast<D3DSWAPEFFECT>(0xFF); }),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(listener->resets.size(), 2u);
    frames(2);
    EXPECT_EQ(listener->lastSize, (SizeU{200, 150}));
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(listener->renderers.size(), 1u) << "one renderer for the device, across resets";
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();

    Overlay::SingleInstance<Overlay::D3D9Hook>::instance()->dumpDevice();
    EXPECT_EQ(count(log, L"=== D3D9 Graphics Device Dump Start ==="), 1u);
}

// Another device presenting (a Direct3D 9Ex one) makes a new renderer each switch, and draws. Once
// the overlay is hidden, nothing of a device is held: it goes with the game's last reference.
TEST_F(HookedGame, EachDeviceItsOwnRendererDirect3D9ExToo)
{
    Overlay::SingleInstance<Overlay::D3D9Hook>::instance()->dumpDevice();
    EXPECT_EQ(count(log, L"Can not dump graphics device: D3D9 renderer is not set"), 1u);
    startGame();
    frames(12);
    Demo9::DemoGame extended(gameOptions(true));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(renderFrames(extended, 1), S_OK);
        frames(1);
    }
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(listener->presentCalls, 2 + 6);
    EXPECT_EQ(countPrefix(log, L"Create RendererD3D9: "), 7u) << "a renderer of one device never draws on another";
    EXPECT_EQ(game->stateMismatches() + extended.stateMismatches(), 0u) << game->lastMismatch();

    listener->hidden = true;
    frames(1);
    IDirect3DDevice9* device = game->device();
    device->AddRef();
    game.reset();
    EXPECT_EQ(device->Release(), 0u) << "the overlay keeps the game's device";
    hook.setListener(nullptr);
}

TEST_F(HookedGame, StopCompletesOnThePresentingThreadAndTheGameGoesOn)
{
    startGame();
    frames(13);
    hook.stop();
    hook.stop();
    const int callsAtStop = listener->presentCalls;
    frames(3);
    EXPECT_EQ(listener->presentCalls, callsAtStop);
    EXPECT_EQ(count(log, L"D3DHook: request stop"), 1u);
    EXPECT_EQ(count(log, L"D3D9Hook stopped"), 1u);
    game->requestResize(300, 200);
    frames(1);
    EXPECT_EQ(game->lastResetResult(), D3D_OK);
    EXPECT_TRUE(listener->resets.empty()) << "no listener call once stopped";
}

}  // namespace
