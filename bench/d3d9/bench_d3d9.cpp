// Cost of the Direct3D 9 overlay on a 1920x1080 device, each figure next to its baseline from the
// same run:
//  - Present through the Direct3D 9 hook with the overlay hidden against Present unhooked;
//  - an overlay frame with a clean host frame (nothing uploaded) and with a dirty full-screen one;
//  - the upload of one dirty 1920x1080 frame (8 MB) against memcpy of the same bytes.
// Under Wine the GPU is Mesa's software renderer: absolute times are CPU times, the ratios matter.
// Every figure is the best of several runs (the machines are shared; noise only adds).
#include "common/overlay_bench.h"
#include "d3d9_demo_game.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d9/renderer_d3d9.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <d3d9.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <stdexcept>

namespace {

using Bench::bestOf;
using Microsoft::WRL::ComPtr;
using Overlay::Rendering::SizeU;

const uint32_t width = 1920;
const uint32_t height = 1080;

// Waits until the device has done everything asked of it so far.
class DeviceFinish
{
public:
    explicit DeviceFinish(IDirect3DDevice9* device) : device_(device)
    {
        if (FAILED(device_->CreateQuery(D3DQUERYTYPE_EVENT, &query_))) {
            throw std::runtime_error("CreateQuery failed");
        }
    }
    void operator()()
    {
        query_->Issue(D3DISSUE_END);
        while (query_->GetData(nullptr, 0, D3DGETDATA_FLUSH) == S_FALSE) {
            SwitchToThread();
        }
    }

private:
    IDirect3DDevice9* device_;  // borrowed: the game's
    ComPtr<IDirect3DQuery9> query_;
};

void present(Demo9::DemoGame& game, int calls)
{
    Overlay::GraphicDeviceHook hook(Overlay::GraphicDeviceHook::direct3D9);
    Bench::HiddenOverlayListener listener;
    hook.setListener(&listener);
    IDirect3DDevice9* device = game.device();
    auto presents = [&] {
        for (int i = 0; i < calls; ++i) {
            if (FAILED(device->Present(nullptr, nullptr, nullptr, nullptr))) {
                throw std::runtime_error("Present failed");
            }
        }
    };
    // Past the tenth frame, so that the hook is in its per-frame path.
    Overlay::hook(hook.getHooks());
    presents();
    Overlay::unhook(hook.getHooks());
    const auto [detached, attached] = Bench::detachedAndAttached(hook.getHooks(), calls, presents);
    hook.setListener(nullptr);
    const D3DPRESENT_PARAMETERS& size = game.parameters();
    std::printf("Present %ux%u: unhooked %.1f us, through the hook with the overlay hidden %.1f us (added %.2f us, "
                "target < 1 us; ratio %.4f)\n",
                size.BackBufferWidth, size.BackBufferHeight, detached * 1e6, attached * 1e6,
                (attached - detached) * 1e6, attached / detached);
}

void overlayFrames(Demo9::DemoGame& game)
{
    Bench::FullScreenHost host(width, height);
    DeviceFinish finish(game.device());
    auto renderer = std::make_shared<Overlay::Rendering::RendererD3D9>(game.device());
    Overlay::Rendering::RenderOverlay overlay(host.sharedOverlay, SizeU{width, height}, renderer);
    overlay.draw();
    finish();
    const double clean = bestOf(31, [&] {
        overlay.draw();
        finish();
    });
    const double dirty = bestOf(21, [&] {
        host.markDirty();
        overlay.draw();
        finish();
    });

    const Bench::MemcpyBaseline copy(host.picture);
    auto bitmap = renderer->createBitmap(SizeU{width, height});
    const double upload = bestOf(21, [&] { bitmap->update(host.picture.data(), width * 4, nullptr); });

    std::printf("overlay frame: clean %.2f ms, dirty %.2f ms (full-screen host frame), dirty / clean %.2f\n",
                clean * 1e3, dirty * 1e3, dirty / clean);
    copy.print(host.picture.size(), upload);
}

}  // namespace

int main()
{
    try {
        Demo9::Options options;
        options.width = width;
        options.height = height;
        options.syncInterval = 0;
        options.hidden = true;
        options.checkState = false;
        Demo9::DemoGame game(options);
        std::printf("1920x1080 Direct3D 9 device; Mesa software rendering under Wine: CPU times, compare the "
                    "ratios\n");
        present(game, 20);
        // A small back buffer makes Present cheap enough for the hook's own cost to show.
        options.width = 64;
        options.height = 64;
        Demo9::DemoGame small(options);
        present(small, 400);
        overlayFrames(game);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_d3d9: %s\n", e.what());
        return 1;
    }
}
