// The overlay composited into a real swap chain's back buffer, read back before Present, for each
// renderer: the game's picture darkened to 40 %, the host's frame on top at its placement.
#include "graphics_test_support.h"

#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace GraphicsTest;
using Overlay::Host::HostFrameBuffer;
using Overlay::Host::HostOverlay;
using Overlay::Host::HostWindow;
using Overlay::Ipc::SharedOverlay;
using Overlay::Ipc::SharedRect;
using Overlay::Rendering::Bitmap;
using Overlay::Rendering::RectI;
using Overlay::Rendering::RenderOverlay;
using Overlay::Rendering::Renderer;
using Overlay::Rendering::RendererD2D;
using Overlay::Rendering::RendererD3D11;
using Overlay::Rendering::SizeU;

enum class Kind { D2D, D3D11 };

std::string kindName(const ::testing::TestParamInfo<Kind>& info)
{
    return info.param == Kind::D2D ? "Direct2D" : "Direct3D11";
}

const Rgba gameColor = {200, 100, 50, 255};
const Rgba dimmedGame = {80, 40, 20, 255};

class Composition : public ::testing::TestWithParam<Kind>
{
public:
    static constexpr uint32_t width = 256;
    static constexpr uint32_t height = 192;

    Composition()
        : game(sharedGame()),
          sharedOverlay(SharedOverlay::create()),
          hostOverlay(HostOverlay::open(sharedOverlay->name())),
          hostWindow(HostWindow::create(SharedRect{40, 30, 40 + 96, 30 + 64})),
          frameBuffer(HostFrameBuffer::create(200 * 200)),
          overlay(sharedOverlay, SizeU{width, height}, nullptr)
    {
        renderer = makeRenderer(game.swapChain.Get());
    }

    std::shared_ptr<Renderer> makeRenderer(IDXGISwapChain* swapChain) const
    {
        if (GetParam() == Kind::D2D) {
            return std::make_shared<RendererD2D>(swapChain);
        }
        return std::make_shared<RendererD3D11>(swapChain);
    }

    std::string bitmapCreated() const
    {
        return GetParam() == Kind::D2D ? "Create BitmapD2D: " : "Create BitmapD3D11: ";
    }

    void publish(HostWindow& window, HostFrameBuffer& buffer, uint32_t w, uint32_t h, uint8_t seed)
    {
        const auto pixels = pattern(w, h, seed);
        window.publishFrame(buffer, w, h, pixels.data(), w * 4);
    }

    // Writes a frame without marking it dirty.
    void writeClean(uint32_t w, uint32_t h, uint8_t seed)
    {
        const auto pixels = pattern(w, h, seed);
        const auto lock = hostWindow->lock();
        frameBuffer->write(w, h, pixels.data(), w * 4);
        frameBuffer->setDirty(false);
    }

    Image drawFrame()
    {
        clearBackBuffer(game.swapChain.Get(), gameColor);
        overlay.setRenderer(renderer);
        overlay.draw();
        return readBackBuffer(game.swapChain.Get());
    }

    // Every pixel: inside `rect` the host's pattern (seed), outside the darkened game colour;
    // `darkened` limits the darkened area (the rest keeps the game colour).
    static void expectComposition(const Image& image, const RectI* rect, uint8_t seed, const RectI& darkened)
    {
        size_t wrong = 0;
        std::string first;
        for (uint32_t y = 0; y < image.height; ++y) {
            for (uint32_t x = 0; x < image.width; ++x) {
                const int32_t ix = static_cast<int32_t>(x);
                const int32_t iy = static_cast<int32_t>(y);
                const bool inside = rect && ix >= rect->left && ix < rect->right && iy >= rect->top && iy < rect->bottom;
                const bool dim = ix >= darkened.left && ix < darkened.right && iy >= darkened.top && iy < darkened.bottom;
                const Rgba expected = inside ? patternPixel(static_cast<uint32_t>(ix - rect->left),
                                                            static_cast<uint32_t>(iy - rect->top), seed)
                                             : (dim ? dimmedGame : gameColor);
                if (!closeTo(image.at(x, y), expected, inside ? 1 : 2)) {
                    if (wrong++ == 0) {
                        first = "(" + std::to_string(x) + ", " + std::to_string(y) + "): " + describe(image.at(x, y)) +
                                " instead of " + describe(expected);
                    }
                }
            }
        }
        EXPECT_EQ(wrong, 0u) << "first wrong pixel " << first;
    }

    static RectI whole() { return RectI{0, 0, width, height}; }

    // One swap chain for all cases: making and dropping devices costs most of the time under Wine.
    static TestSwapChain& sharedGame()
    {
        static TestSwapChain swapChain(SwapChainOptions{width, height});
        return swapChain;
    }

    LogFileCapture log;
    TestSwapChain& game;
    std::shared_ptr<SharedOverlay> sharedOverlay;
    std::unique_ptr<HostOverlay> hostOverlay;
    std::unique_ptr<HostWindow> hostWindow;
    std::unique_ptr<HostFrameBuffer> frameBuffer;
    std::shared_ptr<Renderer> renderer;
    RenderOverlay overlay;
};

TEST_P(Composition, DarkensTheGameAndDrawsTheHostFrameAtItsPlace)
{
    publish(*hostWindow, *frameBuffer, 96, 64, 1);
    hostOverlay->showWindow(hostWindow->id());
    const RectI rect = {40, 30, 136, 94};
    expectComposition(drawFrame(), &rect, 1, whole());
    EXPECT_FALSE(frameBuffer->dirty()) << "the client clears the dirty flag after copying";

    // The host moves its window; the same frame is drawn at the new place without a new upload.
    {
        const auto lock = hostWindow->lock();
        hostWindow->setRect(SharedRect{150, 100, 246, 164});
    }
    const size_t bitmaps = log.countPrefix(bitmapCreated());
    const RectI moved = {150, 100, 246, 164};
    expectComposition(drawFrame(), &moved, 1, whole());
    EXPECT_EQ(log.countPrefix(bitmapCreated()), bitmaps);
}

TEST_P(Composition, WindowIdZeroOnlyDarkens)
{
    expectComposition(drawFrame(), nullptr, 0, whole());

    publish(*hostWindow, *frameBuffer, 96, 64, 1);
    hostOverlay->showWindow(hostWindow->id());
    drawFrame();
    hostOverlay->hideWindow();
    expectComposition(drawFrame(), nullptr, 0, whole());
    EXPECT_EQ(log.countPrefix("Destroy RenderWindow: "), 1u);
}

TEST_P(Composition, FrameSizeChangeMakesANewBitmapAndUploadsEvenWhenClean)
{
    publish(*hostWindow, *frameBuffer, 96, 64, 1);
    hostOverlay->showWindow(hostWindow->id());
    drawFrame();
    EXPECT_EQ(log.countPrefix(bitmapCreated()), 1u);

    {
        const auto lock = hostWindow->lock();
        hostWindow->setRect(SharedRect{20, 10, 84, 58});
    }
    writeClean(64, 48, 2);
    const RectI rect = {20, 10, 84, 58};
    expectComposition(drawFrame(), &rect, 2, whole());
    EXPECT_EQ(log.countPrefix(bitmapCreated()), 2u);
}

TEST_P(Composition, CleanFrameUploadsNothingDirtyFrameUploads)
{
    publish(*hostWindow, *frameBuffer, 96, 64, 1);
    hostOverlay->showWindow(hostWindow->id());
    const RectI rect = {40, 30, 136, 94};
    drawFrame();

    writeClean(96, 64, 2);
    expectComposition(drawFrame(), &rect, 1, whole());

    {
        const auto lock = hostWindow->lock();
        frameBuffer->setDirty(true);
    }
    expectComposition(drawFrame(), &rect, 2, whole());
    EXPECT_EQ(log.countPrefix(bitmapCreated()), 1u) << "the texture is reused while the size stays";
}

TEST_P(Composition, NewWindowIdGetsItsFrameOnTheFirstDraw)
{
    publish(*hostWindow, *frameBuffer, 96, 64, 1);
    hostOverlay->showWindow(hostWindow->id());
    drawFrame();

    auto secondWindow = HostWindow::create(SharedRect{100, 50, 164, 98});
    auto secondBuffer = HostFrameBuffer::create(64 * 48);
    publish(*secondWindow, *secondBuffer, 64, 48, 3);
    {
        const auto lock = secondWindow->lock();
        secondBuffer->setDirty(false);
    }
    hostOverlay->showWindow(secondWindow->id());
    const RectI rect = {100, 50, 164, 98};
    expectComposition(drawFrame(), &rect, 3, whole());
    EXPECT_EQ(log.countPrefix("Create RenderWindow: "), 2u);
    EXPECT_EQ(log.countPrefix("Destroy RenderWindow: "), 1u);
}

TEST_P(Composition, DarkenedAreaFollowsTheSurfaceSize)
{
    overlay.setSurfaceSize(SizeU{128, 96});
    expectComposition(drawFrame(), nullptr, 0, RectI{0, 0, 128, 96});
}

TEST_P(Composition, SameRendererAgainKeepsTheBitmapAnotherRendererMakesANewOne)
{
    publish(*hostWindow, *frameBuffer, 96, 64, 1);
    hostOverlay->showWindow(hostWindow->id());
    drawFrame();
    drawFrame();
    EXPECT_EQ(log.countPrefix(bitmapCreated()), 1u);

    renderer = makeRenderer(game.swapChain.Get());
    const RectI rect = {40, 30, 136, 94};
    expectComposition(drawFrame(), &rect, 1, whole());
    EXPECT_EQ(log.countPrefix(bitmapCreated()), 2u);

    overlay.release();
    EXPECT_THROW(overlay.draw(), std::runtime_error);
}

TEST_P(Composition, ResizedBackBufferGetsANewTarget)
{
    publish(*hostWindow, *frameBuffer, 96, 64, 1);
    hostOverlay->showWindow(hostWindow->id());
    drawFrame();

    if (GetParam() == Kind::D2D) {
        static_cast<RendererD2D&>(*renderer).destroyRenderTarget();
    } else {
        static_cast<RendererD3D11&>(*renderer).destroyRenderTargetView();
    }
    ASSERT_EQ(game.swapChain->ResizeBuffers(0, 320, 240, DXGI_FORMAT_UNKNOWN, 0), S_OK)
        << "a reference to the old back buffer was kept";
    overlay.setSurfaceSize(SizeU{320, 240});
    const Image image = drawFrame();
    ASSERT_EQ(image.width, 320u);
    const RectI rect = {40, 30, 136, 94};
    expectComposition(image, &rect, 1, RectI{0, 0, 320, 240});

    overlay.release();
    renderer.reset();
    ASSERT_EQ(game.swapChain->ResizeBuffers(0, width, height, DXGI_FORMAT_UNKNOWN, 0), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Renderers, Composition, ::testing::Values(Kind::D2D, Kind::D3D11), kindName);

// --- Bitmap uploads ----------------------------------------------------------------------------

TEST(BitmapD3D11, WidePitchIsCopiedRowByRowAndPartialUpdatesAreRefused)
{
    TestSwapChain& game = Composition::sharedGame();
    RendererD3D11 renderer(game.swapChain.Get());
    auto bitmap = renderer.createBitmap(SizeU{64, 48});
    const uint32_t pitch = 64 * 4 + 36;
    const auto tight = pattern(64, 48, 5);
    std::vector<uint8_t> wide(size_t(pitch) * 48, 0xEE);
    for (uint32_t y = 0; y < 48; ++y) {
        std::memcpy(&wide[size_t(y) * pitch], &tight[size_t(y) * 64 * 4], 64 * 4);
    }
    bitmap->update(wide.data(), pitch, nullptr);
    const RectI dst = {10, 20, 74, 68};
    EXPECT_THROW(
        {
            try {
                bitmap->update(wide.data(), pitch, &dst);
            } catch (const std::logic_error& e) {
                EXPECT_STREQ(e.what(), "Unimplemented dstRect feature");
                throw;
            }
        },
        std::logic_error);

    clearBackBuffer(game.swapChain.Get(), gameColor);
    renderer.beginDraw();
    renderer.drawBitmap(*bitmap, dst);
    renderer.endDraw();
    const Image image = readBackBuffer(game.swapChain.Get());
    for (uint32_t y = 0; y < 48; ++y) {
        for (uint32_t x = 0; x < 64; ++x) {
            ASSERT_TRUE(closeTo(image.at(10 + x, 20 + y), patternPixel(x, y, 5), 1)) << x << ", " << y;
        }
    }
    EXPECT_TRUE(closeTo(image.at(9, 20), gameColor, 0));
}

TEST(BitmapD2D, UpdateWithADestinationRectangleCopiesOnlyThatPart)
{
    TestSwapChain& game = Composition::sharedGame();
    RendererD2D renderer(game.swapChain.Get());
    auto bitmap = renderer.createBitmap(SizeU{64, 48});
    const auto first = pattern(64, 48, 1);
    bitmap->update(first.data(), 64 * 4, nullptr);
    const auto second = pattern(16, 8, 2);
    const RectI part = {8, 4, 24, 12};
    bitmap->update(second.data(), 16 * 4, &part);

    clearBackBuffer(game.swapChain.Get(), gameColor);
    renderer.beginDraw();
    renderer.drawBitmap(*bitmap, RectI{0, 0, 64, 48});
    renderer.endDraw();
    const Image image = readBackBuffer(game.swapChain.Get());
    for (uint32_t y = 0; y < 48; ++y) {
        for (uint32_t x = 0; x < 64; ++x) {
            const bool inPart = x >= 8 && x < 24 && y >= 4 && y < 12;
            const Rgba expected = inPart ? patternPixel(x - 8, y - 4, 2) : patternPixel(x, y, 1);
            ASSERT_TRUE(closeTo(image.at(x, y), expected, 1)) << x << ", " << y << ": " << describe(image.at(x, y));
        }
    }
    EXPECT_EQ(bitmap->size(), (SizeU{64, 48}));
}

}  // namespace
