// Cost of the overlay on a 1920x1080 Direct3D 12 swap chain, each figure next to its baseline from the
// same run: a game frame (draw + Present) with the DXGI hook attached and the overlay hidden against
// unhooked, a game frame through the hook with the overlay shown against hidden, and an overlay frame
// (recorded, executed and waited for) with a clean host frame against a dirty one. Under Wine the GPU is Mesa's software Vulkan driver: absolute times are CPU times, the
// ratios matter. Rounds alternate and the best of each is kept (the machines are shared).
#include "common/overlay_bench.h"
#include "d3d12_demo_game.h"
#include "graphics_test_support.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <vector>

namespace {

using Bench::bestOf;
using Overlay::Rendering::SizeU;

const uint32_t width = 1920;
const uint32_t height = 1080;
const int framesPerRound = 20;
const int rounds = 7;

// What the overlay client does on a frame: draws the overlay while it is shown.
class DrawingListener : public Overlay::GraphicDeviceHookListener
{
public:
    explicit DrawingListener(Overlay::Rendering::RenderOverlay& overlay) : overlay_(overlay) {}

    void onPresent(Overlay::GraphicApi& api) override
    {
        if (shown) {
            overlay_.setRenderer(api.getRenderer());
            overlay_.draw();
            ++drawn;
        }
    }

    bool shown = false;
    int drawn = 0;

private:
    Overlay::Rendering::RenderOverlay& overlay_;
};

}  // namespace

int main()
{
    try {
        Demo12::Options options = GraphicsTest::hiddenGame<Demo12::Options>(width, height);
        options.bufferCount = 3;
        Demo12::DemoGame game(options);
        auto frames = [&] {
            for (int i = 0; i < framesPerRound; ++i) {
                game.renderFrame();
            }
            game.waitForGpu();
        };
        frames();  // warm-up

        std::pair<double, double> seconds;
        {
            Overlay::GraphicDeviceHook hook(2);
            Bench::HiddenOverlayListener listener;
            hook.setListener(&listener);
            seconds = Bench::detachedAndAttached(hook.getHooks(), framesPerRound, frames, rounds, 1);
            hook.setListener(nullptr);
        }
        const auto [unhooked, hooked] = seconds;
        std::printf("game frame, overlay hidden: hooked %.1f us, unhooked %.1f us, ratio %.3f (added %.2f us)\n",
                    hooked * 1e6, unhooked * 1e6, hooked / unhooked, (hooked - unhooked) * 1e6);

        // The device check (two GetDevice calls) that the hook makes on a Present until it holds the
        // swap chain's queue, and on every Present of a swap chain of another device; a whole frame's
        // noise hides it above.
        {
            const int calls = 100000;
            IDXGISwapChain* swapChain = game.swapChain();  // borrowed
            int d3d12 = 0;
            const double seconds = bestOf(5, [&] {
                for (int i = 0; i < calls; ++i) {
                    d3d12 += Overlay::D3DHook::deviceKindOf(swapChain) == Overlay::D3DHook::DeviceKind::D3D12;
                }
            });
            if (d3d12 == 0) {
                throw std::runtime_error("the demo's swap chain was not seen as Direct3D 12");
            }
            std::printf("device check of a swap chain whose queue is not known yet: %.0f ns\n", seconds / calls * 1e9);
        }

        // The darkened surface and a 256x192 host frame (the test host's largest).
        GraphicsTest::TestHost host(Overlay::Ipc::SharedRect{100, 100, 100 + 256, 100 + 192});
        host.publish(256, 192, 1);

        // The game's frame with the overlay drawn into it, as the client does while shown.
        double hidden = 1e30, shown = 1e30;
        int drawn = 0;
        {
            Overlay::Rendering::RenderOverlay hooked(host.sharedOverlay, SizeU{width, height}, nullptr);
            Overlay::GraphicDeviceHook hook(2);
            DrawingListener listener(hooked);
            hook.setListener(&listener);
            Overlay::hook(hook.getHooks());
            frames();  // the queue found from the game's own submissions, the window reported
            listener.shown = true;
            frames();  // the renderer made
            for (int round = 0; round < rounds; ++round) {
                listener.shown = false;
                hidden = std::min(hidden, bestOf(1, frames));
                listener.shown = true;
                shown = std::min(shown, bestOf(1, frames));
            }
            drawn = listener.drawn;
            hook.setListener(nullptr);
            Overlay::unhook(hook.getHooks());
        }
        if (drawn == 0) {
            throw std::runtime_error("the overlay was never drawn through the hook");
        }
        std::printf("game frame through the hook: overlay shown %.1f us, hidden %.1f us, shown/hidden %.2f\n",
                    shown / framesPerRound * 1e6, hidden / framesPerRound * 1e6, shown / hidden);

        // The overlay frame alone.
        Overlay::Rendering::RenderOverlay overlay(host.sharedOverlay, SizeU{width, height}, nullptr);
        overlay.setRenderer(std::make_shared<Overlay::Rendering::RendererD3D12>(game.swapChain(), [&](IDXGISwapChain*) {
            return Microsoft::WRL::ComPtr<ID3D12CommandQueue>(game.queue());
        }));
        auto overlayFrames = [&](bool dirty) {
            return [&, dirty] {
                for (int i = 0; i < framesPerRound; ++i) {
                    if (dirty) {
                        const auto lock = host.window->lock();
                        host.buffer->setDirty(true);
                    }
                    overlay.draw();
                    game.waitForGpu();
                }
            };
        };
        overlay.draw();
        game.waitForGpu();
        double clean = 1e30, dirty = 1e30;
        for (int round = 0; round < rounds; ++round) {
            clean = std::min(clean, bestOf(1, overlayFrames(false)));
            dirty = std::min(dirty, bestOf(1, overlayFrames(true)));
        }
        std::printf("overlay frame 1920x1080 with a 256x192 host frame (the test host's largest): clean %.1f us, dirty "
                    "%.1f us, dirty/clean %.2f\n",
                    clean / framesPerRound * 1e6, dirty / framesPerRound * 1e6, dirty / clean);

        // The upload of a dirty full-screen host frame into a bitmap for the game's R8G8B8A8 back
        // buffer (red and blue swapped on the way), against memcpy of the same bytes.
        std::vector<uint8_t> picture(size_t(width) * height * 4);
        for (size_t i = 0; i < picture.size(); ++i) {
            picture[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
        }
        const Bench::MemcpyBaseline copy(picture);
        auto bitmap = Overlay::Rendering::RendererD3D12(game.swapChain(), [&](IDXGISwapChain*) {
                          return Microsoft::WRL::ComPtr<ID3D12CommandQueue>(game.queue());
                      }).createBitmap(SizeU{width, height});
        const double upload = bestOf(11, [&] { bitmap->update(picture.data(), width * 4, nullptr); });
        std::printf("upload of one dirty frame (%.1f MB): %.2f ms, memcpy of the same bytes %.2f ms (cache-cold "
                    "destination %.2f ms): upload speed %.2f of memcpy (target >= 0.8), %.2f of the cache-cold "
                    "memcpy\n",
                    double(picture.size()) / 1e6, upload * 1e3, copy.warm * 1e3, copy.cold * 1e3, copy.warm / upload,
                    copy.cold / upload);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_d3d12: %s\n", e.what());
        return 1;
    }
}
