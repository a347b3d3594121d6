// The Vulkan hook in a running game: the demo game presents in this process with the hook records
// attached, and a listener draws the overlay the way the overlay client does.
#include "overlay_listener.h"
#include "vk_demo_game.h"

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/vulkan/vulkan_hook.h"
#include "overlay/overlay_client/impl/rendering/vk/renderer_vk.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace GraphicsTest;
using Overlay::GraphicDeviceHook;
using Overlay::Rendering::SizeU;

// The size of the swap chain the renderer was made for.
SizeU swapchainSize(Overlay::Rendering::Renderer& renderer)
{
    const VkExtent2D extent = dynamic_cast<Overlay::Rendering::RendererVk&>(renderer).swapchainInfo().extent;
    return SizeU{extent.width, extent.height};
}

// The Vulkan hook, attached for the fixture's life, and a demo game made after it.
class HookedVkGame : public ::testing::Test
{
protected:
    HookedVkGame() : hook(GraphicDeviceHook::vulkan)
    {
        Overlay::hook(hook.getHooks());
        EXPECT_TRUE(Overlay::allHooked(hook.getHooks()));
    }

    ~HookedVkGame() override
    {
        // As the overlay client goes: what it drew with goes with it, before the game's device.
        hook.setListener(nullptr);
        listener.reset();
        game.reset();
    }

    void startGame(bool srgb = false)
    {
        DemoVk::Options options = hiddenGame<DemoVk::Options>(320, 240);
        options.srgb = srgb;
        game = std::make_unique<DemoVk::DemoGame>(options);
        listener = std::make_unique<OverlayListener>([this] { return frame; });
        listener->surfaceSize = swapchainSize;
        hook.setListener(listener.get());
    }

    void frames(int count)
    {
        for (int i = 0; i < count; ++i, ++frame) {
            game->pumpMessages();
            const VkResult result = game->renderFrame();
            ASSERT_TRUE(result == VK_SUCCESS || result == VK_SUBOPTIMAL_KHR) << DemoVk::resultText(result);
        }
    }

    LogTest::LogCapture log;
    GraphicDeviceHook hook;
    std::unique_ptr<DemoVk::DemoGame> game;
    std::unique_ptr<OverlayListener> listener;
    uint64_t frame = 0;
};

TEST_F(HookedVkGame, WindowOnTheTenthPresentThenTheOverlayAcrossResizesAndNewSwapchains)
{
    EXPECT_THROW(GraphicDeviceHook(GraphicDeviceHook::vulkan), std::logic_error) << "one graphics hook at a time";
    Overlay::SingleInstance<Overlay::VulkanHook>::instance()->dumpDevice();
    EXPECT_EQ(count(log, L"Can not dump graphics device: Vulkan renderer is not set"), 1u);

    startGame();
    frames(13);
    EXPECT_EQ(listener->windowCalls, 1);
    EXPECT_EQ(listener->windowFrame, 9u) << "reported inside the tenth present";
    EXPECT_EQ(listener->window, game->window());
    EXPECT_EQ(listener->presentCalls, 3);
    Overlay::SingleInstance<Overlay::VulkanHook>::instance()->dumpDevice();
    EXPECT_EQ(count(log, L"=== Vulkan Graphics Device Dump Start ==="), 1u);

    // The game destroys the swap chain the renderer draws into: the renderer goes first.
    game->recreateSwapchain();
    EXPECT_EQ(listener->lostCalls, 1);
    frames(2);
    game->requestResize(200, 150);
    frames(2);
    EXPECT_EQ(listener->surfaceSize(*listener->lastRenderer.lock()), (SizeU{200, 150}));
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(listener->renderers.size(), 3u) << "one renderer per swap chain";
    EXPECT_EQ(listener->presentCalls, 7);
}

TEST_F(HookedVkGame, StopCompletesOnThePresentingThreadAndTheGameGoesOn)
{
    startGame();
    frames(13);
    hook.stop();
    hook.stop();
    const int callsAtStop = listener->presentCalls;
    frames(3);
    game->recreateSwapchain();
    frames(1);
    EXPECT_EQ(listener->presentCalls, callsAtStop);
    EXPECT_EQ(count(log, L"VulkanHook: request stop"), 1u);
    EXPECT_EQ(count(log, L"VulkanHook stopped"), 1u);
}

// The hook enables a mutable format on the game's device and makes its sRGB swap chains with it, so
// that the renderer draws through a UNORM view (the validation layer checks each step).
TEST_F(HookedVkGame, AnSrgbSwapchainIsDrawnIntoThroughAUnormView)
{
    startGame(true);
    for (int swapchain = 0; swapchain < 2; ++swapchain) {
        frames(12);
        const auto renderer = listener->lastRenderer.lock();
        ASSERT_TRUE(renderer);
        const auto& info = dynamic_cast<Overlay::Rendering::RendererVk&>(*renderer).swapchainInfo();
        EXPECT_TRUE(info.format == VK_FORMAT_B8G8R8A8_SRGB || info.format == VK_FORMAT_R8G8B8A8_SRGB) << info.format;
        EXPECT_EQ(info.viewFormat,
                  info.format == VK_FORMAT_B8G8R8A8_SRGB ? VK_FORMAT_B8G8R8A8_UNORM : VK_FORMAT_R8G8B8A8_UNORM);
        game->recreateSwapchain();
    }
    EXPECT_EQ(listener->errors, "");
    EXPECT_EQ(listener->renderers.size(), 2u);
}

}  // namespace

// A game presenting before the hook is attached (a host bringing the overlay into a running game):
// its swap chain's first present is reported out of date once; the swap chain it makes anew is drawn.
TEST(VulkanHookLate, ASwapchainMadeBeforeTheHookIsMadeAnewOnce)
{
    LogTest::LogCapture log;
    DemoVk::DemoGame game(hiddenGame<DemoVk::Options>(320, 240));
    ASSERT_EQ(game.renderFrame(), VK_SUCCESS);
    GraphicDeviceHook hook(GraphicDeviceHook::vulkan);
    Overlay::hook(hook.getHooks());
    OverlayListener listener;
    listener.surfaceSize = swapchainSize;
    hook.setListener(&listener);
    std::vector<VkResult> results;
    for (int i = 0; i < 14; ++i) {
        game.pumpMessages();
        results.push_back(game.renderFrame());
    }
    hook.setListener(nullptr);
    EXPECT_EQ(std::count(results.begin(), results.end(), VK_ERROR_OUT_OF_DATE_KHR), 1) << "first: " << results[0];
    EXPECT_EQ(std::count(results.begin(), results.end(), VK_SUCCESS), 13);
    EXPECT_EQ(game.swapchainsCreated(), 2u);
    EXPECT_EQ(listener.window, game.window());
    EXPECT_EQ(listener.presentCalls, 3);
    EXPECT_EQ(listener.errors, "");
}

// Lavapipe cannot lose its device: the driver's present is made to report it, hooked beneath ours
// (so ours sees the result the driver returns).
VkResult presentResult = VK_SUCCESS;
Overlay::HookRecord* driverPresent = nullptr;

VkResult VKAPI_CALL losingPresent(VkQueue queue, const VkPresentInfoKHR* info)
{
    const VkResult result = driverPresent->real<PFN_vkQueuePresentKHR>()(queue, info);
    return presentResult != VK_SUCCESS ? presentResult : result;
}

TEST(VulkanHookLoss, DeviceLostAtThePresentDropsTheRendererBeforeTheGameDestroysItsDevice)
{
    LogTest::LogCapture log;
    DemoVk::DemoGame game(hiddenGame<DemoVk::Options>(320, 240));
    const std::unique_ptr<Overlay::HookRecord> beneath = Overlay::makeUniqueHookRecord(
        Overlay::codeAddress(game.vk().vkQueuePresentKHR), Overlay::codeAddress(&losingPresent), "driver present");
    driverPresent = beneath.get();
    Overlay::hook({beneath.get()});
    ASSERT_TRUE(Overlay::allHooked({beneath.get()}));
    {
        GraphicDeviceHook hook(GraphicDeviceHook::vulkan);
        Overlay::hook(hook.getHooks());
        OverlayListener listener;
        listener.surfaceSize = swapchainSize;
        hook.setListener(&listener);
        for (int i = 0; i < 14; ++i) {
            game.pumpMessages();
            game.renderFrame();  // the swap chain made before the hook: once out of date
        }
        ASSERT_EQ(listener.presentCalls, 3);

        presentResult = VK_ERROR_DEVICE_LOST;
        EXPECT_THROW(game.renderFrame(), std::runtime_error) << "the game gets the driver's result";
        presentResult = VK_SUCCESS;
        EXPECT_EQ(listener.lostCalls, 1);
        EXPECT_TRUE(listener.lastRenderer.expired()) << "the renderer outlives the device's loss";
        EXPECT_EQ(listener.errors, "");
        // Ours comes off first: it was patched over the one beneath.
        hook.setListener(nullptr);
    }
    // The game destroys its device: nothing of ours is left in it (the validation layer would say).
}
