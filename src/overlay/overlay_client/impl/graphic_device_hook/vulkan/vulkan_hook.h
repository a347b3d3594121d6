#pragma once
// Hooks Vulkan games where every path to the driver passes: the functions a throw-away instance and
// device of our own get from vkGetInstanceProcAddr and vkGetDeviceProcAddr. The loader's exports
// (and, on Windows, its trampolines) lead there, as do the pointers a game fetches itself, so a
// game is reached whichever way it calls. Under Wine they are winevulkan's.
//
// Vulkan hides what the renderer needs, so it is recorded as the game makes it: devices
// (vkCreateDevice), their queues (vkGetDeviceQueue, vkGetDeviceQueue2), surfaces and their windows
// (vkCreateWin32SurfaceKHR), swap chains with their images, format and extent
// (vkCreateSwapchainKHR), and forgotten as it goes (vkDestroySwapchainKHR, vkDestroyDevice).
// A game may have made its device and swap chain before the hook was attached (a host brings the
// overlay into a running game). The first present of such a swap chain is reported to the game as
// out of date, after it was presented: the game makes the swap chain anew, as after a resize, and
// its new one is recorded. What that leaves unknown is guessed: the window is the process's visible
// window of the swap chain's size, the physical device our instance's first, the present queue's
// family its first that draws.
//
// vkQueuePresentKHR draws into the first swap chain it presents; the present then waits on the
// overlay's submission, which waits on the game's semaphores.

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <windows.h>

#include <vulkan/vulkan.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(VulkanHook);

namespace Rendering {
class RendererVk;
}

class VulkanHook final : public GraphicApiHook, private SingleInstance<VulkanHook>
{
public:
    // Makes the throw-away instance and device and builds the records (not attached). Throws
    // std::invalid_argument for a null module, std::runtime_error when they cannot be made.
    explicit VulkanHook(HMODULE vulkanModule);
    ~VulkanHook() override;

    // Throws std::logic_error outside a present of a known swap chain.
    std::shared_ptr<Rendering::Renderer> getRenderer() override;
    void resetRenderer() override;
    void dumpDevice() override;
    HookList getHooks() override;
    HookList getMandatoryHooks() override;
    bool retire() override;

private:
    using Gate = ReplacementGate<VulkanHook>;

    struct Device
    {
        VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
        bool mutableFormat = false;  // VK_KHR_swapchain_mutable_format enabled
    };
    struct Queue
    {
        VkDevice device = VK_NULL_HANDLE;
        uint32_t family = 0;
    };
    struct Swapchain
    {
        VkDevice device = VK_NULL_HANDLE;
        HWND window = nullptr;
        VkFormat format = VK_FORMAT_UNDEFINED;
        VkFormat viewFormat = VK_FORMAT_UNDEFINED;  // what the renderer draws through
        VkExtent2D extent = {0, 0};
        VkPresentModeKHR presentMode = VK_PRESENT_MODE_FIFO_KHR;
        uint32_t minImageCount = 0;
        std::vector<VkImage> images;
    };
    // A game's swap chain made mutable: the create info used instead of the game's.
    struct MutableSwapchain
    {
        bool changed = false;
        VkSwapchainCreateInfoKHR info = {};
        VkImageFormatListCreateInfo list = {};
        VkFormat formats[2] = {};
    };
    // The frame being presented, while the listener draws it.
    struct Frame
    {
        VkQueue queue = VK_NULL_HANDLE;
        VkSwapchainKHR swapchain = VK_NULL_HANDLE;
        uint32_t imageIndex = 0;
        const VkSemaphore* waits = nullptr;
        uint32_t waitCount = 0;
    };

    static VkResult VKAPI_CALL createDeviceHook(VkPhysicalDevice physicalDevice, const VkDeviceCreateInfo* info,
                                                const VkAllocationCallbacks* allocator, VkDevice* device);
    static void VKAPI_CALL destroyDeviceHook(VkDevice device, const VkAllocationCallbacks* allocator);
    static void VKAPI_CALL getDeviceQueueHook(VkDevice device, uint32_t family, uint32_t index, VkQueue* queue);
    static void VKAPI_CALL getDeviceQueue2Hook(VkDevice device, const VkDeviceQueueInfo2* info, VkQueue* queue);
    static VkResult VKAPI_CALL createWin32SurfaceHook(VkInstance instance, const VkWin32SurfaceCreateInfoKHR* info,
                                                      const VkAllocationCallbacks* allocator, VkSurfaceKHR* surface);
    static VkResult VKAPI_CALL createSwapchainHook(VkDevice device, const VkSwapchainCreateInfoKHR* info,
                                                   const VkAllocationCallbacks* allocator, VkSwapchainKHR* swapchain);
    static void VKAPI_CALL destroySwapchainHook(VkDevice device, VkSwapchainKHR swapchain,
                                                const VkAllocationCallbacks* allocator);
    static VkResult VKAPI_CALL queuePresentHook(VkQueue queue, const VkPresentInfoKHR* info);

    // Draws the overlay when the frame qualifies; the present's info to use instead of the game's
    // (its wait semaphores replaced by ours) is written to `ours`. False to present the game's as is.
    bool beforePresent(VkQueue queue, const VkPresentInfoKHR& info, VkPresentInfoKHR& ours, VkSemaphore& wait);
    // The result the game gets for its present.
    VkResult afterPresent(const VkPresentInfoKHR& info, VkResult result);
    // For a device or queue made before the hook: what the renderer needs, guessed (see above).
    VkPhysicalDevice physicalDeviceOf(VkDevice device);
    uint32_t guessQueueFamily(VkPhysicalDevice physicalDevice);
    // Lets go of the renderer and tells the listener, so that nothing of ours references what the
    // game is about to destroy. Called with frameMutex_ held.
    void dropRenderer(bool tellListener);
    void recordSwapchain(VkDevice device, const VkSwapchainCreateInfoKHR& info, VkFormat viewFormat,
                         VkSwapchainKHR swapchain);
    bool mutableFormatExtensions(VkPhysicalDevice physicalDevice, const VkDeviceCreateInfo& info,
                                 std::vector<const char*>& extensions);
    // The format the renderer will draw through; `ours` says whether the game's create info is
    // replaced by a mutable one.
    VkFormat drawingFormat(VkDevice device, const VkSwapchainCreateInfoKHR& info, MutableSwapchain& ours);
    void releaseOnStop() override;

    PFN_vkGetInstanceProcAddr getInstanceProcAddr_ = nullptr;
    PFN_vkGetDeviceProcAddr getDeviceProcAddr_ = nullptr;
    // Ours, kept for the hook's life: instance-level functions the renderer needs are looked up
    // through it (they serve any instance's physical devices).
    VkInstance instance_ = VK_NULL_HANDLE;
    PFN_vkDestroyInstance destroyInstance_ = nullptr;
    std::unique_ptr<HookRecord> createDeviceRecord_;
    std::unique_ptr<HookRecord> destroyDeviceRecord_;
    std::unique_ptr<HookRecord> getDeviceQueueRecord_;
    std::unique_ptr<HookRecord> getDeviceQueue2Record_;
    std::unique_ptr<HookRecord> createWin32SurfaceRecord_;
    std::unique_ptr<HookRecord> createSwapchainRecord_;
    std::unique_ptr<HookRecord> destroySwapchainRecord_;
    std::unique_ptr<HookRecord> queuePresentRecord_;

    // What the game made, recorded from any of its threads.
    std::mutex recordsMutex_;
    std::map<VkDevice, Device> devices_;
    std::map<VkQueue, Queue> queues_;
    std::map<VkSurfaceKHR, HWND> surfaces_;
    std::map<VkSwapchainKHR, Swapchain> swapchains_;
    // Swap chains made before the hook that were reported out of date once.
    std::map<VkSwapchainKHR, bool> renewed_;

    // Held while a frame is drawn and while what the renderer uses is destroyed.
    std::recursive_mutex frameMutex_;
    Frame frame_;
    std::shared_ptr<Rendering::RendererVk> renderer_;
};

}  // namespace Overlay
