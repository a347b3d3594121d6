// Cost of the OpenGL overlay on a 1920x1080 window, each figure next to its baseline from the same
// run:
//  - the swap through the OpenGL hook with the overlay hidden against the swap unhooked, with gdi32's
//    SwapBuffers (which calls opengl32's wglSwapBuffers: two hooked calls) and with wglSwapBuffers;
//  - an overlay frame with a clean host frame (nothing uploaded) and with a dirty full-screen one,
//    against the demo game's own frame;
//  - the upload of one dirty 1920x1080 frame (8 MB) against memcpy of the same bytes;
//  - the two context switches every overlay frame makes (the renderer's context and back).
// Under Wine the GPU is Mesa's software renderer: absolute times are CPU times, the ratios matter.
// Every figure is the best of several runs (the machines are shared; noise only adds).
// The window is no larger than the screen (scripts/with-wine.sh's Xvfb is 1280x1024): run it with
// WITH_WINE_SCREEN=2048x1536 for 1920x1080. The size drawn into is printed.
#include "common/overlay_bench.h"
#include "gl_demo_game.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/gl/renderer_gl.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>

namespace {

using Bench::bestOf;
using Overlay::Rendering::SizeU;

const uint32_t width = 1920;
const uint32_t height = 1080;

extern "C" WINGDIAPI BOOL WINAPI wglSwapBuffers(HDC dc);

void swaps(const DemoGl::DemoGame& game, int calls)
{
    Overlay::GraphicDeviceHook hook(Overlay::GraphicDeviceHook::openGl);
    Bench::HiddenOverlayListener listener;
    hook.setListener(&listener);
    const HDC dc = game.deviceContext();
    for (const bool wgl : {false, true}) {
        auto swapCalls = [&] {
            for (int i = 0; i < calls; ++i) {
                if (!(wgl ? wglSwapBuffers(dc) : SwapBuffers(dc))) {
                    throw std::runtime_error("swap failed");
                }
            }
        };
        // Past the tenth frame, so that the hook is in its per-frame path.
        Overlay::hook(hook.getHooks());
        swapCalls();
        Overlay::unhook(hook.getHooks());
        const auto [detached, attached] = Bench::detachedAndAttached(hook.getHooks(), calls, swapCalls);
        std::printf(
            "%s, 64x64 window: unhooked %.1f us, through the hook with the overlay hidden %.1f us (added %.2f us, "
            "target < 1 us; ratio %.4f)\n",
            wgl ? "wglSwapBuffers" : "SwapBuffers", detached * 1e6, attached * 1e6, (attached - detached) * 1e6,
            attached / detached);
    }
    hook.setListener(nullptr);
}

void overlayFrames(DemoGl::DemoGame& game)
{
    Bench::FullScreenHost host(width, height);
    auto renderer = std::make_shared<Overlay::Rendering::RendererGL>(game.deviceContext());
    Overlay::Rendering::RenderOverlay overlay(host.sharedOverlay, SizeU{width, height}, renderer);
    // The game's context is current, as at its swap; glFinish there waits for the overlay too
    // (the switch back flushed it).
    overlay.draw();
    glFinish();
    const SizeU target = renderer->targetSize();
    const double gameFrame = bestOf(11, [&] {
        game.renderFrame();
        glFinish();
    });
    const double clean = bestOf(31, [&] {
        overlay.draw();
        glFinish();
    });
    const double dirty = bestOf(21, [&] {
        host.markDirty();
        overlay.draw();
        glFinish();
    });
    const int switches = 50;
    const double contextSwitches = bestOf(11,
                                          [&] {
                                              for (int i = 0; i < switches; ++i) {
                                                  renderer->beginDraw();
                                                  renderer->endDraw();
                                              }
                                          }) /
                                   switches;

    const Bench::MemcpyBaseline copy(host.picture);
    auto bitmap = renderer->createBitmap(SizeU{width, height});
    // With the renderer's context current, as RenderWindow uploads; glFinish goes to that context.
    renderer->beginDraw();
    const double upload = bestOf(21, [&] {
        bitmap->update(host.picture.data(), width * 4, nullptr);
        glFinish();
    });
    renderer->endDraw();

    std::printf("window %ux%u, %s\n", target.width, target.height, renderer->rendererName().c_str());
    std::printf("overlay frame: clean %.2f ms, dirty %.2f ms (full-screen host frame), dirty / clean %.2f; the "
                "game's own frame (draw and swap) %.2f ms\n",
                clean * 1e3, dirty * 1e3, dirty / clean, gameFrame * 1e3);
    std::printf("two context switches (beginDraw + endDraw, nothing drawn): %.1f us, %.1f %% of a clean overlay "
                "frame\n",
                contextSwitches * 1e6, 100 * contextSwitches / clean);
    copy.print(host.picture.size(), upload);
}

}  // namespace

int main()
{
    try {
        DemoGl::Options options;
        options.width = width;
        options.height = height;
        options.hidden = true;
        options.checkState = false;
        for (const bool core : {true, false}) {
            options.coreProfile = core;
            DemoGl::DemoGame game(options);
            std::printf("1920x1080 OpenGL %s demo game; Mesa software rendering under Wine: CPU times, compare "
                        "the ratios\n",
                        core ? "core profile" : "compatibility");
            overlayFrames(game);
        }
        // A small window makes the swap cheap enough for the hook's own cost to show.
        options.width = 64;
        options.height = 64;
        DemoGl::DemoGame small(options);
        swaps(small, 400);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_gl: %s\n", e.what());
        return 1;
    }
}
