// The Vulkan renderer drawing over the demo game's frames inside its present, in the test process:
// what it composes (the darkening, the host's bitmap, a partial update while drawing), a new renderer
// for the game's new swap chain, and the device dump. The presented image is copied out on the game's
// queue between our submission and the present, which waits on the copy instead.
#include "graphics_test_support.h"
#include "vk_demo_game.h"

#include "overlay/overlay_client/impl/diagnostic/vk_device_dump.h"
#include "overlay/overlay_client/impl/rendering/vk/renderer_vk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

namespace {

using namespace GraphicsTest;
using namespace Overlay::Rendering;

const uint32_t gameWidth = 256;
const uint32_t gameHeight = 192;
const uint32_t hostWidth = 64;
const uint32_t hostHeight = 48;
const RectI placement = {20, 16, 84, 64};
// Updated on its own in the second frame, from a host frame of another pattern.
const RectI partial = {8, 6, 40, 30};

// clang-format off
#define TEST_VK_FUNCTIONS(X)                                                                                           \
    X(vkCreateCommandPool) X(vkDestroyCommandPool) X(vkAllocateCommandBuffers) X(vkBeginCommandBuffer)                 \
    X(vkEndCommandBuffer) X(vkCmdPipelineBarrier) X(vkCmdCopyImageToBuffer) X(vkQueueSubmit) X(vkCreateFence)          \
    X(vkDestroyFence) X(vkWaitForFences) X(vkResetFences) X(vkCreateSemaphore) X(vkDestroySemaphore)                   \
    X(vkCreateBuffer) X(vkDestroyBuffer) X(vkGetBufferMemoryRequirements) X(vkAllocateMemory) X(vkFreeMemory)          \
    X(vkBindBufferMemory) X(vkMapMemory) X(vkDeviceWaitIdle)
// clang-format on

void check(VkResult result, const char* call)
{
    if (result != VK_SUCCESS) {
        throw std::runtime_error(std::string(call) + " failed: " + DemoVk::resultText(result));
    }
}

// Copies swap chain images into host memory on the game's queue.
struct ReadBack
{
    explicit ReadBack(const DemoVk::DemoGame& game) : device(game.device())
    {
#define TEST_VK_LOAD(name) name = reinterpret_cast<PFN_##name>(game.vk().vkGetDeviceProcAddr(device, #name));
        TEST_VK_FUNCTIONS(TEST_VK_LOAD)
#undef TEST_VK_LOAD
        const VkCommandPoolCreateInfo pool = {VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO, nullptr,
                                              VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT, game.queueFamilyIndex()};
        check(vkCreateCommandPool(device, &pool, nullptr, &commandPool), "vkCreateCommandPool");
        VkCommandBufferAllocateInfo allocate = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO, nullptr, commandPool,
                                                VK_COMMAND_BUFFER_LEVEL_PRIMARY, 1};
        check(vkAllocateCommandBuffers(device, &allocate, &commands), "vkAllocateCommandBuffers");
        VkFenceCreateInfo fence = {VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
        check(vkCreateFence(device, &fence, nullptr, &done), "vkCreateFence");
        const VkBufferCreateInfo buffer = {VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO, nullptr, 0,
                                           VkDeviceSize(gameWidth) * gameHeight * 4, VK_BUFFER_USAGE_TRANSFER_DST_BIT};
        check(vkCreateBuffer(device, &buffer, nullptr, &pixels), "vkCreateBuffer");
        VkMemoryRequirements needs = {};
        vkGetBufferMemoryRequirements(device, pixels, &needs);
        VkPhysicalDeviceMemoryProperties types = {};
        reinterpret_cast<PFN_vkGetPhysicalDeviceMemoryProperties>(game.vk().vkGetInstanceProcAddr(
            game.instance(), "vkGetPhysicalDeviceMemoryProperties"))(game.physicalDevice(), &types);
        const VkMemoryPropertyFlags wanted = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
        VkMemoryAllocateInfo memoryInfo = {VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO, nullptr, needs.size, 0};
        while (!(needs.memoryTypeBits & (1u << memoryInfo.memoryTypeIndex)) ||
               (types.memoryTypes[memoryInfo.memoryTypeIndex].propertyFlags & wanted) != wanted) {
            ++memoryInfo.memoryTypeIndex;
        }
        check(vkAllocateMemory(device, &memoryInfo, nullptr, &memory), "vkAllocateMemory");
        check(vkBindBufferMemory(device, pixels, memory, 0), "vkBindBufferMemory");
        check(vkMapMemory(device, memory, 0, VK_WHOLE_SIZE, 0, &mapped), "vkMapMemory");
    }
    ~ReadBack()
    {
        vkDeviceWaitIdle(device);
        for (const VkSemaphore semaphore : semaphores) {
            vkDestroySemaphore(device, semaphore, nullptr);
        }
        vkDestroyFence(device, done, nullptr);
        vkFreeMemory(device, memory, nullptr);
        vkDestroyBuffer(device, pixels, nullptr);
        vkDestroyCommandPool(device, commandPool, nullptr);
    }

    // Copies the game's current image after `wait` and returns the semaphore its present must wait on.
    VkSemaphore copy(const DemoVk::DemoGame& game, VkSemaphore wait)
    {
        const VkImage target = game.images()[game.imageIndex()];
        const VkCommandBufferBeginInfo begin = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
        check(vkBeginCommandBuffer(commands, &begin), "vkBeginCommandBuffer");
        // Same queue family on both sides (zero): no ownership transfer.
        VkImageMemoryBarrier barrier = {VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
        barrier.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
        barrier.dstAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
        barrier.oldLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
        barrier.newLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
        barrier.image = target;
        barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0,
                             0, nullptr, 0, nullptr, 1, &barrier);
        const VkBufferImageCopy region = {
            0, 0, 0, {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1}, {0, 0, 0}, {game.extent().width, game.extent().height, 1}};
        vkCmdCopyImageToBuffer(commands, target, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, pixels, 1, &region);
        std::swap(barrier.oldLayout, barrier.newLayout);
        barrier.srcAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
        barrier.dstAccessMask = 0;
        vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0, 0,
                             nullptr, 0, nullptr, 1, &barrier);
        check(vkEndCommandBuffer(commands), "vkEndCommandBuffer");
        semaphores.push_back(VK_NULL_HANDLE);
        const VkSemaphoreCreateInfo semaphore = {VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
        check(vkCreateSemaphore(device, &semaphore, nullptr, &semaphores.back()), "vkCreateSemaphore");
        const VkPipelineStageFlags stage = VK_PIPELINE_STAGE_TRANSFER_BIT;
        const VkSubmitInfo submit = {
            VK_STRUCTURE_TYPE_SUBMIT_INFO, nullptr, 1, &wait, &stage, 1, &commands, 1, &semaphores.back()};
        check(vkQueueSubmit(game.queue(), 1, &submit, done), "vkQueueSubmit");
        check(vkWaitForFences(device, 1, &done, VK_TRUE, 10'000'000'000ull), "vkWaitForFences");
        check(vkResetFences(device, 1, &done), "vkResetFences");
        const bool bgra = game.format() == VK_FORMAT_B8G8R8A8_UNORM || game.format() == VK_FORMAT_B8G8R8A8_SRGB;
        image = {game.extent().width, game.extent().height, {}};
        image.pixels.resize(size_t(image.width) * image.height);
        for (size_t i = 0; i < image.pixels.size(); ++i) {
            const uint8_t* p = static_cast<const uint8_t*>(mapped) + i * 4;
            image.pixels[i] = {p[bgra ? 2 : 0], p[1], p[bgra ? 0 : 2], p[3]};
        }
        return semaphores.back();
    }

    VkDevice device;
#define TEST_VK_MEMBER(name) PFN_##name name = nullptr;
    TEST_VK_FUNCTIONS(TEST_VK_MEMBER)
#undef TEST_VK_MEMBER
    VkCommandPool commandPool = VK_NULL_HANDLE;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    VkFence done = VK_NULL_HANDLE;
    VkBuffer pixels = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    void* mapped = nullptr;
    std::vector<VkSemaphore> semaphores;  // one per copy: a present may still wait on the last one
    Image image;
};

VkDeviceInfo deviceOf(const DemoVk::DemoGame& game)
{
    return {game.instance(), game.physicalDevice(), game.device(), game.vk().vkGetInstanceProcAddr,
            game.vk().vkGetDeviceProcAddr};
}

VkSwapchainInfo swapchainOf(const DemoVk::DemoGame& game)
{
    return {game.swapchain(), game.format(), game.extent(), game.images(), game.presentMode(), 2};
}

// How the game's swap chain stores its frames and how the renderer draws into them.
enum class Target { Unorm, Srgb, SrgbThroughUnorm };

DemoVk::Options gameOptions(Target target)
{
    DemoVk::Options options = hiddenGame<DemoVk::Options>(gameWidth, gameHeight);
    options.srgb = target != Target::Unorm;
    options.mutableFormat = target == Target::SrgbThroughUnorm;
    return options;
}

// The background of a frame darkened, as stored: 40 % of the stored value. Drawn through an sRGB
// view, the blend happens in linear light, with the alpha raised to make up for it: 0.4^2.2 of the
// light, close to 40 % of the stored value (within 7 levels on dark colours).
Rgba darkenedBackground(uint64_t frame, Target target)
{
    float clear[4];
    DemoVk::DemoGame::clearColor(frame, clear);
    auto encoded = [](float light) { return 1.055f * std::pow(light, 1 / 2.4f) - 0.055f; };
    auto level = [](float value) { return uint8_t(std::lround(255 * value)); };
    switch (target) {
    case Target::Unorm: return dimmed(backgroundOf<DemoVk::DemoGame>(frame));
    case Target::SrgbThroughUnorm:
        return dimmed({level(encoded(clear[0])), level(encoded(clear[1])), level(encoded(clear[2])), 255});
    case Target::Srgb: break;
    }
    const float kept = std::pow(0.4f, 2.2f);
    return {level(encoded(kept * clear[0])), level(encoded(kept * clear[1])), level(encoded(kept * clear[2])), 255};
}

// The demo game drawing the overlay inside each present with a RendererVk made for its swap chain
// at the first frame on it: the whole surface darkened, then the host's bitmap at `placement`.
struct OverlaidGame
{
    explicit OverlaidGame(Target target = Target::Unorm)
        : target(target), game(gameOptions(target)), host(pattern(hostWidth, hostHeight, 5))
    {
        game.beforePresent = [this] {
            if (!renderer) {
                VkSwapchainInfo swapchain = swapchainOf(game);
                if (this->target == Target::SrgbThroughUnorm) {
                    swapchain.viewFormat =
                        game.format() == VK_FORMAT_R8G8B8A8_SRGB ? VK_FORMAT_R8G8B8A8_UNORM : VK_FORMAT_B8G8R8A8_UNORM;
                }
                renderer = std::make_unique<RendererVk>(deviceOf(game), game.queueFamilyIndex(), swapchain);
                bitmap = renderer->createBitmap({hostWidth, hostHeight});
                bitmap->update(host.data(), hostWidth * 4, nullptr);
            }
            const VkSemaphore gameDone = game.renderDone();
            renderer->setFrame(game.queue(), game.imageIndex(), &gameDone, 1);
            renderer->beginDraw();
            renderer->fillRect({0, 0, int32_t(gameWidth), int32_t(gameHeight)}, {0.0f, 0.0f, 0.0f, 0.6f});
            if (updateBitmap) {
                updateBitmap();  // between the draws, as RenderOverlay and RenderWindow do
            }
            renderer->drawBitmap(*bitmap, placement);
            renderer->endDraw();
            game.presentWaitOverride = readBack.copy(game, renderer->signalSemaphore());
        };
    }

    // Renders a frame and checks what it presented: in the band above the tiles 40 % of the
    // background, inside the placement the host's pixel given by `hostPixel(x, y)`.
    void checkFrame(const std::function<Rgba(uint32_t x, uint32_t y)>& hostPixel, const char* what)
    {
        const Rgba background = darkenedBackground(game.frameCount(), target);
        game.pumpMessages();
        ASSERT_EQ(game.renderFrame(), VK_SUCCESS) << what;
        const Image& after = readBack.image;
        ASSERT_EQ(after.width, gameWidth) << what;
        EXPECT_EQ(wrongPixels(after,
                              [&](uint32_t x, uint32_t y) {
                                  if (contains(placement, x, y)) {
                                      return ExpectedPixel{hostPixel(x - placement.left, y - placement.top), 0};
                                  }
                                  return ExpectedPixel{background, y < gameHeight / 8 ? 2 : 255};
                              }),
                  "")
            << what;
    }

    const Target target;
    DemoVk::DemoGame game;
    ReadBack readBack{game};
    const std::vector<uint8_t> host;
    std::unique_ptr<RendererVk> renderer;
    std::shared_ptr<Bitmap> bitmap;
    std::function<void()> updateBitmap;
};

TEST(VkRenderer, ComposesOverTheGameAndFollowsANewSwapchain)
{
    OverlaidGame subject;
    const auto first = [](uint32_t x, uint32_t y) { return patternPixel(x, y, 5); };
    subject.checkFrame(first, "first frame");

    // Rows of the whole host frame apart, as a host writes a changed part of its frame.
    const auto other = pattern(hostWidth, hostHeight, 9);
    subject.updateBitmap = [&] {
        const size_t offset = (size_t(partial.top) * hostWidth + partial.left) * 4;
        subject.bitmap->update(other.data() + offset, hostWidth * 4, &partial);
    };
    const auto updated = [&](uint32_t x, uint32_t y) { return patternPixel(x, y, contains(partial, x, y) ? 9 : 5); };
    subject.checkFrame(updated, "partial update");
    subject.updateBitmap = nullptr;
    subject.checkFrame(updated, "no update");

    // The game makes its swap chain again: the hook drops the renderer and makes one for the new one.
    const VkSwapchainKHR old = subject.renderer->swapchain();
    subject.bitmap.reset();
    subject.renderer.reset();
    subject.game.recreateSwapchain();
    subject.checkFrame(first, "new swap chain");
    EXPECT_NE(subject.renderer->swapchain(), old);
    EXPECT_EQ(subject.renderer->swapchain(), subject.game.swapchain());
}

// The host's bytes land as they are, whether drawn through the sRGB view or a UNORM one.
TEST(VkRenderer, ComposesOverAnSrgbSwapchain)
{
    for (const Target target : {Target::Srgb, Target::SrgbThroughUnorm}) {
        OverlaidGame subject(target);
        subject.checkFrame([](uint32_t x, uint32_t y) { return patternPixel(x, y, 5); },
                           target == Target::Srgb ? "sRGB view" : "UNORM view");
        EXPECT_TRUE(subject.game.format() == VK_FORMAT_B8G8R8A8_SRGB ||
                    subject.game.format() == VK_FORMAT_R8G8B8A8_SRGB)
            << subject.game.format();
    }
}

TEST(VkRenderer, DumpsTheDeviceAndSwapchain)
{
    DemoVk::DemoGame game(hiddenGame<DemoVk::Options>(gameWidth, gameHeight));
    const RendererVk renderer(deviceOf(game), game.queueFamilyIndex(), swapchainOf(game));
    LogTest::LogCapture log;
    Overlay::dumpVkDevice(renderer);
    EXPECT_EQ(countPrefix(log, L"=== Vulkan Graphics Device Dump"), 2u);
    const std::string name = renderer.physicalDeviceProperties().deviceName;
    EXPECT_EQ(countPrefix(log, L"Device: " + std::wstring(name.begin(), name.end()) + L" ("), 1u);
    EXPECT_TRUE(log.contains(L"Queue family: " + std::to_wstring(game.queueFamilyIndex())));
    EXPECT_EQ(countPrefix(log, L"Swap chain: format " + std::to_wstring(game.format()) + L", 256x192, " +
                                   std::to_wstring(game.images().size()) + L" images (at least 2 asked for)"),
              1u);
}

}  // namespace
