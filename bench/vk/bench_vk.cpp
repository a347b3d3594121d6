// Cost of the Vulkan overlay, each figure next to its baseline from the same run:
//  - vkQueuePresentKHR through the hook with the overlay hidden against the present unhooked, the
//    driver's present stood in for by one that returns at once;
//  - a frame of the 1920x1080 game with the overlay drawn from a clean host frame (nothing
//    uploaded) and from a dirty full-screen one, against the game's frame alone;
//  - the upload of one dirty 1920x1080 frame (8 MB) against memcpy of the same bytes.
// Under Wine the GPU is lavapipe, Mesa's software Vulkan: absolute times are CPU times, the ratios
// matter. Every figure is the best of several runs (the machines are shared; noise only adds). The
// window is no larger than the screen (scripts/with-wine.sh's Xvfb is 1280x1024 unless WITH_WINE_SCREEN
// says otherwise, e.g. WITH_WINE_SCREEN=2048x1536 for a true 1920x1080 frame): the size drawn
// into is printed.
#include "common/overlay_bench.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"
#include "overlay/overlay_client/impl/rendering/vk/renderer_vk.h"
#include "vk_demo_game.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <tuple>

namespace {

using Bench::bestOf;
using Overlay::Rendering::SizeU;

const uint32_t width = 1920;
const uint32_t height = 1080;

DemoVk::Options gameOptions(uint32_t w, uint32_t h)
{
    DemoVk::Options options;
    options.width = w;
    options.height = h;
    options.hidden = true;
    options.syncInterval = 0;
    return options;
}

void frame(DemoVk::DemoGame& game)
{
    const VkResult result = game.renderFrame();
    if (result != VK_SUCCESS && result != VK_SUBOPTIMAL_KHR) {
        throw std::runtime_error("present failed: " + DemoVk::resultText(result));
    }
}

// The driver's present, patched beneath ours: passes through while the game starts, then returns at
// once, so that the calls timed below cost only what the hook adds (a present on lavapipe under Wine
// varies by tens of microseconds from call to call).
std::atomic<bool> driverSkipped{false};
Overlay::HookRecord* driverPresent = nullptr;

VkResult VKAPI_CALL standInPresent(VkQueue queue, const VkPresentInfoKHR* info)
{
    return driverSkipped.load(std::memory_order_relaxed) ? VK_SUCCESS
                                                         : driverPresent->real<PFN_vkQueuePresentKHR>()(queue, info);
}

void presents(int calls)
{
    DemoVk::DemoGame game(gameOptions(64, 64));
    const std::unique_ptr<Overlay::HookRecord> beneath = Overlay::makeUniqueHookRecord(
        Overlay::codeAddress(game.vk().vkQueuePresentKHR), Overlay::codeAddress(&standInPresent), "driver present");
    driverPresent = beneath.get();
    Overlay::hook({beneath.get()});
    if (!Overlay::allHooked({beneath.get()})) {
        throw std::runtime_error("the stand-in beneath the hook did not attach");
    }
    double detached = 0, attached = 0;
    {
        Overlay::GraphicDeviceHook hook(Overlay::GraphicDeviceHook::vulkan);
        Bench::HiddenOverlayListener listener;
        hook.setListener(&listener);
        Overlay::hook(hook.getHooks());
        // The swap chain made before the hook is made anew once; past the tenth frame the hook is in
        // its per-frame path.
        for (int i = 0; i < 20; ++i) {
            if (game.renderFrame() == VK_ERROR_OUT_OF_DATE_KHR && i > 0) {
                throw std::runtime_error("the swap chain made anew is reported out of date");
            }
        }
        Overlay::unhook(hook.getHooks());
        const VkSwapchainKHR swapchain = game.swapchain();
        const uint32_t image = 0;
        VkPresentInfoKHR info = {VK_STRUCTURE_TYPE_PRESENT_INFO_KHR};
        info.swapchainCount = 1;
        info.pSwapchains = &swapchain;
        info.pImageIndices = &image;
        const VkQueue queue = game.queue();
        const PFN_vkQueuePresentKHR present = game.vk().vkQueuePresentKHR;
        driverSkipped = true;
        std::tie(detached, attached) = Bench::detachedAndAttached(hook.getHooks(), calls, [&] {
            for (int i = 0; i < calls; ++i) {
                present(queue, &info);
            }
        });
        driverSkipped = false;
        hook.setListener(nullptr);
    }
    Overlay::unhook({beneath.get()});
    std::printf("vkQueuePresentKHR with the overlay hidden, the driver's present stood in for: unhooked %.3f us, "
                "through the hook %.3f us (added %.3f us, target < 1 us)\n",
                detached * 1e6, attached * 1e6, (attached - detached) * 1e6);
}

void overlayFrames()
{
    DemoVk::DemoGame game(gameOptions(width, height));
    Bench::FullScreenHost host(width, height);
    std::shared_ptr<Overlay::Rendering::RendererVk> renderer;
    std::unique_ptr<Overlay::Rendering::RenderOverlay> overlay;
    bool drawing = false;
    bool dirty = false;
    // As the hook does inside the present: draw after the game's commands, the present waiting on ours.
    game.beforePresent = [&] {
        if (!drawing) {
            return;
        }
        if (!renderer) {
            const Overlay::Rendering::VkDeviceInfo device = {game.instance(), game.physicalDevice(), game.device(),
                                                             game.vk().vkGetInstanceProcAddr,
                                                             game.vk().vkGetDeviceProcAddr};
            Overlay::Rendering::VkSwapchainInfo swapchain;
            swapchain.swapchain = game.swapchain();
            swapchain.format = game.format();
            swapchain.extent = game.extent();
            swapchain.images = game.images();
            renderer = std::make_shared<Overlay::Rendering::RendererVk>(device, game.queueFamilyIndex(), swapchain);
            overlay = std::make_unique<Overlay::Rendering::RenderOverlay>(
                host.sharedOverlay, SizeU{game.extent().width, game.extent().height}, renderer);
        }
        const VkSemaphore gameDone = game.renderDone();
        renderer->setFrame(game.queue(), game.imageIndex(), &gameDone, 1);
        if (dirty) {
            host.markDirty();
        }
        overlay->draw();
        game.presentWaitOverride = renderer->signalSemaphore();
    };
    frame(game);
    const double gameFrame = bestOf(11, [&] { frame(game); });
    drawing = true;
    frame(game);
    const double clean = bestOf(21, [&] { frame(game); });
    dirty = true;
    const double dirtyFrame = bestOf(21, [&] { frame(game); });
    drawing = false;

    const Bench::MemcpyBaseline copy(host.picture);
    auto bitmap = renderer->createBitmap(SizeU{width, height});
    const double upload = bestOf(21, [&] { bitmap->update(host.picture.data(), width * 4, nullptr); });
    std::printf("swap chain %ux%u\n", game.extent().width, game.extent().height);
    std::printf("frame: the game's own %.2f ms; with the overlay from a clean host frame %.2f ms (+%.2f ms), from a "
                "dirty full-screen one %.2f ms (+%.2f ms)\n",
                gameFrame * 1e3, clean * 1e3, (clean - gameFrame) * 1e3, dirtyFrame * 1e3,
                (dirtyFrame - gameFrame) * 1e3);
    copy.print(host.picture.size(), upload);
    overlay.reset();
    bitmap.reset();
    renderer.reset();
}

}  // namespace

int main()
{
    try {
        std::printf("Vulkan demo game on lavapipe under Wine: CPU times, compare the ratios\n");
        presents(20000);
        overlayFrames();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_vk: %s\n", e.what());
        return 1;
    }
}
