#include "vk_demo_game.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace DemoVk {
namespace {

const wchar_t windowClassName[] = L"VKDemoGameWindow";
const int tileColumns = 6;
const int tileRows = 4;
// A wait that takes longer than this is a hung device or presentation engine, not a slow frame.
const uint64_t waitTimeoutNs = 10ull * 1000 * 1000 * 1000;

void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

// Anything but VK_SUCCESS fails: a wait that returns VK_TIMEOUT is as fatal as an error.
void check(VkResult result, const char* call)
{
    if (result != VK_SUCCESS) {
        fail(std::string(call) + " failed: " + resultText(result));
    }
}

template <class Function>
Function loaded(PFN_vkVoidFunction function, const char* name)
{
    if (!function) {
        fail(std::string(name) + " is not available");
    }
    return reinterpret_cast<Function>(function);
}

}  // namespace

std::string resultText(VkResult result)
{
    const char* name = nullptr;
    switch (result) {
#define DEMO_VK_RESULT(value)                                                                                          \
    case value: name = #value; break;
        DEMO_VK_RESULT(VK_SUCCESS)
        DEMO_VK_RESULT(VK_NOT_READY)
        DEMO_VK_RESULT(VK_TIMEOUT)
        DEMO_VK_RESULT(VK_INCOMPLETE)
        DEMO_VK_RESULT(VK_SUBOPTIMAL_KHR)
        DEMO_VK_RESULT(VK_ERROR_OUT_OF_HOST_MEMORY)
        DEMO_VK_RESULT(VK_ERROR_OUT_OF_DEVICE_MEMORY)
        DEMO_VK_RESULT(VK_ERROR_INITIALIZATION_FAILED)
        DEMO_VK_RESULT(VK_ERROR_DEVICE_LOST)
        DEMO_VK_RESULT(VK_ERROR_LAYER_NOT_PRESENT)
        DEMO_VK_RESULT(VK_ERROR_EXTENSION_NOT_PRESENT)
        DEMO_VK_RESULT(VK_ERROR_FEATURE_NOT_PRESENT)
        DEMO_VK_RESULT(VK_ERROR_INCOMPATIBLE_DRIVER)
        DEMO_VK_RESULT(VK_ERROR_SURFACE_LOST_KHR)
        DEMO_VK_RESULT(VK_ERROR_NATIVE_WINDOW_IN_USE_KHR)
        DEMO_VK_RESULT(VK_ERROR_OUT_OF_DATE_KHR)
        DEMO_VK_RESULT(VK_ERROR_UNKNOWN)
#undef DEMO_VK_RESULT
    default: break;
    }
    return std::string(name ? name : "VkResult") + " (" + std::to_string(static_cast<int>(result)) + ")";
}

// --- Options ----------------------------------------------------------------------------------

std::string usageText()
{
    return DemoCommon::usageText(
        "vk_demo: a Vulkan test game that draws moving tiles with clear rectangles.",
        "  --frames-in-flight N    frames the CPU may record ahead of the GPU, 1 to 4 (default 2)\n"
        "  --recreate-swapchain-at F[,F...]\n"
        "                          make the swap chain again (same size) before frame F (repeatable)\n",
        1, "R resizes, C prints the counters, Escape quits.");
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    return DemoCommon::parseOptions(
        args, options, 1,
        [&options](DemoCommon::Arguments& arguments) {
            const std::string name = arguments.name();
            if (name == "--frames-in-flight") {
                uint64_t count = 0;
                if (!arguments.number(1, 4, "1 to 4", count)) {
                    return false;
                }
                options.framesInFlight = static_cast<uint32_t>(count);
            } else if (name == "--recreate-swapchain-at") {
                std::string list;
                if (!arguments.value(list)) {
                    return false;
                }
                size_t start = 0;
                while (start <= list.size()) {
                    const size_t comma = std::min(list.find(',', start), list.size());
                    const std::string item = list.substr(start, comma - start);
                    if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos || item.size() > 18) {
                        return arguments.fail("--recreate-swapchain-at expects frame numbers F[,F...], got '" + list +
                                              "'");
                    }
                    options.recreateAt.push_back(std::stoull(item));
                    start = comma + 1;
                }
            } else {
                return false;
            }
            return true;
        },
        error);
}

// --- DemoGame ---------------------------------------------------------------------------------

DemoGame::DemoGame(const Options& options)
    : WindowedGame(options, windowClassName, L"VKDemoPrintCounters"), options_(options)
{
    window_ = createWindow(L"Vulkan demo", options_.x);
    try {
        createInstance();
        createDevice();
        createFrames();
        createSwapchain();
    } catch (...) {
        destroy();
        throw;
    }
}

DemoGame::~DemoGame()
{
    detachWindows();
    destroy();
}

void DemoGame::createInstance()
{
    // Games load the loader themselves; nothing here imports from it.
    library_ = LoadLibraryW(L"vulkan-1.dll");
    if (!library_) {
        fail("LoadLibraryW(vulkan-1.dll) failed: " + std::to_string(GetLastError()));
    }
    vk_.vkGetInstanceProcAddr = reinterpret_cast<PFN_vkGetInstanceProcAddr>(
        reinterpret_cast<void*>(GetProcAddress(library_, "vkGetInstanceProcAddr")));
    if (!vk_.vkGetInstanceProcAddr) {
        fail("vulkan-1.dll has no vkGetInstanceProcAddr");
    }
#define DEMO_VK_LOAD(name) vk_.name = loaded<PFN_##name>(vk_.vkGetInstanceProcAddr(instance_, #name), #name);
    DEMO_VK_GLOBAL_FUNCTIONS(DEMO_VK_LOAD)

    VkApplicationInfo application = {};
    application.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    application.pApplicationName = "vk_demo";
    application.applicationVersion = 1;
    application.apiVersion = VK_API_VERSION_1_0;
    const char* const extensions[] = {VK_KHR_SURFACE_EXTENSION_NAME, VK_KHR_WIN32_SURFACE_EXTENSION_NAME};
    VkInstanceCreateInfo info = {};
    info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    info.pApplicationInfo = &application;
    info.enabledExtensionCount = 2;
    info.ppEnabledExtensionNames = extensions;
    check(vk_.vkCreateInstance(&info, nullptr, &instance_), "vkCreateInstance");
    DEMO_VK_INSTANCE_FUNCTIONS(DEMO_VK_LOAD)
#undef DEMO_VK_LOAD

    VkWin32SurfaceCreateInfoKHR surface = {};
    surface.sType = VK_STRUCTURE_TYPE_WIN32_SURFACE_CREATE_INFO_KHR;
    surface.hinstance = GetModuleHandleW(nullptr);
    surface.hwnd = window_;
    check(vk_.vkCreateWin32SurfaceKHR(instance_, &surface, nullptr, &surface_), "vkCreateWin32SurfaceKHR");
}

void DemoGame::createDevice()
{
    uint32_t count = 0;
    check(vk_.vkEnumeratePhysicalDevices(instance_, &count, nullptr), "vkEnumeratePhysicalDevices");
    std::vector<VkPhysicalDevice> devices(count);
    check(vk_.vkEnumeratePhysicalDevices(instance_, &count, devices.data()), "vkEnumeratePhysicalDevices");
    // The first device with one family that both draws and presents to the window.
    for (uint32_t d = 0; d < count && !physicalDevice_; ++d) {
        uint32_t families = 0;
        vk_.vkGetPhysicalDeviceQueueFamilyProperties(devices[d], &families, nullptr);
        std::vector<VkQueueFamilyProperties> properties(families);
        vk_.vkGetPhysicalDeviceQueueFamilyProperties(devices[d], &families, properties.data());
        for (uint32_t f = 0; f < families; ++f) {
            VkBool32 presents = VK_FALSE;
            check(vk_.vkGetPhysicalDeviceSurfaceSupportKHR(devices[d], f, surface_, &presents),
                  "vkGetPhysicalDeviceSurfaceSupportKHR");
            if ((properties[f].queueFlags & VK_QUEUE_GRAPHICS_BIT) && presents) {
                physicalDevice_ = devices[d];
                queueFamily_ = f;
                break;
            }
        }
    }
    if (!physicalDevice_) {
        fail("no Vulkan device has a queue family that draws and presents to the window (" + std::to_string(count) +
             " devices)");
    }

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queue = {};
    queue.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
    queue.queueFamilyIndex = queueFamily_;
    queue.queueCount = 1;
    queue.pQueuePriorities = &priority;
    // A mutable swap chain format needs these two below Vulkan 1.2.
    const char* const extensions[] = {VK_KHR_SWAPCHAIN_EXTENSION_NAME, VK_KHR_SWAPCHAIN_MUTABLE_FORMAT_EXTENSION_NAME,
                                      VK_KHR_IMAGE_FORMAT_LIST_EXTENSION_NAME, VK_KHR_MAINTENANCE2_EXTENSION_NAME};
    VkDeviceCreateInfo info = {};
    info.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
    info.queueCreateInfoCount = 1;
    info.pQueueCreateInfos = &queue;
    info.enabledExtensionCount = options_.mutableFormat ? 4 : 1;
    info.ppEnabledExtensionNames = extensions;
    check(vk_.vkCreateDevice(physicalDevice_, &info, nullptr, &device_), "vkCreateDevice");
#define DEMO_VK_LOAD(name) vk_.name = loaded<PFN_##name>(vk_.vkGetDeviceProcAddr(device_, #name), #name);
    DEMO_VK_DEVICE_FUNCTIONS(DEMO_VK_LOAD)
#undef DEMO_VK_LOAD
    vk_.vkGetDeviceQueue(device_, queueFamily_, 0, &queue_);
}

void DemoGame::createFrames()
{
    VkCommandPoolCreateInfo pool = {};
    pool.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    pool.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    pool.queueFamilyIndex = queueFamily_;
    check(vk_.vkCreateCommandPool(device_, &pool, nullptr, &commandPool_), "vkCreateCommandPool");
    inFlight_.resize(options_.framesInFlight);
    for (Frame& frame : inFlight_) {
        VkCommandBufferAllocateInfo allocate = {};
        allocate.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
        allocate.commandPool = commandPool_;
        allocate.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        allocate.commandBufferCount = 1;
        check(vk_.vkAllocateCommandBuffers(device_, &allocate, &frame.commands), "vkAllocateCommandBuffers");
        VkSemaphoreCreateInfo semaphore = {};
        semaphore.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
        check(vk_.vkCreateSemaphore(device_, &semaphore, nullptr, &frame.acquired), "vkCreateSemaphore");
        // Signalled: the first wait for a frame slot returns at once.
        VkFenceCreateInfo fence = {};
        fence.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
        fence.flags = VK_FENCE_CREATE_SIGNALED_BIT;
        check(vk_.vkCreateFence(device_, &fence, nullptr, &frame.done), "vkCreateFence");
    }
}

VkExtent2D DemoGame::clientSize() const
{
    RECT client = {};
    if (IsIconic(window_) || !GetClientRect(window_, &client)) {
        return {0, 0};
    }
    return {static_cast<uint32_t>(client.right - client.left), static_cast<uint32_t>(client.bottom - client.top)};
}

bool DemoGame::createSwapchain()
{
    const VkExtent2D client = clientSize();
    VkSurfaceCapabilitiesKHR capabilities = {};
    check(vk_.vkGetPhysicalDeviceSurfaceCapabilitiesKHR(physicalDevice_, surface_, &capabilities),
          "vkGetPhysicalDeviceSurfaceCapabilitiesKHR");
    VkExtent2D extent = capabilities.currentExtent;
    if (extent.width == UINT32_MAX) {
        // The surface takes the size the swap chain gives it.
        extent.width =
            std::min(std::max(client.width, capabilities.minImageExtent.width), capabilities.maxImageExtent.width);
        extent.height =
            std::min(std::max(client.height, capabilities.minImageExtent.height), capabilities.maxImageExtent.height);
    }
    if (client.width == 0 || client.height == 0 || extent.width == 0 || extent.height == 0) {
        return false;
    }

    uint32_t count = 0;
    check(vk_.vkGetPhysicalDeviceSurfaceFormatsKHR(physicalDevice_, surface_, &count, nullptr),
          "vkGetPhysicalDeviceSurfaceFormatsKHR");
    std::vector<VkSurfaceFormatKHR> formats(count);
    check(vk_.vkGetPhysicalDeviceSurfaceFormatsKHR(physicalDevice_, surface_, &count, formats.data()),
          "vkGetPhysicalDeviceSurfaceFormatsKHR");
    if (formats.empty()) {
        fail("the surface offers no formats");
    }
    // A UNORM format: the window shows the clear colours as they are, with no sRGB encoding (an sRGB
    // one where asked for, as games that draw in linear light have).
    VkSurfaceFormatKHR format = formats[0];
    const VkFormat unorm[] = {VK_FORMAT_R8G8B8A8_UNORM, VK_FORMAT_B8G8R8A8_UNORM};
    const VkFormat srgb[] = {VK_FORMAT_R8G8B8A8_SRGB, VK_FORMAT_B8G8R8A8_SRGB};
    for (const VkFormat wanted : options_.srgb ? srgb : unorm) {
        for (const VkSurfaceFormatKHR& offered : formats) {
            if (offered.format == wanted && offered.colorSpace == VK_COLOR_SPACE_SRGB_NONLINEAR_KHR) {
                format = offered;
            }
        }
    }

    check(vk_.vkGetPhysicalDeviceSurfacePresentModesKHR(physicalDevice_, surface_, &count, nullptr),
          "vkGetPhysicalDeviceSurfacePresentModesKHR");
    std::vector<VkPresentModeKHR> modes(count);
    check(vk_.vkGetPhysicalDeviceSurfacePresentModesKHR(physicalDevice_, surface_, &count, modes.data()),
          "vkGetPhysicalDeviceSurfacePresentModesKHR");
    // FIFO is always there; --sync 0 takes a mode that does not wait for the vertical blank.
    VkPresentModeKHR mode = VK_PRESENT_MODE_FIFO_KHR;
    if (options_.syncInterval == 0) {
        for (const VkPresentModeKHR wanted : {VK_PRESENT_MODE_MAILBOX_KHR, VK_PRESENT_MODE_IMMEDIATE_KHR}) {
            if (std::find(modes.begin(), modes.end(), wanted) != modes.end()) {
                mode = wanted;
            }
        }
    }

    uint32_t imageCount = std::max(2u, capabilities.minImageCount);
    if (capabilities.maxImageCount != 0) {
        imageCount = std::min(imageCount, capabilities.maxImageCount);
    }
    VkCompositeAlphaFlagBitsKHR alpha = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
    for (const VkCompositeAlphaFlagBitsKHR bit :
         {VK_COMPOSITE_ALPHA_INHERIT_BIT_KHR, VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR}) {
        if (capabilities.supportedCompositeAlpha & bit) {
            alpha = bit;
        }
    }
    VkSwapchainCreateInfoKHR info = {};
    info.sType = VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR;
    info.surface = surface_;
    info.minImageCount = imageCount;
    info.imageFormat = format.format;
    info.imageColorSpace = format.colorSpace;
    info.imageExtent = extent;
    info.imageArrayLayers = 1;
    // Copies from and to the images too where the surface allows them: what a test or an overlay may
    // want to read or write.
    info.imageUsage =
        VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT |
        (capabilities.supportedUsageFlags & (VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT));
    info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.preTransform = capabilities.currentTransform;
    info.compositeAlpha = alpha;
    info.presentMode = mode;
    info.clipped = VK_TRUE;
    info.oldSwapchain = swapchain_;
    const VkFormat viewFormats[] = {format.format, format.format == VK_FORMAT_R8G8B8A8_SRGB ? VK_FORMAT_R8G8B8A8_UNORM
                                                                                            : VK_FORMAT_B8G8R8A8_UNORM};
    VkImageFormatListCreateInfo formatList = {VK_STRUCTURE_TYPE_IMAGE_FORMAT_LIST_CREATE_INFO, nullptr, 2, viewFormats};
    if (options_.mutableFormat) {
        info.flags |= VK_SWAPCHAIN_CREATE_MUTABLE_FORMAT_BIT_KHR;
        info.pNext = &formatList;
    }
    VkSwapchainKHR swapchain = VK_NULL_HANDLE;
    check(vk_.vkCreateSwapchainKHR(device_, &info, nullptr, &swapchain), "vkCreateSwapchainKHR");
    destroySwapchainTargets();
    if (swapchain_) {
        vk_.vkDestroySwapchainKHR(device_, swapchain_, nullptr);
    }
    swapchain_ = swapchain;
    extent_ = extent;
    madeFor_ = client;
    presentMode_ = mode;
    ++swapchains_;

    if (!renderPass_ || format.format != format_) {
        if (renderPass_) {
            vk_.vkDestroyRenderPass(device_, renderPass_, nullptr);
            renderPass_ = VK_NULL_HANDLE;
        }
        VkAttachmentDescription colour = {};
        colour.format = format.format;
        colour.samples = VK_SAMPLE_COUNT_1_BIT;
        colour.loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
        colour.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
        colour.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
        colour.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
        colour.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        colour.finalLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
        VkAttachmentReference reference = {0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
        VkSubpassDescription subpass = {};
        subpass.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
        subpass.colorAttachmentCount = 1;
        subpass.pColorAttachments = &reference;
        // The image is written only once the acquire semaphore, waited for at this stage, lets it.
        VkSubpassDependency dependency = {};
        dependency.srcSubpass = VK_SUBPASS_EXTERNAL;
        dependency.dstSubpass = 0;
        dependency.srcStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
        dependency.dstStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
        dependency.dstAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
        VkRenderPassCreateInfo pass = {};
        pass.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
        pass.attachmentCount = 1;
        pass.pAttachments = &colour;
        pass.subpassCount = 1;
        pass.pSubpasses = &subpass;
        pass.dependencyCount = 1;
        pass.pDependencies = &dependency;
        check(vk_.vkCreateRenderPass(device_, &pass, nullptr, &renderPass_), "vkCreateRenderPass");
    }
    format_ = format.format;

    check(vk_.vkGetSwapchainImagesKHR(device_, swapchain_, &count, nullptr), "vkGetSwapchainImagesKHR");
    images_.resize(count);
    check(vk_.vkGetSwapchainImagesKHR(device_, swapchain_, &count, images_.data()), "vkGetSwapchainImagesKHR");
    for (const VkImage image : images_) {
        VkImageViewCreateInfo view = {};
        view.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
        view.image = image;
        view.viewType = VK_IMAGE_VIEW_TYPE_2D;
        view.format = format_;
        view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        views_.push_back(VK_NULL_HANDLE);
        check(vk_.vkCreateImageView(device_, &view, nullptr, &views_.back()), "vkCreateImageView");
        VkFramebufferCreateInfo framebuffer = {};
        framebuffer.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
        framebuffer.renderPass = renderPass_;
        framebuffer.attachmentCount = 1;
        framebuffer.pAttachments = &views_.back();
        framebuffer.width = extent_.width;
        framebuffer.height = extent_.height;
        framebuffer.layers = 1;
        framebuffers_.push_back(VK_NULL_HANDLE);
        check(vk_.vkCreateFramebuffer(device_, &framebuffer, nullptr, &framebuffers_.back()), "vkCreateFramebuffer");
        VkSemaphoreCreateInfo semaphore = {};
        semaphore.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
        rendered_.push_back(VK_NULL_HANDLE);
        check(vk_.vkCreateSemaphore(device_, &semaphore, nullptr, &rendered_.back()), "vkCreateSemaphore");
    }
    return true;
}

void DemoGame::destroySwapchainTargets()
{
    for (const VkFramebuffer framebuffer : framebuffers_) {
        vk_.vkDestroyFramebuffer(device_, framebuffer, nullptr);
    }
    for (const VkImageView view : views_) {
        vk_.vkDestroyImageView(device_, view, nullptr);
    }
    for (const VkSemaphore semaphore : rendered_) {
        vk_.vkDestroySemaphore(device_, semaphore, nullptr);
    }
    rendered_.clear();
    framebuffers_.clear();
    views_.clear();
    images_.clear();
}

void DemoGame::recreateSwapchain()
{
    check(vk_.vkDeviceWaitIdle(device_), "vkDeviceWaitIdle");
    const VkExtent2D before = madeFor_;
    // Asked for again at the next frame while the window has no size.
    recreatePending_ = !createSwapchain();
    if (!recreatePending_ && before.width != 0 &&
        (before.width != madeFor_.width || before.height != madeFor_.height)) {
        ++resizes_;
    }
}

void DemoGame::destroy()
{
    if (device_) {
        vk_.vkDeviceWaitIdle(device_);
        for (const Frame& frame : inFlight_) {
            vk_.vkDestroyFence(device_, frame.done, nullptr);
            vk_.vkDestroySemaphore(device_, frame.acquired, nullptr);
        }
        inFlight_.clear();
        // The command buffers go with their pool.
        vk_.vkDestroyCommandPool(device_, commandPool_, nullptr);
        destroySwapchainTargets();
        vk_.vkDestroyRenderPass(device_, renderPass_, nullptr);
        vk_.vkDestroySwapchainKHR(device_, swapchain_, nullptr);
        vk_.vkDestroyDevice(device_, nullptr);
    }
    if (instance_) {
        if (surface_) {
            vk_.vkDestroySurfaceKHR(instance_, surface_, nullptr);
        }
        vk_.vkDestroyInstance(instance_, nullptr);
    }
    if (library_) {
        FreeLibrary(library_);
    }
    commandPool_ = VK_NULL_HANDLE;
    renderPass_ = VK_NULL_HANDLE;
    swapchain_ = VK_NULL_HANDLE;
    device_ = VK_NULL_HANDLE;
    surface_ = VK_NULL_HANDLE;
    instance_ = VK_NULL_HANDLE;
    library_ = nullptr;
}

void DemoGame::clearColor(uint64_t frame, float rgba[4])
{
    const float t = static_cast<float>(frame) / 60.0f;
    rgba[0] = 0.12f + 0.06f * std::sin(t * 0.5f);
    rgba[1] = 0.14f;
    rgba[2] = 0.24f + 0.06f * std::cos(t * 0.5f);
    rgba[3] = 1.0f;
}

void DemoGame::recordFrame(const Frame& frame)
{
    VkCommandBufferBeginInfo begin = {};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    check(vk_.vkBeginCommandBuffer(frame.commands, &begin), "vkBeginCommandBuffer");
    VkClearValue background = {};
    clearColor(frames_, background.color.float32);
    VkRenderPassBeginInfo pass = {};
    pass.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
    pass.renderPass = renderPass_;
    pass.framebuffer = framebuffers_[imageIndex_];
    pass.renderArea.extent = extent_;
    pass.clearValueCount = 1;
    pass.pClearValues = &background;
    vk_.vkCmdBeginRenderPass(frame.commands, &pass, VK_SUBPASS_CONTENTS_INLINE);

    // The tiles sway inside the band from 15 % to 95 % of the height: the top corners keep the
    // background.
    const float time = static_cast<float>(frames_) / 60.0f;
    const float width = static_cast<float>(extent_.width);
    const float height = static_cast<float>(extent_.height);
    const float cellWidth = width * 0.9f / tileColumns;
    const float cellHeight = height * 0.8f / tileRows;
    for (int row = 0; row < tileRows; ++row) {
        for (int column = 0; column < tileColumns; ++column) {
            const float phase = time * 1.5f + static_cast<float>(row * tileColumns + column) * 0.4f;
            const float x = width * 0.05f + cellWidth * (static_cast<float>(column) + 0.2f + 0.15f * std::sin(phase));
            const float y = height * 0.15f + cellHeight * (static_cast<float>(row) + 0.2f + 0.15f * std::cos(phase));
            VkClearRect rect = {};
            rect.rect.offset = {static_cast<int32_t>(x), static_cast<int32_t>(y)};
            rect.rect.extent = {std::max(1u, static_cast<uint32_t>(cellWidth * 0.6f)),
                                std::max(1u, static_cast<uint32_t>(cellHeight * 0.6f))};
            rect.layerCount = 1;
            if (rect.rect.offset.x + rect.rect.extent.width > extent_.width ||
                rect.rect.offset.y + rect.rect.extent.height > extent_.height) {
                continue;
            }
            VkClearAttachment tile = {};
            tile.aspectMask = VK_IMAGE_ASPECT_COLOR_BIT;
            tile.colorAttachment = 0;
            tile.clearValue.color = {{0.6f + 0.4f * std::sin(phase), 0.55f, 0.6f + 0.4f * std::cos(phase), 1.0f}};
            vk_.vkCmdClearAttachments(frame.commands, 1, &tile, 1, &rect);
        }
    }
    vk_.vkCmdEndRenderPass(frame.commands);
    check(vk_.vkEndCommandBuffer(frame.commands), "vkEndCommandBuffer");
}

VkResult DemoGame::renderFrame()
{
    if (std::find(options_.recreateAt.begin(), options_.recreateAt.end(), frames_) != options_.recreateAt.end()) {
        recreatePending_ = true;
    }
    const VkExtent2D client = clientSize();
    const bool minimised = client.width == 0 || client.height == 0;
    if (!minimised &&
        (!swapchain_ || recreatePending_ || client.width != madeFor_.width || client.height != madeFor_.height)) {
        recreateSwapchain();
    }
    if (minimised || !swapchain_ || recreatePending_) {
        // Nothing to present to (a minimised window, or a surface of no size). Messages, a restore
        // among them, end the wait early.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        ++frames_;
        return VK_SUCCESS;
    }

    const Frame& frame = inFlight_[frameSlot_];
    check(vk_.vkWaitForFences(device_, 1, &frame.done, VK_TRUE, waitTimeoutNs), "vkWaitForFences");
    VkResult result =
        vk_.vkAcquireNextImageKHR(device_, swapchain_, waitTimeoutNs, frame.acquired, VK_NULL_HANDLE, &imageIndex_);
    if (result == VK_ERROR_OUT_OF_DATE_KHR) {
        // Nothing was signalled: the frame is drawn on the new swap chain next time.
        recreatePending_ = true;
        return result;
    }
    if (result == VK_SUBOPTIMAL_KHR) {
        // The image was acquired and is presented; the swap chain follows afterwards.
        recreatePending_ = true;
    } else {
        check(result, "vkAcquireNextImageKHR");
    }

    check(vk_.vkResetFences(device_, 1, &frame.done), "vkResetFences");
    check(vk_.vkResetCommandBuffer(frame.commands, 0), "vkResetCommandBuffer");
    recordFrame(frame);
    const VkPipelineStageFlags waitStage = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
    VkSubmitInfo submit = {};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.waitSemaphoreCount = 1;
    submit.pWaitSemaphores = &frame.acquired;
    submit.pWaitDstStageMask = &waitStage;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &frame.commands;
    submit.signalSemaphoreCount = 1;
    submit.pSignalSemaphores = &rendered_[imageIndex_];
    check(vk_.vkQueueSubmit(queue_, 1, &submit, frame.done), "vkQueueSubmit");

    if (beforePresent) {
        beforePresent();
    }
    const VkSemaphore presentWait = presentWaitOverride ? presentWaitOverride : rendered_[imageIndex_];
    presentWaitOverride = VK_NULL_HANDLE;
    VkPresentInfoKHR present = {};
    present.sType = VK_STRUCTURE_TYPE_PRESENT_INFO_KHR;
    present.waitSemaphoreCount = 1;
    present.pWaitSemaphores = &presentWait;
    present.swapchainCount = 1;
    present.pSwapchains = &swapchain_;
    present.pImageIndices = &imageIndex_;
    result = vk_.vkQueuePresentKHR(queue_, &present);
    if (result == VK_ERROR_OUT_OF_DATE_KHR || result == VK_SUBOPTIMAL_KHR) {
        recreatePending_ = true;
    } else {
        check(result, "vkQueuePresentKHR");
    }
    frameSlot_ = (frameSlot_ + 1) % static_cast<uint32_t>(inFlight_.size());
    ++frames_;
    if (frames_ % 30 == 0) {
        wchar_t title[128];
        std::swprintf(title, 128, L"Vulkan demo - frame %llu - %ux%u", static_cast<unsigned long long>(frames_),
                      extent_.width, extent_.height);
        SetWindowTextW(window_, title);
    }
    return result;
}

void DemoGame::requestResize(uint32_t width, uint32_t height)
{
    // The swap chain follows the client size at the start of the next frame.
    setClientSize(window_, width, height);
}

void DemoGame::windowResized(HWND, uint32_t, uint32_t)
{
    // Read again at the start of every frame.
}

std::string DemoGame::counters() const
{
    return "frames=" + std::to_string(frames_) + " resizes=" + std::to_string(resizes_) +
           " swapchains=" + std::to_string(swapchains_);
}

int DemoGame::run()
{
    bool failed = false;
    runFrames([this, &failed] {
        try {
            renderFrame();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vk_demo: %s\n", e.what());
            failed = true;
        }
        return !failed;
    });
    printLine(counters());
    return failed ? 1 : 0;
}

}  // namespace DemoVk
