#pragma once
// Shared by the graphics hook tests: a listener that draws the overlay on every frame, as the overlay
// client does while the overlay is shown (a failed frame answered the same way), and checks what it
// drew.

#include "graphics_test_support.h"

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"
#include "overlay/overlay_client/impl/rendering/swap_chain_renderer.h"

#include <atomic>
#include <functional>
#include <set>
#include <tuple>

namespace GraphicsTest {

// The host's window: 64x48 pixels of pattern 9.
const Overlay::Ipc::SharedRect hostRect = {20, 16, 20 + 64, 16 + 48};

using ResetCall = std::tuple<uint32_t, uint32_t, bool>;  // width, height, full screen

inline IDXGISwapChain* swapChainOf(Overlay::Rendering::Renderer& renderer)
{
    return dynamic_cast<Overlay::Rendering::SwapChainRenderer&>(renderer).swapChain();
}

class OverlayListener : public Overlay::GraphicDeviceHookListener
{
public:
    // `frame` gives the game's frame number, noted when the window is reported and at the first Present.
    explicit OverlayListener(std::function<uint64_t()> frame = [] { return uint64_t(0); })
        : frame_(std::move(frame)), host_(hostRect), overlay_(host_.sharedOverlay, {1, 1}, nullptr)
    {
        host_.publish(64, 48, 9);
    }

    void onDeviceWindow(HWND window) override
    {
        ++windowCalls;
        windowFrame = frame_();
        this->window = window;
    }

    void onDeviceReset(uint32_t width, uint32_t height, bool fullscreen) override
    {
        resets.emplace_back(width, height, fullscreen);
    }

    void onPresent(Overlay::GraphicApi& api) override
    {
        if (presentCalls++ == 0) {
            firstPresentFrame = frame_();
        }
        if (stopped) {
            return;
        }
        if (hidden) {
            // As the overlay client lets go on its first frame after a hide.
            overlay_.release();
            api.resetRenderer();
            return;
        }
        drawing_ = true;
        try {
            const std::shared_ptr<Overlay::Rendering::Renderer> renderer = api.getRenderer();
            renderers.insert(renderer.get());
            if (whileDrawing) {
                whileDrawing();
            }
            if (surfaceSize) {
                overlay_.setSurfaceSize(surfaceSize(*renderer));
            } else {
                DXGI_SWAP_CHAIN_DESC desc = {};
                swapChainOf(*renderer)->GetDesc(&desc);
                overlay_.setSurfaceSize({desc.BufferDesc.Width, desc.BufferDesc.Height});
            }
            overlay_.setRenderer(renderer);
            overlay_.draw();
            lastRenderer = renderer;
            Rgba background;
            if (readBack) {
                check(readBack(*renderer, background), background);
            }
            failures_.drawn();
        } catch (const std::exception& e) {
            errors += std::string(e.what()) + "; ";
            api.resetRenderer();
            overlay_.release();
            stopped = !failures_.rebuild();
        }
        drawing_ = false;
    }

    void onDeviceLost() override
    {
        if (drawing_) {
            ++lostWhileDrawing;
        }
        ++lostCalls;
        overlay_.release();
    }

    // Reads the frame back before Present and gives the game's background in it; unset: not checked.
    std::function<Image(Overlay::Rendering::Renderer&, Rgba& background)> readBack;
    // The size of the frame drawn into; unset: the swap chain's.
    std::function<Overlay::Rendering::SizeU(Overlay::Rendering::Renderer&)> surfaceSize;
    int windowCalls = 0;
    uint64_t windowFrame = ~0ull;
    HWND window = nullptr;
    int presentCalls = 0;
    uint64_t firstPresentFrame = ~0ull;
    int lostCalls = 0;
    std::atomic<int> lostWhileDrawing{0};  // a loss handled on another thread in the middle of a frame
    // Called in each frame with the renderer in hand, before it draws.
    std::function<void()> whileDrawing;
    bool stopped = false;      // a renderer made anew failed as well: no frame is drawn any more
    bool hidden = false;       // the overlay hidden: no frame is drawn
    bool hostBlended = false;  // the host's pixels blended by their alpha (Direct3D 9): only the darkening checked
    std::vector<ResetCall> resets;
    int checkedFrames = 0;
    Overlay::Rendering::SizeU lastSize;
    std::set<Overlay::Rendering::Renderer*> renderers;
    std::weak_ptr<Overlay::Rendering::Renderer> lastRenderer;  // holding it would keep the game's objects
    std::string errors;

private:
    // The host's pixels at their place, and the background darkened in the top corners, where the
    // demo games draw nothing.
    void check(const Image& image, const Rgba& background)
    {
        lastSize = {image.width, image.height};
        auto expect = [&](uint32_t x, uint32_t y, const Rgba& color, int tolerance) {
            if (!closeTo(image.at(x, y), color, tolerance)) {
                errors += "pixel " + std::to_string(x) + ", " + std::to_string(y) + ": " + describe(image.at(x, y)) +
                          " instead of " + describe(color) + "; ";
            }
        };
        expect(2, 2, dimmed(background), 2);
        expect(image.width - 3, 2, dimmed(background), 2);
        for (const auto& point : {std::make_pair(0u, 0u), std::make_pair(63u, 47u), std::make_pair(31u, 20u)}) {
            if (!hostBlended) {
                expect(hostRect.left + point.first, hostRect.top + point.second,
                       patternPixel(point.first, point.second, 9), 1);
            }
        }
        ++checkedFrames;
    }

    std::function<uint64_t()> frame_;
    std::atomic<bool> drawing_{false};
    Overlay::FrameFailures failures_;
    TestHost host_;
    Overlay::Rendering::RenderOverlay overlay_;
};

}  // namespace GraphicsTest
