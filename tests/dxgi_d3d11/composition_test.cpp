// The overlay composited into a real swap chain's back buffer, read back before Present, for each
// renderer: the game's picture darkened to 40 %, the host's frame on top at its placement, and when
// a frame is uploaded.
#include "graphics_test_support.h"

#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace GraphicsTest;
using Overlay::Ipc::SharedRect;
using Overlay::Rendering::RectI;
using Overlay::Rendering::Renderer;
using Overlay::Rendering::RendererD2D;
using Overlay::Rendering::RendererD3D11;
using Overlay::Rendering::SizeU;

enum class Kind { D2D, D3D11 };

const Rgba gameColor = {200, 100, 50, 255};
const RectI placed = {40, 30, 136, 94};

class Composition : public ::testing::TestWithParam<Kind>
{
protected:
    static constexpr uint32_t width = 256;
    static constexpr uint32_t height = 192;

    Composition()
        : game(sharedGame()), host(SharedRect{placed.left, placed.top, placed.right, placed.bottom}),
          renderer(makeRenderer()), overlay(host.sharedOverlay, SizeU{width, height}, nullptr)
    {
    }

    // One swap chain for all cases: making and dropping devices costs most of the time under Wine.
    static TestSwapChain& sharedGame()
    {
        static TestSwapChain swapChain(width, height);
        return swapChain;
    }

    std::shared_ptr<Renderer> makeRenderer() const
    {
        IDXGISwapChain* swapChain = game.swapChain.Get();
        return GetParam() == Kind::D2D ? std::shared_ptr<Renderer>(std::make_shared<RendererD2D>(swapChain))
                                       : std::make_shared<RendererD3D11>(swapChain);
    }

    size_t bitmapsMade() const
    {
        return countPrefix(log, GetParam() == Kind::D2D ? L"Create BitmapD2D: " : L"Create BitmapD3D11: ");
    }

    void moveTo(const RectI& rect)
    {
        const auto lock = host.window->lock();
        host.window->setRect(SharedRect{rect.left, rect.top, rect.right, rect.bottom});
    }

    Image drawFrame()
    {
        clearBackBuffer(game.swapChain.Get(), gameColor);
        overlay.setRenderer(renderer);
        overlay.draw();
        return readBackBuffer(game.swapChain.Get());
    }

    // Inside `rect` the host's pattern `seed`, elsewhere the game's colour, darkened inside `darkened`.
    static std::string wrong(const Image& image, const RectI* rect, uint8_t seed,
                             const RectI& darkened = RectI{0, 0, width, height})
    {
        return wrongPixels(image, [&](uint32_t x, uint32_t y) -> ExpectedPixel {
            if (rect && contains(*rect, x, y)) {
                return {patternPixel(x - rect->left, y - rect->top, seed), 1};
            }
            return {contains(darkened, x, y) ? dimmed(gameColor) : gameColor, 2};
        });
    }

    LogTest::LogCapture log;
    TestSwapChain& game;
    TestHost host;
    std::shared_ptr<Renderer> renderer;
    Overlay::Rendering::RenderOverlay overlay;
};

TEST_P(Composition, HostWindowAtItsPlaceOverTheDarkenedGame)
{
    EXPECT_EQ(wrong(drawFrame(), nullptr, 0), "") << "window id zero: only the darkening";

    host.publish(96, 64, 1);
    EXPECT_EQ(wrong(drawFrame(), &placed, 1), "");
    EXPECT_FALSE(host.buffer->dirty()) << "the client clears the dirty flag after copying";

    const RectI moved = {150, 100, 246, 164};
    moveTo(moved);
    EXPECT_EQ(wrong(drawFrame(), &moved, 1), "") << "the same frame at the new place";
    EXPECT_EQ(bitmapsMade(), 1u);

    host.overlay->hideWindow();
    EXPECT_EQ(wrong(drawFrame(), nullptr, 0), "");
    EXPECT_EQ(countPrefix(log, L"Destroy RenderWindow: "), 1u);
    overlay.setSurfaceSize(SizeU{128, 96});
    EXPECT_EQ(wrong(drawFrame(), nullptr, 0, RectI{0, 0, 128, 96}), "") << "only the surface is darkened";
    overlay.setSurfaceSize(SizeU{width, height});

    // Another window, its frame not dirty: drawn from its first frame on.
    const RectI otherRect = {100, 50, 164, 98};
    TestHost other(SharedRect{otherRect.left, otherRect.top, otherRect.right, otherRect.bottom}, host.sharedOverlay);
    other.publish(64, 48, 3, false);
    EXPECT_EQ(wrong(drawFrame(), &otherRect, 3), "");
    EXPECT_EQ(countPrefix(log, L"Create RenderWindow: "), 2u);
}

TEST_P(Composition, UploadsDirtyFramesAndNewSizesOnly)
{
    host.publish(96, 64, 1);
    drawFrame();
    host.publish(96, 64, 2, false);
    EXPECT_EQ(wrong(drawFrame(), &placed, 1), "") << "a clean frame is not uploaded";
    {
        const auto lock = host.window->lock();
        host.buffer->setDirty(true);
    }
    EXPECT_EQ(wrong(drawFrame(), &placed, 2), "");
    EXPECT_EQ(bitmapsMade(), 1u) << "the bitmap is reused while the size stays";

    const RectI small = {20, 10, 84, 58};
    moveTo(small);
    host.publish(64, 48, 3, false);
    EXPECT_EQ(wrong(drawFrame(), &small, 3), "") << "a new size is uploaded even when clean";
    EXPECT_EQ(bitmapsMade(), 2u);

    renderer = makeRenderer();
    EXPECT_EQ(wrong(drawFrame(), &small, 3), "") << "another renderer uploads into a bitmap of its own";
    EXPECT_EQ(bitmapsMade(), 3u);

    overlay.release();
    EXPECT_THROW(overlay.draw(), std::runtime_error);
}

// A host that keeps its mutexes (hung, or too slow) costs the overlay its freshness, not the game
// its frame: the last uploaded picture is drawn, and the episode is logged once.
TEST_P(Composition, AHostHoldingItsMutexesGetsTheLastFrameDrawn)
{
    host.publish(96, 64, 1);
    drawFrame();
    host.publish(96, 64, 2);
    {
        const HostMutexesHeld held(host);
        EXPECT_EQ(wrong(drawFrame(), &placed, 1), "");
        EXPECT_EQ(wrong(drawFrame(), &placed, 1), "");
    }
    EXPECT_EQ(wrong(drawFrame(), &placed, 2), "") << "the new frame once the host lets go";
    EXPECT_EQ(count(log, L"Host keeps the shared overlay locked: the overlay shows its last frame"), 1u);
    EXPECT_EQ(count(log, L"Host keeps the shared window locked: the overlay shows its last frame"), 1u);
    EXPECT_EQ(count(log, L"Host released the shared window"), 1u);
}

// Rows of any pitch are copied; a destination rectangle is for Direct2D bitmaps only.
TEST_P(Composition, BitmapFromRowsOfAnyPitch)
{
    auto bitmap = renderer->createBitmap(SizeU{64, 48});
    const uint32_t pitch = 64 * 4 + 36;
    const auto tight = pattern(64, 48, 5);
    std::vector<uint8_t> wide(size_t(pitch) * 48, 0xEE);
    for (uint32_t y = 0; y < 48; ++y) {
        std::memcpy(&wide[size_t(y) * pitch], &tight[size_t(y) * 64 * 4], 64 * 4);
    }
    bitmap->update(wide.data(), pitch, nullptr);
    const RectI part = {8, 4, 24, 12};
    if (GetParam() == Kind::D3D11) {
        EXPECT_THROW(bitmap->update(tight.data(), 16 * 4, &part), std::logic_error);
    }

    clearBackBuffer(game.swapChain.Get(), gameColor);
    const RectI dst = {10, 20, 74, 68};
    renderer->beginDraw();
    renderer->drawBitmap(*bitmap, dst);
    renderer->endDraw();
    EXPECT_EQ(wrongPixels(readBackBuffer(game.swapChain.Get()),
                          [&](uint32_t x, uint32_t y) {
                              return contains(dst, x, y) ? ExpectedPixel{patternPixel(x - dst.left, y - dst.top, 5), 1}
                                                         : ExpectedPixel{gameColor, 0};
                          }),
              "");
}

INSTANTIATE_TEST_SUITE_P(Renderers, Composition, ::testing::Values(Kind::D2D, Kind::D3D11),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::D2D ? "Direct2D" : "Direct3D11";
                         });

}  // namespace
