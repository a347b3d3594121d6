#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/vulkan/vulkan_hook.h"

#include "overlay/overlay_client/impl/diagnostic/vk_device_dump.h"
#include "overlay/overlay_client/impl/graphic_device_hook/present_gate.h"
#include "overlay/overlay_client/impl/rendering/vk/renderer_vk.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace Overlay {
namespace {

std::string resultText(const char* call, VkResult result)
{
    return std::string("Failed to ") + call + ": VkResult " + std::to_string(static_cast<int>(result));
}

template <class Function>
Function instanceFunction(PFN_vkGetInstanceProcAddr getProcAddr, VkInstance instance, const char* name)
{
    const auto function = reinterpret_cast<Function>(getProcAddr(instance, name));
    if (function == nullptr) {
        throw std::runtime_error(std::string("Failed to obtain address of ") + name + "()");
    }
    return function;
}

void* deviceFunction(PFN_vkGetDeviceProcAddr getProcAddr, VkDevice device, const char* name)
{
    return codeAddress(getProcAddr(device, name));
}

// The UNORM format of an sRGB one's bytes; VK_FORMAT_UNDEFINED for any other format.
VkFormat unormOf(VkFormat format)
{
    switch (format) {
    case VK_FORMAT_B8G8R8A8_SRGB: return VK_FORMAT_B8G8R8A8_UNORM;
    case VK_FORMAT_R8G8B8A8_SRGB: return VK_FORMAT_R8G8B8A8_UNORM;
    case VK_FORMAT_A8B8G8R8_SRGB_PACK32: return VK_FORMAT_A8B8G8R8_UNORM_PACK32;
    default: return VK_FORMAT_UNDEFINED;
    }
}

bool named(const char* const* names, uint32_t count, const char* name)
{
    for (uint32_t i = 0; names != nullptr && i < count; ++i) {
        if (names[i] != nullptr && std::strcmp(names[i], name) == 0) {
            return true;
        }
    }
    return false;
}

template <class Struct>
const Struct* findInChain(const void* next, VkStructureType type)
{
    for (auto* item = static_cast<const VkBaseInStructure*>(next); item != nullptr; item = item->pNext) {
        if (item->sType == type) {
            return reinterpret_cast<const Struct*>(item);
        }
    }
    return nullptr;
}

struct WindowSearch
{
    VkExtent2D extent;
    HWND exact = nullptr;
    HWND hidden = nullptr;
    HWND largest = nullptr;
    LONG largestArea = 0;
};

BOOL CALLBACK searchWindow(HWND window, LPARAM parameter)
{
    auto& search = *reinterpret_cast<WindowSearch*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    RECT client = {};
    if (process != GetCurrentProcessId() || !GetClientRect(window, &client)) {
        return TRUE;
    }
    const bool visible = IsWindowVisible(window) != FALSE;
    if (LONG(search.extent.width) == client.right && LONG(search.extent.height) == client.bottom) {
        if (visible) {
            search.exact = window;
            return FALSE;
        }
        search.hidden = search.hidden ? search.hidden : window;
    } else if (visible && client.right * client.bottom > search.largestArea) {
        search.largestArea = client.right * client.bottom;
        search.largest = window;
    }
    return TRUE;
}

// A top-level window of this process: the first visible one whose client area is `extent`, else a
// hidden one of that size, else the largest visible one.
HWND windowOfSize(VkExtent2D extent)
{
    WindowSearch search = {extent};
    EnumWindows(searchWindow, reinterpret_cast<LPARAM>(&search));
    return search.exact ? search.exact : search.hidden ? search.hidden : search.largest;
}

}  // namespace

VulkanHook::VulkanHook(HMODULE vulkanModule)
    : GraphicApiHook(L"VulkanHook: request stop", L"VulkanHook stopped"), SingleInstance<VulkanHook>(this)
{
    LOG_INFO(L"Hooking Vulkan");
    if (!vulkanModule) {
        throw std::invalid_argument("vulkan-1.dll is null");
    }
    getInstanceProcAddr_ =
        reinterpret_cast<PFN_vkGetInstanceProcAddr>(codeAddress(GetProcAddress(vulkanModule, "vkGetInstanceProcAddr")));
    if (getInstanceProcAddr_ == nullptr) {
        throw std::runtime_error("Failed to obtain address of vkGetInstanceProcAddr()");
    }
    auto read = [this] {
        const auto createInstance =
            instanceFunction<PFN_vkCreateInstance>(getInstanceProcAddr_, VK_NULL_HANDLE, "vkCreateInstance");
        VkApplicationInfo application = {VK_STRUCTURE_TYPE_APPLICATION_INFO};
        application.pApplicationName = "overlay_client";
        application.apiVersion = VK_API_VERSION_1_1;
        const char* instanceExtensions[] = {VK_KHR_SURFACE_EXTENSION_NAME, VK_KHR_WIN32_SURFACE_EXTENSION_NAME};
        VkInstanceCreateInfo instanceInfo = {VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
        instanceInfo.pApplicationInfo = &application;
        instanceInfo.enabledExtensionCount = 2;
        instanceInfo.ppEnabledExtensionNames = instanceExtensions;
        VkResult result = createInstance(&instanceInfo, nullptr, &instance_);
        if (result != VK_SUCCESS) {
            throw std::runtime_error(resultText("vkCreateInstance", result));
        }
        destroyInstance_ =
            instanceFunction<PFN_vkDestroyInstance>(getInstanceProcAddr_, instance_, "vkDestroyInstance");
        getDeviceProcAddr_ =
            instanceFunction<PFN_vkGetDeviceProcAddr>(getInstanceProcAddr_, instance_, "vkGetDeviceProcAddr");
        const auto enumerate = instanceFunction<PFN_vkEnumeratePhysicalDevices>(getInstanceProcAddr_, instance_,
                                                                                "vkEnumeratePhysicalDevices");
        const auto createDevice =
            instanceFunction<PFN_vkCreateDevice>(getInstanceProcAddr_, instance_, "vkCreateDevice");
        uint32_t count = 1;
        VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
        result = enumerate(instance_, &count, &physicalDevice);
        if ((result != VK_SUCCESS && result != VK_INCOMPLETE) || count == 0) {
            throw std::runtime_error(resultText("vkEnumeratePhysicalDevices", result));
        }
        // Any queue serves a device that only gives its functions' addresses.
        const float priority = 1.0f;
        VkDeviceQueueCreateInfo queueInfo = {VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
        queueInfo.queueCount = 1;
        queueInfo.pQueuePriorities = &priority;
        const char* deviceExtensions[] = {VK_KHR_SWAPCHAIN_EXTENSION_NAME};
        VkDeviceCreateInfo deviceInfo = {VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
        deviceInfo.queueCreateInfoCount = 1;
        deviceInfo.pQueueCreateInfos = &queueInfo;
        deviceInfo.enabledExtensionCount = 1;
        deviceInfo.ppEnabledExtensionNames = deviceExtensions;
        VkDevice device = VK_NULL_HANDLE;
        result = createDevice(physicalDevice, &deviceInfo, nullptr, &device);
        if (result != VK_SUCCESS) {
            throw std::runtime_error(resultText("vkCreateDevice", result));
        }
        const auto destroyDevice =
            reinterpret_cast<PFN_vkDestroyDevice>(deviceFunction(getDeviceProcAddr_, device, "vkDestroyDevice"));
        try {
            auto record = [&](void* target, auto replacement, const char* name) {
                return makeUniqueHookRecord(target, codeAddress(replacement), name);
            };
            auto ofDevice = [&](const char* name) { return deviceFunction(getDeviceProcAddr_, device, name); };
            createDeviceRecord_ = record(codeAddress(createDevice), &createDeviceHook, "vkCreateDevice");
            createWin32SurfaceRecord_ = record(codeAddress(getInstanceProcAddr_(instance_, "vkCreateWin32SurfaceKHR")),
                                               &createWin32SurfaceHook, "vkCreateWin32SurfaceKHR");
            destroyDeviceRecord_ = record(codeAddress(destroyDevice), &destroyDeviceHook, "vkDestroyDevice");
            getDeviceQueueRecord_ = record(ofDevice("vkGetDeviceQueue"), &getDeviceQueueHook, "vkGetDeviceQueue");
            if (void* getQueue2 = ofDevice("vkGetDeviceQueue2")) {
                getDeviceQueue2Record_ = record(getQueue2, &getDeviceQueue2Hook, "vkGetDeviceQueue2");
            }
            createSwapchainRecord_ =
                record(ofDevice("vkCreateSwapchainKHR"), &createSwapchainHook, "vkCreateSwapchainKHR");
            destroySwapchainRecord_ =
                record(ofDevice("vkDestroySwapchainKHR"), &destroySwapchainHook, "vkDestroySwapchainKHR");
            queuePresentRecord_ = record(ofDevice("vkQueuePresentKHR"), &queuePresentHook, "vkQueuePresentKHR");
        } catch (...) {
            destroyDevice(device, nullptr);
            throw;
        }
        destroyDevice(device, nullptr);
    };
    try {
        // Under Wine a game presenting meanwhile would deadlock with the making of our device.
        callBesidePresents(read);
    } catch (...) {
        if (instance_ != VK_NULL_HANDLE && destroyInstance_ != nullptr) {
            destroyInstance_(instance_, nullptr);
        }
        throw;
    }
    Gate::open(this);
}

bool VulkanHook::retire()
{
    unhook(getHooks());
    return Gate::close("VulkanHook", retireTimeoutMs);
}

VulkanHook::~VulkanHook()
{
    // Before the members go: no thread may enter a replacement or still be inside one.
    if (retire()) {
        renderer_.reset();
        destroyInstance_(instance_, nullptr);
    }
}

HookList VulkanHook::getHooks()
{
    HookList hooks = getMandatoryHooks();
    if (getDeviceQueue2Record_) {
        hooks.push_back(getDeviceQueue2Record_.get());
    }
    return hooks;
}

HookList VulkanHook::getMandatoryHooks()
{
    return {createDeviceRecord_.get(),       destroyDeviceRecord_.get(),   getDeviceQueueRecord_.get(),
            createWin32SurfaceRecord_.get(), createSwapchainRecord_.get(), destroySwapchainRecord_.get(),
            queuePresentRecord_.get()};
}

void VulkanHook::releaseOnStop()
{
    std::lock_guard<std::recursive_mutex> lock(frameMutex_);
    renderer_.reset();
}

std::shared_ptr<Rendering::Renderer> VulkanHook::getRenderer()
{
    if (frame_.queue == VK_NULL_HANDLE) {
        throw std::logic_error("Failed to get renderer: no frame of a known swap chain being presented");
    }
    Queue queue;
    {
        std::lock_guard<std::mutex> lock(recordsMutex_);
        queue = queues_.at(frame_.queue);
    }
    if (renderer_ && (renderer_->swapchain() != frame_.swapchain || renderer_->queueFamily() != queue.family)) {
        renderer_.reset();
    }
    if (!renderer_) {
        Rendering::VkSwapchainInfo info;
        VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
        {
            std::lock_guard<std::mutex> lock(recordsMutex_);
            const Swapchain& swapchain = swapchains_.at(frame_.swapchain);
            info.format = swapchain.format;
            info.viewFormat = swapchain.viewFormat;
            info.extent = swapchain.extent;
            info.images = swapchain.images;
            info.presentMode = swapchain.presentMode;
            info.minImageCount = swapchain.minImageCount;
            physicalDevice = devices_.at(queue.device).physicalDevice;
        }
        info.swapchain = frame_.swapchain;
        const Rendering::VkDeviceInfo device = {instance_, physicalDevice, queue.device, getInstanceProcAddr_,
                                                getDeviceProcAddr_};
        renderer_ = std::make_shared<Rendering::RendererVk>(device, queue.family, info);
    }
    renderer_->setFrame(frame_.queue, frame_.imageIndex, frame_.waits, frame_.waitCount);
    return renderer_;
}

void VulkanHook::resetRenderer()
{
    renderer_.reset();
}

void VulkanHook::dumpDevice()
{
    if (!renderer_) {
        LOG_WARN(L"Can not dump graphics device: Vulkan renderer is not set");
        return;
    }
    dumpVkDevice(*renderer_);
}

void VulkanHook::dropRenderer(bool tellListener)
{
    renderer_.reset();
    if (tellListener) {
        if (GraphicDeviceHookListener* listener = this->listener()) {
            // It lets go of what it made with the renderer: the renderer goes now, not later.
            listener->onDeviceLost();
        }
    }
}

void VulkanHook::recordSwapchain(VkDevice device, const VkSwapchainCreateInfoKHR& info, VkFormat viewFormat,
                                 VkSwapchainKHR swapchain)
{
    Swapchain record;
    record.device = device;
    record.format = info.imageFormat;
    record.viewFormat = viewFormat;
    record.extent = info.imageExtent;
    record.presentMode = info.presentMode;
    record.minImageCount = info.minImageCount;
    const auto getImages = reinterpret_cast<PFN_vkGetSwapchainImagesKHR>(
        deviceFunction(getDeviceProcAddr_, device, "vkGetSwapchainImagesKHR"));
    uint32_t count = 0;
    if (getImages == nullptr || getImages(device, swapchain, &count, nullptr) != VK_SUCCESS) {
        LOG_WARN(L"Failed to read the images of swap chain %0: it is not drawn into", swapchain);
        return;
    }
    record.images.resize(count);
    if (getImages(device, swapchain, &count, record.images.data()) != VK_SUCCESS) {
        LOG_WARN(L"Failed to read the images of swap chain %0: it is not drawn into", swapchain);
        return;
    }
    const VkPhysicalDevice physicalDevice = physicalDeviceOf(device);
    std::lock_guard<std::mutex> lock(recordsMutex_);
    devices_[device].physicalDevice = physicalDevice;
    const auto surface = surfaces_.find(info.surface);
    record.window = surface != surfaces_.end() ? surface->second : windowOfSize(info.imageExtent);
    swapchains_[swapchain] = std::move(record);
}

// Swap chains in sRGB formats are drawn into through a UNORM view, so that the darkening blends the
// stored values as in the other graphics APIs rather than the light. That takes a swap chain made
// with a mutable format, which the device allows once VK_KHR_swapchain_mutable_format is enabled:
// it is added to a game's device when the physical device has it. The extensions to enable instead
// of the game's are put in `extensions` (empty: the game's as they are); true when the device's
// swap chains can be made mutable.
bool VulkanHook::mutableFormatExtensions(VkPhysicalDevice physicalDevice, const VkDeviceCreateInfo& info,
                                         std::vector<const char*>& extensions)
{
    extensions.clear();
    const char* const* enabled = info.ppEnabledExtensionNames;
    const uint32_t count = info.enabledExtensionCount;
    if (!named(enabled, count, VK_KHR_SWAPCHAIN_EXTENSION_NAME)) {
        return false;
    }
    if (named(enabled, count, VK_KHR_SWAPCHAIN_MUTABLE_FORMAT_EXTENSION_NAME)) {
        return true;
    }
    const auto enumerate = instanceFunction<PFN_vkEnumerateDeviceExtensionProperties>(
        getInstanceProcAddr_, instance_, "vkEnumerateDeviceExtensionProperties");
    uint32_t offered = 0;
    if (enumerate(physicalDevice, nullptr, &offered, nullptr) != VK_SUCCESS) {
        return false;
    }
    std::vector<VkExtensionProperties> properties(offered);
    if (enumerate(physicalDevice, nullptr, &offered, properties.data()) != VK_SUCCESS) {
        return false;
    }
    auto supported = [&](const char* name) {
        return std::any_of(properties.begin(), properties.begin() + offered,
                           [&](const VkExtensionProperties& p) { return std::strcmp(p.extensionName, name) == 0; });
    };
    if (!supported(VK_KHR_SWAPCHAIN_MUTABLE_FORMAT_EXTENSION_NAME)) {
        return false;
    }
    extensions.assign(enabled, enabled + count);
    // What the extension depends on below Vulkan 1.2; harmless where they are core.
    for (const char* name : {VK_KHR_SWAPCHAIN_MUTABLE_FORMAT_EXTENSION_NAME, VK_KHR_IMAGE_FORMAT_LIST_EXTENSION_NAME,
                             VK_KHR_MAINTENANCE2_EXTENSION_NAME}) {
        if (supported(name) && !named(enabled, count, name)) {
            extensions.push_back(name);
        }
    }
    return true;
}

VkFormat VulkanHook::drawingFormat(VkDevice device, const VkSwapchainCreateInfoKHR& info, MutableSwapchain& ours)
{
    ours.changed = false;
    const VkFormat unorm = unormOf(info.imageFormat);
    if (unorm == VK_FORMAT_UNDEFINED) {
        return info.imageFormat;
    }
    const auto* list =
        findInChain<VkImageFormatListCreateInfo>(info.pNext, VK_STRUCTURE_TYPE_IMAGE_FORMAT_LIST_CREATE_INFO);
    if ((info.flags & VK_SWAPCHAIN_CREATE_MUTABLE_FORMAT_BIT_KHR) != 0) {
        // Made mutable by the game: a UNORM view is allowed when its list names the format.
        const bool listed = list != nullptr && std::find(list->pViewFormats, list->pViewFormats + list->viewFormatCount,
                                                         unorm) != list->pViewFormats + list->viewFormatCount;
        return listed ? unorm : info.imageFormat;
    }
    {
        std::lock_guard<std::mutex> lock(recordsMutex_);
        const auto known = devices_.find(device);
        // A list of the game's would have to be merged with ours: left as it is.
        if (known == devices_.end() || !known->second.mutableFormat || list != nullptr) {
            return info.imageFormat;
        }
    }
    ours.formats[0] = info.imageFormat;
    ours.formats[1] = unorm;
    ours.list = {VK_STRUCTURE_TYPE_IMAGE_FORMAT_LIST_CREATE_INFO, info.pNext, 2, ours.formats};
    ours.info = info;
    ours.info.flags |= VK_SWAPCHAIN_CREATE_MUTABLE_FORMAT_BIT_KHR;
    ours.info.pNext = &ours.list;
    ours.changed = true;
    return unorm;
}

VkPhysicalDevice VulkanHook::physicalDeviceOf(VkDevice device)
{
    {
        std::lock_guard<std::mutex> lock(recordsMutex_);
        const auto known = devices_.find(device);
        if (known != devices_.end()) {
            return known->second.physicalDevice;
        }
    }
    const auto enumerate =
        instanceFunction<PFN_vkEnumeratePhysicalDevices>(getInstanceProcAddr_, instance_, "vkEnumeratePhysicalDevices");
    uint32_t count = 1;
    VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
    const VkResult result = enumerate(instance_, &count, &physicalDevice);
    if ((result != VK_SUCCESS && result != VK_INCOMPLETE) || count == 0) {
        throw std::runtime_error(resultText("vkEnumeratePhysicalDevices", result));
    }
    LOG_WARN(L"Device %0 was made before the overlay: taken to be on the first physical device", device);
    return physicalDevice;
}

uint32_t VulkanHook::guessQueueFamily(VkPhysicalDevice physicalDevice)
{
    const auto properties = instanceFunction<PFN_vkGetPhysicalDeviceQueueFamilyProperties>(
        getInstanceProcAddr_, instance_, "vkGetPhysicalDeviceQueueFamilyProperties");
    uint32_t count = 0;
    properties(physicalDevice, &count, nullptr);
    std::vector<VkQueueFamilyProperties> families(count);
    properties(physicalDevice, &count, families.data());
    for (uint32_t family = 0; family < count; ++family) {
        if ((families[family].queueFlags & VK_QUEUE_GRAPHICS_BIT) != 0) {
            return family;
        }
    }
    return 0;
}

bool VulkanHook::beforePresent(VkQueue queue, const VkPresentInfoKHR& info, VkPresentInfoKHR& ours, VkSemaphore& wait)
{
    if (info.swapchainCount == 0 || info.pSwapchains == nullptr || info.pImageIndices == nullptr) {
        return false;
    }
    HWND window = nullptr;
    VkDevice device = VK_NULL_HANDLE;
    bool queueKnown = false;
    {
        std::lock_guard<std::mutex> lock(recordsMutex_);
        const auto swapchain = swapchains_.find(info.pSwapchains[0]);
        if (swapchain == swapchains_.end()) {
            // Made before the hook: reported out of date once, after the present (see the header).
            if (renewed_.emplace(info.pSwapchains[0], true).second) {
                LOG_INFO(L"Swap chain %0 was made before the overlay: the game is asked to make it anew",
                         info.pSwapchains[0]);
            }
            return false;
        }
        window = swapchain->second.window;
        device = swapchain->second.device;
        queueKnown = queues_.count(queue) != 0;
    }
    if (!queueKnown) {
        const uint32_t family = guessQueueFamily(physicalDeviceOf(device));
        LOG_WARN(L"Queue %0 was got before the overlay: taken to be of family %1", queue, family);
        std::lock_guard<std::mutex> lock(recordsMutex_);
        queues_[queue] = {device, family};
    }
    if (!ready()) {
        if (window != nullptr) {
            if (GraphicDeviceHookListener* listener = countQualifyingFrame()) {
                listener->onDeviceWindow(window);
            }
        }
        return false;
    }
    GraphicDeviceHookListener* listener = this->listener();
    if (listener == nullptr) {
        return false;
    }
    frame_ = {queue, info.pSwapchains[0], info.pImageIndices[0], info.pWaitSemaphores, info.waitSemaphoreCount};
    // What the renderer submitted for an earlier frame is forgotten, whether it draws this one or not.
    if (renderer_ && renderer_->swapchain() == frame_.swapchain) {
        renderer_->setFrame(frame_.queue, frame_.imageIndex, frame_.waits, frame_.waitCount);
    }
    try {
        listener->onPresent(*this);
    } catch (...) {
        frame_ = {};
        throw;
    }
    frame_ = {};
    // Once our submission waited on the game's semaphores, the present must wait on ours instead,
    // whether the overlay was drawn whole or not.
    wait = renderer_ && renderer_->swapchain() == info.pSwapchains[0] ? renderer_->signalSemaphore() : VK_NULL_HANDLE;
    if (wait == VK_NULL_HANDLE) {
        return false;
    }
    ours = info;
    ours.waitSemaphoreCount = 1;
    ours.pWaitSemaphores = &wait;
    return true;
}

VkResult VulkanHook::afterPresent(const VkPresentInfoKHR& info, VkResult result)
{
    if (result == VK_ERROR_DEVICE_LOST) {
        LOG_WARN(L"vkQueuePresentKHR reported the device lost: the renderer is dropped");
        dropRenderer(true);
    }
    if ((result == VK_SUCCESS || result == VK_SUBOPTIMAL_KHR) && info.swapchainCount > 0 &&
        info.pSwapchains != nullptr) {
        // A swap chain made before the hook, presented for the first time since: its present's
        // semaphores were waited on as for any out-of-date report, so the game can make it anew.
        std::lock_guard<std::mutex> lock(recordsMutex_);
        const auto renewed = renewed_.find(info.pSwapchains[0]);
        if (renewed != renewed_.end() && renewed->second) {
            renewed->second = false;
            return VK_ERROR_OUT_OF_DATE_KHR;
        }
    }
    return result;
}

// --- Replacements: forward to the game's function, whatever happens around it. -------------------

VkResult VKAPI_CALL VulkanHook::createDeviceHook(VkPhysicalDevice physicalDevice, const VkDeviceCreateInfo* info,
                                                 const VkAllocationCallbacks* allocator, VkDevice* device)
{
    return Gate::serve(
        &createDeviceHook, &VulkanHook::createDeviceRecord_, VK_ERROR_INITIALIZATION_FAILED,
        [&](VulkanHook& self, const auto& real) {
            std::vector<const char*> extensions;
            bool mutableFormat = false;
            VkDeviceCreateInfo ours = {};
            guarded(L"vkCreateDevice", [&] {
                if (info != nullptr) {
                    mutableFormat = self.mutableFormatExtensions(physicalDevice, *info, extensions);
                    ours = *info;
                    ours.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
                    ours.ppEnabledExtensionNames = extensions.data();
                }
            });
            VkResult result = real(physicalDevice, extensions.empty() ? info : &ours, allocator, device);
            if (result != VK_SUCCESS && !extensions.empty()) {
                // Never a device the game would not have had: it gets the one it asked for.
                LOG_WARN(L"vkCreateDevice failed with VK_KHR_swapchain_mutable_format added (VkResult %0); "
                         L"sRGB swap chains are drawn into as they are",
                         static_cast<int>(result));
                mutableFormat = false;
                result = real(physicalDevice, info, allocator, device);
            }
            guarded(L"vkCreateDevice", [&] {
                if (result == VK_SUCCESS && device != nullptr) {
                    std::lock_guard<std::mutex> lock(self.recordsMutex_);
                    self.devices_[*device] = {physicalDevice, mutableFormat};
                }
            });
            return result;
        },
        physicalDevice, info, allocator, device);
}

void VKAPI_CALL VulkanHook::destroyDeviceHook(VkDevice device, const VkAllocationCallbacks* allocator)
{
    Gate::serve(
        &destroyDeviceHook, &VulkanHook::destroyDeviceRecord_, nullptr,
        [&](VulkanHook& self, const auto& real) {
            std::lock_guard<std::recursive_mutex> frame(self.frameMutex_);
            guarded(L"vkDestroyDevice", [&] {
                if (self.renderer_ && self.renderer_->device() == device) {
                    self.dropRenderer(true);
                }
                std::lock_guard<std::mutex> lock(self.recordsMutex_);
                self.devices_.erase(device);
                for (auto queue = self.queues_.begin(); queue != self.queues_.end();) {
                    queue = queue->second.device == device ? self.queues_.erase(queue) : std::next(queue);
                }
                for (auto chain = self.swapchains_.begin(); chain != self.swapchains_.end();) {
                    chain = chain->second.device == device ? self.swapchains_.erase(chain) : std::next(chain);
                }
            });
            real(device, allocator);
        },
        device, allocator);
}

void VKAPI_CALL VulkanHook::getDeviceQueueHook(VkDevice device, uint32_t family, uint32_t index, VkQueue* queue)
{
    Gate::serve(
        &getDeviceQueueHook, &VulkanHook::getDeviceQueueRecord_, nullptr,
        [&](VulkanHook& self, const auto& real) {
            real(device, family, index, queue);
            guarded(L"vkGetDeviceQueue", [&] {
                if (queue != nullptr && *queue != VK_NULL_HANDLE) {
                    std::lock_guard<std::mutex> lock(self.recordsMutex_);
                    self.queues_[*queue] = {device, family};
                }
            });
        },
        device, family, index, queue);
}

void VKAPI_CALL VulkanHook::getDeviceQueue2Hook(VkDevice device, const VkDeviceQueueInfo2* info, VkQueue* queue)
{
    Gate::serve(
        &getDeviceQueue2Hook, &VulkanHook::getDeviceQueue2Record_, nullptr,
        [&](VulkanHook& self, const auto& real) {
            real(device, info, queue);
            guarded(L"vkGetDeviceQueue2", [&] {
                if (info != nullptr && queue != nullptr && *queue != VK_NULL_HANDLE) {
                    std::lock_guard<std::mutex> lock(self.recordsMutex_);
                    self.queues_[*queue] = {device, info->queueFamilyIndex};
                }
            });
        },
        device, info, queue);
}

VkResult VKAPI_CALL VulkanHook::createWin32SurfaceHook(VkInstance instance, const VkWin32SurfaceCreateInfoKHR* info,
                                                       const VkAllocationCallbacks* allocator, VkSurfaceKHR* surface)
{
    return Gate::serve(
        &createWin32SurfaceHook, &VulkanHook::createWin32SurfaceRecord_, VK_ERROR_INITIALIZATION_FAILED,
        [&](VulkanHook& self, const auto& real) {
            const VkResult result = real(instance, info, allocator, surface);
            guarded(L"vkCreateWin32SurfaceKHR", [&] {
                if (result == VK_SUCCESS && info != nullptr && surface != nullptr) {
                    std::lock_guard<std::mutex> lock(self.recordsMutex_);
                    self.surfaces_[*surface] = info->hwnd;
                }
            });
            return result;
        },
        instance, info, allocator, surface);
}

VkResult VKAPI_CALL VulkanHook::createSwapchainHook(VkDevice device, const VkSwapchainCreateInfoKHR* info,
                                                    const VkAllocationCallbacks* allocator, VkSwapchainKHR* swapchain)
{
    return Gate::serve(
        &createSwapchainHook, &VulkanHook::createSwapchainRecord_, VK_ERROR_INITIALIZATION_FAILED,
        [&](VulkanHook& self, const auto& real) {
            MutableSwapchain ours;
            VkFormat viewFormat = VK_FORMAT_UNDEFINED;
            guarded(L"vkCreateSwapchainKHR", [&] {
                if (info != nullptr) {
                    viewFormat = self.drawingFormat(device, *info, ours);
                }
            });
            VkResult result = real(device, ours.changed ? &ours.info : info, allocator, swapchain);
            if (result != VK_SUCCESS && ours.changed) {
                LOG_WARN(L"vkCreateSwapchainKHR failed with a mutable format (VkResult %0); the swap chain is made "
                         L"as the game asked and drawn into as it is",
                         static_cast<int>(result));
                viewFormat = info->imageFormat;
                result = real(device, info, allocator, swapchain);
            }
            guarded(L"vkCreateSwapchainKHR", [&] {
                if (result == VK_SUCCESS && info != nullptr && swapchain != nullptr) {
                    self.recordSwapchain(device, *info, viewFormat, *swapchain);
                }
            });
            return result;
        },
        device, info, allocator, swapchain);
}

void VKAPI_CALL VulkanHook::destroySwapchainHook(VkDevice device, VkSwapchainKHR swapchain,
                                                 const VkAllocationCallbacks* allocator)
{
    Gate::serve(
        &destroySwapchainHook, &VulkanHook::destroySwapchainRecord_, nullptr,
        [&](VulkanHook& self, const auto& real) {
            std::lock_guard<std::recursive_mutex> frame(self.frameMutex_);
            guarded(L"vkDestroySwapchainKHR", [&] {
                if (self.renderer_ && self.renderer_->swapchain() == swapchain) {
                    self.dropRenderer(true);
                }
                std::lock_guard<std::mutex> lock(self.recordsMutex_);
                self.swapchains_.erase(swapchain);
                self.renewed_.erase(swapchain);
            });
            real(device, swapchain, allocator);
        },
        device, swapchain, allocator);
}

VkResult VKAPI_CALL VulkanHook::queuePresentHook(VkQueue queue, const VkPresentInfoKHR* info)
{
    return Gate::serve(
        &queuePresentHook, &VulkanHook::queuePresentRecord_, VK_ERROR_DEVICE_LOST,
        [&](VulkanHook& self, const auto& real) {
            std::unique_lock<std::recursive_mutex> frame(self.frameMutex_, std::defer_lock);
            VkPresentInfoKHR ours = {};
            VkSemaphore wait = VK_NULL_HANDLE;
            bool replaced = false;
            guarded(L"vkQueuePresentKHR", [&] {
                if (info != nullptr && !self.stopped()) {
                    frame.lock();
                    replaced = self.beforePresent(queue, *info, ours, wait);
                }
            });
            VkResult result = real(queue, replaced ? &ours : info);
            guarded(L"vkQueuePresentKHR", [&] {
                if (frame.owns_lock()) {
                    result = self.afterPresent(*info, result);
                }
            });
            return result;
        },
        queue, info);
}

}  // namespace Overlay
