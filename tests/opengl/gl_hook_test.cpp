// The OpenGL hook in a running game: the demo game swaps in this process with the hook records
// attached, a listener draws the overlay the way the overlay client does and reads the frame back
// with the game's context.
#include "gl_read_back.h"
#include "overlay_listener.h"

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/opengl/opengl_hook.h"
#include "overlay/overlay_client/impl/rendering/gl/renderer_gl.h"

#include <gtest/gtest.h>

namespace {

using namespace GraphicsTest;
using Overlay::GraphicDeviceHook;
using Overlay::Rendering::SizeU;

// The OpenGL hook, attached for the fixture's life, and a demo game made after it.
class HookedGlGame : public ::testing::Test
{
protected:
    HookedGlGame() : hook(GraphicDeviceHook::openGl)
    {
        Overlay::hook(hook.getHooks());
        EXPECT_TRUE(Overlay::allHooked(hook.getHooks()));
    }

    ~HookedGlGame() override
    {
        hook.setListener(nullptr);
        game.reset();
    }

    void startGame(bool wglSwap, bool core = true)
    {
        DemoGl::Options options;
        options.width = 320;
        options.height = 240;
        options.hidden = true;
        options.wglSwap = wglSwap;
        options.coreProfile = core;
        // The old game first: it leaves no context current as it goes.
        hook.setListener(nullptr);
        game.reset();
        game = std::make_unique<DemoGl::DemoGame>(options);
        listener = std::make_unique<OverlayListener>([this] { return frame; });
        // The frame as the game left it, before the overlay: its corner is the background darkened.
        listener->surfaceSize = [this](Overlay::Rendering::Renderer&) {
            gameFrame = readBackBuffer(*game);
            return SizeU{gameFrame.width, gameFrame.height};
        };
        listener->readBack = [this](Overlay::Rendering::Renderer&, Rgba& background) {
            background = gameFrame.at(2, 2);
            return readBackBuffer(*game);
        };
        hook.setListener(listener.get());
    }

    void frames(int count)
    {
        for (int i = 0; i < count; ++i, ++frame) {
            game->pumpMessages();
            ASSERT_TRUE(game->renderFrame()) << "frame " << frame;
        }
    }

    LogTest::LogCapture log;
    GraphicDeviceHook hook;
    std::unique_ptr<DemoGl::DemoGame> game;
    std::unique_ptr<OverlayListener> listener;
    Image gameFrame;
    uint64_t frame = 0;
};

// gdi32's SwapBuffers calls opengl32's wglSwapBuffers under Wine: any swap, one overlay per frame.
TEST_F(HookedGlGame, WindowOnTheTenthSwapThenTheOverlayOnceOnEveryFrameBothSwaps)
{
    EXPECT_THROW(GraphicDeviceHook(GraphicDeviceHook::openGl), std::logic_error) << "one graphics hook at a time";
    Overlay::SingleInstance<Overlay::OpenGlHook>::instance()->dumpDevice();
    EXPECT_EQ(count(log, L"Can not dump graphics device: OpenGL renderer is not set"), 1u);

    for (const bool wglSwap : {false, true}) {
        SCOPED_TRACE(wglSwap ? "wglSwapBuffers" : "SwapBuffers");
        startGame(wglSwap, !wglSwap);
        frames(13);
        EXPECT_EQ(listener->windowCalls, wglSwap ? 0 : 1) << "told once, on the tenth swap";
        EXPECT_EQ(listener->windowFrame, wglSwap ? ~0ull : 9u);
        EXPECT_EQ(listener->presentCalls, wglSwap ? 13 : 3);
        EXPECT_EQ(listener->checkedFrames, listener->presentCalls);
        EXPECT_EQ(listener->errors, "");
        EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
    }
    // A layer swap of the main plane is a frame too; it goes through wglSwapBuffers under Wine.
    const int calls = listener->presentCalls;
    EXPECT_TRUE(wglSwapLayerBuffers(game->deviceContext(), WGL_SWAP_MAIN_PLANE));
    EXPECT_EQ(listener->presentCalls, calls + 1);
    Overlay::SingleInstance<Overlay::OpenGlHook>::instance()->dumpDevice();
    EXPECT_EQ(count(log, L"=== OpenGL Graphics Device Dump Start ==="), 1u);
}

// A resize and a context the game deletes and makes anew, while shown: the same renderer (it draws
// with a context of its own) goes on drawing the right picture; a new window gets a new one.
TEST_F(HookedGlGame, ResizesAndNewContextsWhileShown)
{
    startGame(false);
    frames(12);
    game->requestResize(200, 150);
    frames(2);
    EXPECT_EQ(listener->lastSize, (SizeU{200, 150}));
    game->recreateContext();
    frames(3);
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(listener->checkedFrames, 7);
    EXPECT_EQ(listener->renderers.size(), 1u);
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();

    startGame(true);
    frames(2);
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(countPrefix(log, L"Create RendererGL"), 2u) << "a renderer of one window never draws on another";
}

TEST_F(HookedGlGame, StopCompletesOnTheSwappingThreadAndTheGameGoesOn)
{
    startGame(false);
    frames(13);
    hook.stop();
    hook.stop();
    const int callsAtStop = listener->presentCalls;
    frames(3);
    EXPECT_EQ(listener->presentCalls, callsAtStop);
    EXPECT_EQ(count(log, L"OpenGlHook: request stop"), 1u);
    EXPECT_EQ(count(log, L"OpenGlHook stopped"), 1u);
    EXPECT_EQ(game->stateMismatches(), 0u) << game->lastMismatch();
}

}  // namespace
