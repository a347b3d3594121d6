// RendererD3D12 composing into a real Direct3D 12 swap chain (vkd3d under Wine), read back from the
// back buffer before Present: the game's picture darkened to 40 %, the host's frame at its place, a
// clean frame not uploaded, frames in flight on every back buffer.
#include "d3d12_read_back.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

namespace {

using namespace GraphicsTest;
using Overlay::Ipc::SharedRect;
using Overlay::Rendering::RectI;
using Overlay::Rendering::RendererD3D12;
using Overlay::Rendering::SizeU;

const RectI placed = {40, 30, 136, 94};

bool contains(const RectI& rect, uint32_t x, uint32_t y)
{
    return int32_t(x) >= rect.left && int32_t(x) < rect.right && int32_t(y) >= rect.top && int32_t(y) < rect.bottom;
}

Demo12::Options options()
{
    Demo12::Options options = hiddenGame<Demo12::Options>(256, 192);
    options.bufferCount = 3;
    return options;
}

class D3D12Composition : public ::testing::Test
{
protected:
    D3D12Composition()
        : game(options()), host(SharedRect{placed.left, placed.top, placed.right, placed.bottom}),
          overlay(host.sharedOverlay, SizeU{256, 192}, nullptr)
    {
        renderer = std::make_shared<RendererD3D12>(
            game.swapChain(), [this](IDXGISwapChain*) { return ComPtr<ID3D12CommandQueue>(game.queue()); });
        game.beforePresent = [this] {
            overlay.setRenderer(renderer);
            overlay.draw();
            image = D3D12Test::readBackBuffer(game);
            frame = game.frameCount();
        };
    }

    // Inside `rect` the host's pattern `seed`, elsewhere the game's background darkened (the bars at
    // the bottom move, they are not compared).
    std::string drawAndCheck(const RectI* rect, uint8_t seed)
    {
        EXPECT_EQ(game.renderFrame(), S_OK);
        const uint32_t barsTop = game.barsTop();
        return wrongPixels(image, [&](uint32_t x, uint32_t y) -> ExpectedPixel {
            if (rect && contains(*rect, x, y)) {
                return {patternPixel(x - rect->left, y - rect->top, seed), 1};
            }
            if (y >= barsTop) {
                return {image.at(x, y), 0};
            }
            return {dimmed(D3D12Test::background(frame)), 2};
        });
    }

    LogTest::LogCapture log;
    Demo12::DemoGame game;
    TestHost host;
    Overlay::Rendering::RenderOverlay overlay;
    std::shared_ptr<RendererD3D12> renderer;
    Image image;
    uint64_t frame = 0;
};

TEST_F(D3D12Composition, HostFrameOverTheDarkenedGameUploadedOnlyWhenDirty)
{
    EXPECT_EQ(drawAndCheck(nullptr, 0), "") << "window id zero: only the darkening";
    host.publish(96, 64, 1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(drawAndCheck(&placed, 1), "") << "frame " << i << ": every back buffer, allocators reused";
    }
    host.publish(96, 64, 2, false);
    EXPECT_EQ(drawAndCheck(&placed, 1), "") << "a clean frame is not uploaded";
    {
        const auto lock = host.window->lock();
        host.buffer->setDirty(true);
    }
    EXPECT_EQ(drawAndCheck(&placed, 2), "");
    EXPECT_EQ(countPrefix(log, L"Create BitmapD3D12: "), 1u) << "the bitmap is reused while the size stays";

    // A new renderer (as after a device loss) uploads into a bitmap of its own; the old one waits for
    // the GPU before it lets go of anything.
    renderer = std::make_shared<RendererD3D12>(
        game.swapChain(), [this](IDXGISwapChain*) { return ComPtr<ID3D12CommandQueue>(game.queue()); });
    EXPECT_EQ(drawAndCheck(&placed, 2), "");
    EXPECT_EQ(countPrefix(log, L"Create BitmapD3D12: "), 2u);
}

TEST_F(D3D12Composition, ResizedBuffersAndABitmapFromRowsOfAnyPitch)
{
    game.requestResize(200, 150);
    host.publish(96, 64, 4);
    overlay.setSurfaceSize(SizeU{200, 150});
    EXPECT_EQ(drawAndCheck(&placed, 4), "");
    EXPECT_EQ(game.lastResizeResult(), S_OK) << "no reference to a back buffer is kept between frames";
    EXPECT_EQ(image.width, 200u);

    auto bitmap = renderer->createBitmap(SizeU{16, 8});
    std::vector<uint8_t> rows(size_t(16 * 4 + 12) * 8);
    bitmap->update(rows.data(), 16 * 4 + 12, nullptr);
    const RectI part = {0, 0, 4, 4};
    EXPECT_THROW(bitmap->update(rows.data(), 16 * 4, &part), std::logic_error);
    EXPECT_THROW(renderer->drawBitmap(*bitmap, part), std::logic_error) << "outside beginDraw and endDraw";
}

}  // namespace
