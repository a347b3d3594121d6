// Cost of the overlay on a 1920x1080 swap chain, each figure next to its baseline from the same run:
//  - Present through the DXGI hook with the overlay hidden against Present unhooked, and the hook's
//    own cost alone (a swap chain whose Present does nothing, hooked and unhooked);
//  - an overlay frame per renderer with a clean host frame (nothing uploaded) and a dirty one;
//  - the upload of one dirty 1920x1080 frame (8 MB) against memcpy of the same bytes;
//  - the waits of an overlay frame while the host holds both its mutexes, sharing one bound, against
//    each wait bounded alone (as before);
//  - the DXGI hook's start-up in a game that never loads Direct3D 12, against the same with Direct3D
//    12 loaded and read, which every DXGI game paid before (first: nothing may have loaded it yet).
// Under Wine the GPU is Mesa's software renderer: absolute times are CPU times, the ratios matter.
// Every figure is the best of several runs (the machines are shared; noise only adds).
#include "common/overlay_bench.h"
#include "d3d11_spy/d3d11_spy.h"
#include "graphics_test_support.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "log/log.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <d3d11.h>
#include <windows.h>
// After windows.h.
#include <psapi.h>
#include <wrl/client.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bench::bestOf;
using Microsoft::WRL::ComPtr;
using Overlay::Rendering::Renderer;
using Overlay::Rendering::SizeU;

const uint32_t width = 1920;
const uint32_t height = 1080;

// The swap chain, and a way to wait for the device.
struct Game : GraphicsTest::TestSwapChain
{
    Game() : TestSwapChain(width, height)
    {
        const D3D11_QUERY_DESC queryDesc = {D3D11_QUERY_EVENT, 0};
        GraphicsTest::check(device->CreateQuery(&queryDesc, &query), "CreateQuery");
    }

    // Waits until the device has done everything asked of it so far.
    void finish()
    {
        context->End(query.Get());
        context->Flush();
        while (context->GetData(query.Get(), nullptr, 0, 0) == S_FALSE) {
            SwitchToThread();
        }
    }

    ComPtr<ID3D11Query> query;
};

void renderers(Game& game)
{
    Bench::FullScreenHost host(width, height);
    const std::vector<uint8_t>& picture = host.picture;
    const Bench::MemcpyBaseline copy(picture);
    const double megabytes = double(picture.size()) / 1e6;

    for (const char* name : {"Direct2D", "Direct3D 11"}) {
        const bool d2d = std::strcmp(name, "Direct2D") == 0;
        std::shared_ptr<Renderer> renderer;
        auto makeRenderer = [&] {
            renderer.reset();
            if (d2d) {
                renderer = std::make_shared<Overlay::Rendering::RendererD2D>(game.swapChain.Get());
            } else {
                renderer = std::make_shared<Overlay::Rendering::RendererD3D11>(game.swapChain.Get());
            }
        };
        // As at each show: the renderer made anew, and its first frame.
        double made = 0;
        const double firstFrame = bestOf(3, [&] {
            const auto start = Bench::Clock::now();
            makeRenderer();
            made = std::chrono::duration<double>(Bench::Clock::now() - start).count();
            Overlay::Rendering::RenderOverlay first(host.sharedOverlay, SizeU{width, height}, renderer);
            first.draw();
            game.finish();
        });
        Overlay::Rendering::RenderOverlay overlay(host.sharedOverlay, SizeU{width, height}, renderer);
        overlay.draw();
        game.finish();

        const double clean = bestOf(31, [&] {
            overlay.draw();
            game.finish();
        });
        const double dirty = bestOf(21, [&] {
            host.markDirty();
            overlay.draw();
            game.finish();
        });

        // The waits alone: the frame's CPU side, the device not waited for, against the same free.
        const double free = bestOf(11, [&] { overlay.draw(); });
        double shared = 0;
        double alone = 0;
        {
            const GraphicsTest::HostMutexesHeld held(host);
            shared = bestOf(11, [&] {
                const Overlay::Rendering::FrameHostWaits waits;
                overlay.draw();
            });
            alone = bestOf(11, [&] { overlay.draw(); });
        }
        game.finish();

        auto bitmap = renderer->createBitmap(SizeU{width, height});
        const double uploadCall = bestOf(21, [&] { bitmap->update(picture.data(), width * 4, nullptr); });
        game.finish();
        const double uploadDone = bestOf(21, [&] {
            bitmap->update(picture.data(), width * 4, nullptr);
            game.finish();
        });

        std::printf("overlay frame, %s: clean %.2f ms, dirty %.2f ms (full-screen host frame); with the renderer made "
                    "anew, as at a show: %.2f ms (%.2f ms of it making the renderer)\n",
                    name, clean * 1e3, dirty * 1e3, firstFrame * 1e3, made * 1e3);
        std::printf("waits in a frame while the host holds its mutexes, %s: %.1f ms with the frame's waits sharing "
                    "one bound (target: at most %lu ms), %.1f ms with each wait bounded alone (before)\n",
                    name, (shared - free) * 1e3, Overlay::Rendering::hostLockTimeoutMs, (alone - free) * 1e3);
        std::printf("upload of one dirty frame (%.1f MB), %s: %.2f ms until the call returns (%.2f ms until the "
                    "device is done)\n",
                    megabytes, name, uploadCall * 1e3, uploadDone * 1e3);
        std::printf("  memcpy of the same bytes %.2f ms (cache-cold destination %.2f ms): upload speed %.2f of memcpy "
                    "(target >= 0.7), %.2f of the cache-cold memcpy\n",
                    copy.warm * 1e3, copy.cold * 1e3, copy.warm / uploadCall, copy.cold / uploadCall);
    }
}

// Private bytes (what Wine reports where it keeps no such count: the virtual size) and the working set.
std::pair<double, double> memoryMb()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    const size_t privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return {double(privateBytes) / 1e6, double(counters.WorkingSetSize) / 1e6};
}

void startUp()
{
    if (GetModuleHandleW(L"d3d12.dll")) {
        std::printf("start-up: skipped (Direct3D 12 is loaded already)\n");
        return;
    }
    auto makeHook = [] { Overlay::D3DHook hook(GetModuleHandleW(L"dxgi.dll"), GetModuleHandleW(L"d3d11.dll")); };
    makeHook();  // DXGI and Direct3D 11 warm, as in a game that presents
    struct Cost
    {
        double ms, privateMb, workingSetMb;
    };
    auto measure = [](const std::function<void()>& body) {
        const auto before = memoryMb();
        const auto start = Bench::Clock::now();
        body();
        const double ms = std::chrono::duration<double, std::milli>(Bench::Clock::now() - start).count();
        const auto after = memoryMb();
        return Cost{ms, after.first - before.first, after.second - before.second};
    };
    const Cost without = measure(makeHook);
    const Cost with = measure([&] {
        LoadLibraryW(L"d3d12.dll");
        makeHook();
    });
    std::printf("start-up of the DXGI hook, a game without Direct3D 12: %.0f ms, %+.1f MB private, %+.1f MB working "
                "set; with Direct3D 12 loaded and read (every DXGI game before): %.0f ms, %+.1f MB, %+.1f MB; %.2fx "
                "the time\n",
                without.ms, without.privateMb, without.workingSetMb, with.ms, with.privateMb, with.workingSetMb,
                with.ms > 0 ? without.ms / with.ms : 0.0);
}

void presentThroughTheHook(Game& game)
{
    Bench::HiddenOverlayListener listener;
    const int presents = 60;
    auto presentAll = [&] {
        for (int i = 0; i < presents; ++i) {
            game.swapChain->Present(0, 0);
        }
    };
    std::pair<double, double> seconds;
    {
        Overlay::GraphicDeviceHook hook(0);
        hook.setListener(&listener);
        seconds = Bench::detachedAndAttached(hook.getHooks(), presents, presentAll);
        hook.setListener(nullptr);
    }
    const double unhooked = seconds.first;
    const double hooked = seconds.second;
    std::printf("Present 1920x1080: unhooked %.1f us, through the hook with the overlay hidden %.1f us "
                "(difference %.1f us, within the noise of presenting)\n",
                unhooked * 1e6, hooked * 1e6, (hooked - unhooked) * 1e6);

    // The hook's own cost: the same call on a swap chain whose Present returns at once.
    const HMODULE spyModule = LoadLibraryW(L"d3d11_spy.dll");
    if (!spyModule) {
        std::printf("hook overhead alone: skipped (d3d11_spy.dll of the graphics tests is missing)\n");
        return;
    }
    auto* spy = reinterpret_cast<SpyStateFn>(reinterpret_cast<void*>(GetProcAddress(spyModule, "spyState")))();
    const auto createBoth = reinterpret_cast<decltype(&D3D11CreateDeviceAndSwapChain)>(
        reinterpret_cast<void*>(GetProcAddress(spyModule, "D3D11CreateDeviceAndSwapChain")));
    Overlay::D3DHook hook(GetModuleHandleW(L"dxgi.dll"), spyModule);
    GraphicsTest::TestSwapChain spied(256, 256, createBoth);
    spy->skipPresent = true;
    hook.setListener(&listener);
    const int calls = 2000000;
    auto callAll = [&] {
        for (int i = 0; i < calls; ++i) {
            spied.swapChain->Present(0, 0);
        }
    };
    const auto [bare, withHook] = Bench::detachedAndAttached(hook.getHooks(), calls, callAll);
    hook.setListener(nullptr);
    spy->skipPresent = false;
    std::printf("hook overhead alone: %.1f ns per Present (bare call %.1f ns, through the hook %.1f ns; "
                "target < 1000 ns)\n",
                (withHook - bare) * 1e9, bare * 1e9, withHook * 1e9);
}

}  // namespace

int main()
{
    try {
        std::printf("1920x1080 swap chain; Mesa software rendering under Wine: CPU times, compare the ratios\n");
        startUp();
        Game game;
        presentThroughTheHook(game);
        renderers(game);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_graphics: %s\n", e.what());
        return 1;
    }
}
