// The OpenGL renderer drawing over the demo game's frames just before its swap, in the test
// process: what it composes in each profile, the game's state and context it leaves alone, a game
// that makes a new context, and the device dump.
#include "gl_read_back.h"

#include "overlay/overlay_client/impl/diagnostic/gl_device_dump.h"
#include "overlay/overlay_client/impl/rendering/gl/renderer_gl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

using namespace GraphicsTest;
using Overlay::Rendering::RectI;
using Overlay::Rendering::RendererGL;

const uint32_t gameWidth = 256;
const uint32_t gameHeight = 192;
const uint32_t hostWidth = 64;
const uint32_t hostHeight = 48;
const RectI placement = {20, 16, 84, 64};
// Updated on its own in the second frame, from a host frame of another pattern.
const RectI partial = {8, 6, 40, 30};

DemoGl::Options gameOptions(bool core)
{
    DemoGl::Options options = hiddenGame<DemoGl::Options>(gameWidth, gameHeight);
    options.coreProfile = core;
    return options;
}

// The demo game drawing the overlay before each swap with one RendererGL made at its first frame:
// the whole surface darkened, then the host's bitmap at `placement`.
struct OverlaidGame
{
    explicit OverlaidGame(bool core) : game(gameOptions(core)), host(pattern(hostWidth, hostHeight, 5))
    {
        game.beforeSwap = [this] {
            before = readBackBuffer(game);
            if (beforeOverlay) {
                beforeOverlay();
            }
            // The game's, or none when beforeOverlay made none current.
            const HGLRC current = wglGetCurrentContext();
            // Made and filled outside the drawing (the renderer's context current just for it), the
            // partial update below inside it, as RenderWindow does.
            if (!renderer) {
                renderer = std::make_unique<RendererGL>(game.deviceContext());
                bitmap = renderer->createBitmap({hostWidth, hostHeight});
                bitmap->update(host.data(), hostWidth * 4, nullptr);
            }
            renderer->beginDraw();
            if (updateBitmap) {
                updateBitmap();
            }
            renderer->fillRect({0, 0, int32_t(gameWidth), int32_t(gameHeight)}, {0.0f, 0.0f, 0.0f, 0.6f});
            renderer->drawBitmap(*bitmap, placement);
            renderer->endDraw();
            contextsGivenBack +=
                wglGetCurrentContext() == current && (!current || wglGetCurrentDC() == game.deviceContext());
            // The game's frames to come expect their context.
            wglMakeCurrent(game.deviceContext(), game.context());
            after = readBackBuffer(game);
        };
    }

    // Renders a frame and checks what it composed: outside the placement 40 % of the game's pixel,
    // inside the host's pixel given by `hostPixel(x, y)`, opaque.
    void checkFrame(const std::function<Rgba(uint32_t x, uint32_t y)>& hostPixel, const char* what)
    {
        const uint64_t frame = game.frameCount();
        ASSERT_TRUE(game.renderFrame()) << what;
        // The corner is out of the tiles' scissor box: the read-back sees the game's clear colour,
        // sRGB-encoded where the game blits it from its framebuffer object with sRGB writes on.
        float clear[4];
        DemoGl::DemoGame::clearColor(frame, clear);
        auto level = [srgb = game.framebufferObjects()](float c) {
            return uint8_t(std::lround(255 * (srgb ? 1.055f * std::pow(c, 1 / 2.4f) - 0.055f : c)));
        };
        const Rgba background = {level(clear[0]), level(clear[1]), level(clear[2]), 255};
        EXPECT_TRUE(closeTo(before.at(2, 2), background, 2)) << what << ": " << describe(before.at(2, 2));
        EXPECT_EQ(wrongPixels(after,
                              [&](uint32_t x, uint32_t y) {
                                  if (!contains(placement, x, y)) {
                                      return ExpectedPixel{dimmed(before.at(x, y)), 2};
                                  }
                                  return ExpectedPixel{hostPixel(x - placement.left, y - placement.top), 0};
                              }),
                  "")
            << what;
    }

    DemoGl::DemoGame game;
    const std::vector<uint8_t> host;
    std::unique_ptr<RendererGL> renderer;
    std::shared_ptr<Overlay::Rendering::Bitmap> bitmap;
    std::function<void()> beforeOverlay;
    std::function<void()> updateBitmap;
    Image before;
    Image after;
    int contextsGivenBack = 0;
};

void composes(bool core)
{
    OverlaidGame subject(core);
    if (const char* version = std::getenv("MESA_GL_VERSION_OVERRIDE")) {
        ASSERT_FALSE(subject.game.framebufferObjects()) << "GL " << version << " not in effect";
    }
    const auto first = [](uint32_t x, uint32_t y) { return patternPixel(x, y, 5); };
    subject.checkFrame(first, "first frame");

    // Rows of the whole host frame apart, as a host writes a changed part of its frame.
    const auto other = pattern(hostWidth, hostHeight, 9);
    subject.updateBitmap = [&] {
        const size_t offset = (size_t(partial.top) * hostWidth + partial.left) * 4;
        subject.bitmap->update(other.data() + offset, hostWidth * 4, &partial);
    };
    const auto updated = [&](uint32_t x, uint32_t y) { return patternPixel(x, y, contains(partial, x, y) ? 9 : 5); };
    subject.checkFrame(updated, "partial update");
    subject.updateBitmap = nullptr;

    // A game that swaps with no context current is served, and given none back.
    subject.beforeOverlay = [&] { wglMakeCurrent(nullptr, nullptr); };
    subject.checkFrame(updated, "no context current");
    subject.beforeOverlay = nullptr;

    // Its old context deleted, the game draws with a new one: the same renderer goes on.
    subject.game.recreateContext();
    subject.checkFrame(updated, "new context");
    ASSERT_TRUE(subject.game.renderFrame());
    EXPECT_EQ(subject.contextsGivenBack, 5);
    EXPECT_EQ(subject.game.stateMismatches(), 0u) << subject.game.lastMismatch();
}

TEST(GlRenderer, ComposesOverTheCoreProfileGame)
{
    composes(true);
}

TEST(GlRenderer, ComposesOverTheCompatibilityProfileGame)
{
    composes(false);
}

TEST(GlRenderer, DumpsTheImplementationAndPixelFormat)
{
    DemoGl::DemoGame game(gameOptions(true));
    const RendererGL renderer(game.deviceContext());
    EXPECT_EQ(renderer.window(), game.window());
    LogTest::LogCapture log;
    Overlay::dumpGlDevice(renderer);
    EXPECT_EQ(countPrefix(log, L"=== OpenGL Graphics Device Dump"), 2u);
    EXPECT_TRUE(log.contains(L"Version: " + std::wstring(renderer.version().begin(), renderer.version().end())));
    EXPECT_FALSE(renderer.vendor().empty() || renderer.rendererName().empty());
    EXPECT_EQ(countPrefix(log, L"Pixel format " + std::to_wstring(renderer.pixelFormat()) + L": colour 32 bits"), 1u);
    EXPECT_TRUE(log.contains(L"Client size: 256x192"));
}

}  // namespace
