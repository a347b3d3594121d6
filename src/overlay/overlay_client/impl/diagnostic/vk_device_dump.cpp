#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/diagnostic/vk_device_dump.h"

namespace Overlay {
namespace {

std::wstring versionText(uint32_t version)
{
    return std::to_wstring(VK_API_VERSION_MAJOR(version)) + L"." + std::to_wstring(VK_API_VERSION_MINOR(version)) +
           L"." + std::to_wstring(VK_API_VERSION_PATCH(version));
}

const wchar_t* typeText(VkPhysicalDeviceType type)
{
    switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return L"integrated GPU";
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return L"discrete GPU";
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return L"virtual GPU";
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return L"CPU";
    default: return L"other";
    }
}

const wchar_t* presentModeText(VkPresentModeKHR mode)
{
    switch (mode) {
    case VK_PRESENT_MODE_IMMEDIATE_KHR: return L"immediate";
    case VK_PRESENT_MODE_MAILBOX_KHR: return L"mailbox";
    case VK_PRESENT_MODE_FIFO_KHR: return L"FIFO";
    case VK_PRESENT_MODE_FIFO_RELAXED_KHR: return L"FIFO relaxed";
    default: return L"other";
    }
}

std::wstring hex(uint32_t value)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%04X", value);
    return text;
}

}  // namespace

void dumpVkDevice(const Rendering::RendererVk& renderer)
{
    if (!Log::Core::isEnabled(Log::Level::Info)) {
        return;
    }
    const VkPhysicalDeviceProperties& device = renderer.physicalDeviceProperties();
    const Rendering::VkSwapchainInfo& swapchain = renderer.swapchainInfo();
    LOG_INFO(L"=== Vulkan Graphics Device Dump Start ===");
    LOG_INFO(L"Device: %0 (%1), vendor %2, device %3", std::string(device.deviceName), typeText(device.deviceType),
             hex(device.vendorID), hex(device.deviceID));
    LOG_INFO(L"API version: %0, driver version: %1 (%2)", versionText(device.apiVersion),
             versionText(device.driverVersion), hex(device.driverVersion));
    LOG_INFO(L"Queue family: %0", renderer.queueFamily());
    LOG_INFO(L"Swap chain: format %0, %1x%2, %3 images (at least %4 asked for), present mode %5",
             static_cast<int>(swapchain.format), swapchain.extent.width, swapchain.extent.height,
             static_cast<uint32_t>(swapchain.images.size()), swapchain.minImageCount,
             presentModeText(swapchain.presentMode));
    if (swapchain.viewFormat != VK_FORMAT_UNDEFINED && swapchain.viewFormat != swapchain.format) {
        LOG_INFO(L"Drawn into through format %0 (the swap chain was made with a mutable format)",
                 static_cast<int>(swapchain.viewFormat));
    }
    LOG_INFO(L"=== Vulkan Graphics Device Dump End ===");
}

}  // namespace Overlay
