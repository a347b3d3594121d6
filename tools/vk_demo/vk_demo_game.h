#pragma once
// The Vulkan demo game: one window with a Win32 surface and a swap chain on one queue that both
// draws and presents, drawing a grid of moving tiles over a slowly changing background with a render
// pass and clear rectangles only (no pipeline of its own, so whatever is on the screen besides them
// was drawn by someone else). vulkan-1.dll is loaded at run time, as games do, and every entry point
// comes through vkGetInstanceProcAddr / vkGetDeviceProcAddr. Several frames may be in flight, each
// with its own command buffer, acquire semaphore and fence; the swap chain is made again (from the old one)
// when the window's size changes or a present reports it out of date.

#include "common_options.h"
#include "windowed_game.h"

#include <windows.h>

#include <vulkan/vulkan.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace DemoVk {

// X(name): the entry points the game uses, by the level they are loaded at.
#define DEMO_VK_GLOBAL_FUNCTIONS(X) X(vkCreateInstance)
#define DEMO_VK_INSTANCE_FUNCTIONS(X)                                                                                  \
    X(vkDestroyInstance)                                                                                               \
    X(vkEnumeratePhysicalDevices)                                                                                      \
    X(vkGetPhysicalDeviceProperties)                                                                                   \
    X(vkGetPhysicalDeviceQueueFamilyProperties)                                                                        \
    X(vkGetPhysicalDeviceSurfaceSupportKHR)                                                                            \
    X(vkGetPhysicalDeviceSurfaceCapabilitiesKHR)                                                                       \
    X(vkGetPhysicalDeviceSurfaceFormatsKHR)                                                                            \
    X(vkGetPhysicalDeviceSurfacePresentModesKHR)                                                                       \
    X(vkCreateWin32SurfaceKHR)                                                                                         \
    X(vkDestroySurfaceKHR)                                                                                             \
    X(vkCreateDevice)                                                                                                  \
    X(vkGetDeviceProcAddr)
#define DEMO_VK_DEVICE_FUNCTIONS(X)                                                                                    \
    X(vkDestroyDevice)                                                                                                 \
    X(vkGetDeviceQueue)                                                                                                \
    X(vkDeviceWaitIdle)                                                                                                \
    X(vkCreateSwapchainKHR)                                                                                            \
    X(vkDestroySwapchainKHR)                                                                                           \
    X(vkGetSwapchainImagesKHR)                                                                                         \
    X(vkAcquireNextImageKHR)                                                                                           \
    X(vkQueuePresentKHR)                                                                                               \
    X(vkQueueSubmit)                                                                                                   \
    X(vkCreateImageView)                                                                                               \
    X(vkDestroyImageView)                                                                                              \
    X(vkCreateRenderPass)                                                                                              \
    X(vkDestroyRenderPass)                                                                                             \
    X(vkCreateFramebuffer)                                                                                             \
    X(vkDestroyFramebuffer)                                                                                            \
    X(vkCreateCommandPool)                                                                                             \
    X(vkDestroyCommandPool)                                                                                            \
    X(vkAllocateCommandBuffers)                                                                                        \
    X(vkResetCommandBuffer)                                                                                            \
    X(vkBeginCommandBuffer)                                                                                            \
    X(vkEndCommandBuffer)                                                                                              \
    X(vkCmdBeginRenderPass)                                                                                            \
    X(vkCmdEndRenderPass)                                                                                              \
    X(vkCmdClearAttachments)                                                                                           \
    X(vkCreateSemaphore)                                                                                               \
    X(vkDestroySemaphore)                                                                                              \
    X(vkCreateFence)                                                                                                   \
    X(vkDestroyFence)                                                                                                  \
    X(vkWaitForFences)                                                                                                 \
    X(vkResetFences)

// The game's function table: vkGetInstanceProcAddr from vulkan-1.dll, the rest loaded from it.
struct VulkanFunctions
{
    PFN_vkGetInstanceProcAddr vkGetInstanceProcAddr = nullptr;
#define DEMO_VK_MEMBER(name) PFN_##name name = nullptr;
    DEMO_VK_GLOBAL_FUNCTIONS(DEMO_VK_MEMBER)
    DEMO_VK_INSTANCE_FUNCTIONS(DEMO_VK_MEMBER)
    DEMO_VK_DEVICE_FUNCTIONS(DEMO_VK_MEMBER)
#undef DEMO_VK_MEMBER
};

// "VK_ERROR_OUT_OF_DATE_KHR (-1000001004)"
std::string resultText(VkResult result);

struct Options : DemoCommon::CommonOptions
{
    uint32_t framesInFlight = 2;
    // Make the swap chain again (same size) before these frames.
    std::vector<uint64_t> recreateAt;
    // An sRGB swap chain format instead of a UNORM one (no option on the command line).
    bool srgb = false;
    // With srgb: the swap chain made with a mutable format that UNORM views may also read, as a game
    // that draws some of its frame through one does (VK_KHR_swapchain_mutable_format).
    bool mutableFormat = false;
};

// Parses the arguments (without the program name). Returns false and fills `error` on bad input.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string usageText();

class DemoGame : public DemoCommon::WindowedGame
{
public:
    explicit DemoGame(const Options& options);  // throws std::runtime_error
    ~DemoGame() override;

    // Draws one frame and presents it (making the swap chain again first where the window's size
    // changed or one was asked for). Returns the present's result: VK_SUCCESS, VK_SUBOPTIMAL_KHR or
    // VK_ERROR_OUT_OF_DATE_KHR (the swap chain follows before the next frame); VK_SUCCESS for a frame
    // skipped while the window is minimised. Throws std::runtime_error on any other failure.
    VkResult renderFrame();
    // Frames until the window is closed or the frame limit is reached. Returns the exit code.
    int run();

    // Resizes the client area; the swap chain follows before the next frame.
    void requestResize(uint32_t width, uint32_t height);
    // Waits for the device and makes the swap chain again from the old one, at the window's size.
    void recreateSwapchain();
    // "frames=N resizes=N swapchains=N"
    std::string counters() const override;

    const VulkanFunctions& vk() const { return vk_; }
    VkInstance instance() const { return instance_; }
    VkPhysicalDevice physicalDevice() const { return physicalDevice_; }
    VkDevice device() const { return device_; }
    VkQueue queue() const { return queue_; }
    uint32_t queueFamilyIndex() const { return queueFamily_; }
    VkSurfaceKHR surface() const { return surface_; }
    VkSwapchainKHR swapchain() const { return swapchain_; }
    const std::vector<VkImage>& images() const { return images_; }
    VkFormat format() const { return format_; }
    VkExtent2D extent() const { return extent_; }
    VkPresentModeKHR presentMode() const { return presentMode_; }
    // The swap chain image of the frame being drawn and presented.
    uint32_t imageIndex() const { return imageIndex_; }
    HWND window() const { return window_; }
    uint32_t swapchainsCreated() const { return swapchains_; }
    uint32_t resizes() const { return resizes_; }
    // The background of a frame, RGBA 0..1. The tiles stay below the top tenth of the window.
    static void clearColor(uint64_t frame, float rgba[4]);

    // Called after the frame's commands were submitted and before vkQueuePresentKHR.
    std::function<void()> beforePresent;
    // The semaphore the frame's submit signals and its present waits on (of the current image).
    VkSemaphore renderDone() const { return rendered_[imageIndex_]; }
    // Set by beforePresent, as an overlay's hook does: the present waits on it instead of renderDone().
    // Cleared at each present.
    VkSemaphore presentWaitOverride = VK_NULL_HANDLE;

private:
    struct Frame
    {
        VkCommandBuffer commands = VK_NULL_HANDLE;
        VkSemaphore acquired = VK_NULL_HANDLE;
        VkFence done = VK_NULL_HANDLE;
    };

    void windowResized(HWND window, uint32_t width, uint32_t height) override;
    uint32_t currentWidth() const override { return extent_.width; }
    void resizeFirstWindow(uint32_t width, uint32_t height) override { requestResize(width, height); }
    void createInstance();
    // Everything the game made, in reverse order, after the device is idle.
    void destroy();
    void createDevice();
    void createFrames();
    // Makes the swap chain for the window's client size; false (and none) while it is 0x0.
    bool createSwapchain();
    void destroySwapchainTargets();
    void recordFrame(const Frame& frame);
    VkExtent2D clientSize() const;

    Options options_;
    HWND window_ = nullptr;
    HMODULE library_ = nullptr;
    VulkanFunctions vk_;
    VkInstance instance_ = VK_NULL_HANDLE;
    VkSurfaceKHR surface_ = VK_NULL_HANDLE;
    VkPhysicalDevice physicalDevice_ = VK_NULL_HANDLE;
    uint32_t queueFamily_ = 0;
    VkDevice device_ = VK_NULL_HANDLE;
    VkQueue queue_ = VK_NULL_HANDLE;
    VkCommandPool commandPool_ = VK_NULL_HANDLE;
    std::vector<Frame> inFlight_;
    uint32_t frameSlot_ = 0;
    VkSwapchainKHR swapchain_ = VK_NULL_HANDLE;
    VkFormat format_ = VK_FORMAT_UNDEFINED;
    VkExtent2D extent_ = {0, 0};
    // The client size the swap chain was made for (the surface may report another extent).
    VkExtent2D madeFor_ = {0, 0};
    VkPresentModeKHR presentMode_ = VK_PRESENT_MODE_FIFO_KHR;
    VkRenderPass renderPass_ = VK_NULL_HANDLE;
    std::vector<VkImage> images_;
    std::vector<VkImageView> views_;
    std::vector<VkFramebuffer> framebuffers_;
    // Signalled by a frame's submit and waited for by its present, one per image: only acquiring the
    // image again shows that the presentation engine is done waiting on it, which a frame's fence
    // does not.
    std::vector<VkSemaphore> rendered_;
    uint32_t imageIndex_ = 0;
    bool recreatePending_ = false;
    uint32_t resizes_ = 0;
    uint32_t swapchains_ = 0;
};

}  // namespace DemoVk
