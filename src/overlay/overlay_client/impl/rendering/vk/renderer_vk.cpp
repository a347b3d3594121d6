#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/vk/renderer_vk.h"

#include <cmath>
#include <cstring>

// SPIR-V compiled from shaders/ at build time.
#include "vk_shaders/quad_vert.h"
#include "vk_shaders/solid_frag.h"
#include "vk_shaders/textured_frag.h"

namespace Overlay::Rendering {

// X(name): the functions we call, by the level they are loaded at.
#define OVERLAY_VK_INSTANCE_FUNCTIONS(X)                                                                               \
    X(vkGetPhysicalDeviceMemoryProperties)                                                                             \
    X(vkGetPhysicalDeviceProperties)
#define OVERLAY_VK_DEVICE_FUNCTIONS(X)                                                                                 \
    X(vkCreateCommandPool)                                                                                             \
    X(vkDestroyCommandPool)                                                                                            \
    X(vkAllocateCommandBuffers)                                                                                        \
    X(vkBeginCommandBuffer)                                                                                            \
    X(vkEndCommandBuffer)                                                                                              \
    X(vkResetCommandBuffer)                                                                                            \
    X(vkQueueSubmit)                                                                                                   \
    X(vkCreateFence)                                                                                                   \
    X(vkDestroyFence)                                                                                                  \
    X(vkWaitForFences)                                                                                                 \
    X(vkResetFences)                                                                                                   \
    X(vkCreateSemaphore)                                                                                               \
    X(vkDestroySemaphore)                                                                                              \
    X(vkCreateImage)                                                                                                   \
    X(vkDestroyImage)                                                                                                  \
    X(vkCreateImageView)                                                                                               \
    X(vkDestroyImageView)                                                                                              \
    X(vkCreateBuffer)                                                                                                  \
    X(vkDestroyBuffer)                                                                                                 \
    X(vkGetImageMemoryRequirements)                                                                                    \
    X(vkGetBufferMemoryRequirements)                                                                                   \
    X(vkAllocateMemory)                                                                                                \
    X(vkFreeMemory)                                                                                                    \
    X(vkBindImageMemory)                                                                                               \
    X(vkBindBufferMemory)                                                                                              \
    X(vkMapMemory)                                                                                                     \
    X(vkUnmapMemory)                                                                                                   \
    X(vkCreateRenderPass)                                                                                              \
    X(vkDestroyRenderPass)                                                                                             \
    X(vkCreateFramebuffer)                                                                                             \
    X(vkDestroyFramebuffer)                                                                                            \
    X(vkCreateShaderModule)                                                                                            \
    X(vkDestroyShaderModule)                                                                                           \
    X(vkCreateDescriptorSetLayout)                                                                                     \
    X(vkDestroyDescriptorSetLayout)                                                                                    \
    X(vkCreateDescriptorPool)                                                                                          \
    X(vkDestroyDescriptorPool)                                                                                         \
    X(vkAllocateDescriptorSets)                                                                                        \
    X(vkUpdateDescriptorSets)                                                                                          \
    X(vkCreatePipelineLayout)                                                                                          \
    X(vkDestroyPipelineLayout)                                                                                         \
    X(vkCreateGraphicsPipelines)                                                                                       \
    X(vkDestroyPipeline)                                                                                               \
    X(vkCreateSampler)                                                                                                 \
    X(vkDestroySampler)                                                                                                \
    X(vkCmdBeginRenderPass)                                                                                            \
    X(vkCmdEndRenderPass)                                                                                              \
    X(vkCmdBindPipeline)                                                                                               \
    X(vkCmdBindDescriptorSets)                                                                                         \
    X(vkCmdPushConstants)                                                                                              \
    X(vkCmdSetViewport)                                                                                                \
    X(vkCmdSetScissor)                                                                                                 \
    X(vkCmdDraw)                                                                                                       \
    X(vkCmdPipelineBarrier)                                                                                            \
    X(vkCmdCopyBufferToImage)

namespace {

// A wait for the GPU that takes longer than this is a hung device: the game must not hang in our code.
const uint64_t gpuWaitNs = 1000ull * 1000 * 1000;

std::string resultText(VkResult result)
{
    const char* name = "VkResult";
    switch (result) {
    case VK_TIMEOUT: name = "VK_TIMEOUT"; break;
    case VK_ERROR_OUT_OF_HOST_MEMORY: name = "VK_ERROR_OUT_OF_HOST_MEMORY"; break;
    case VK_ERROR_OUT_OF_DEVICE_MEMORY: name = "VK_ERROR_OUT_OF_DEVICE_MEMORY"; break;
    case VK_ERROR_INITIALIZATION_FAILED: name = "VK_ERROR_INITIALIZATION_FAILED"; break;
    case VK_ERROR_DEVICE_LOST: name = "VK_ERROR_DEVICE_LOST"; break;
    case VK_ERROR_MEMORY_MAP_FAILED: name = "VK_ERROR_MEMORY_MAP_FAILED"; break;
    case VK_ERROR_FORMAT_NOT_SUPPORTED: name = "VK_ERROR_FORMAT_NOT_SUPPORTED"; break;
    case VK_ERROR_OUT_OF_POOL_MEMORY: name = "VK_ERROR_OUT_OF_POOL_MEMORY"; break;
    default: break;
    }
    return std::string(name) + " (" + std::to_string(static_cast<int>(result)) + ")";
}

void check(VkResult result, const char* call)
{
    if (result != VK_SUCCESS) {
        throw std::runtime_error(std::string(call) + " failed: " + resultText(result));
    }
}

bool isSrgb(VkFormat format)
{
    return format == VK_FORMAT_B8G8R8A8_SRGB || format == VK_FORMAT_R8G8B8A8_SRGB ||
           format == VK_FORMAT_A8B8G8R8_SRGB_PACK32;
}

}  // namespace

ColorF blendInLinearLight(const ColorF& color)
{
    auto linear = [](float c) { return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f); };
    return {linear(color.r), linear(color.g), linear(color.b), 1.0f - std::pow(1.0f - color.a, 2.2f)};
}

struct VkContext
{
    struct Functions
    {
#define OVERLAY_VK_MEMBER(name) PFN_##name name = nullptr;
        OVERLAY_VK_INSTANCE_FUNCTIONS(OVERLAY_VK_MEMBER)
        OVERLAY_VK_DEVICE_FUNCTIONS(OVERLAY_VK_MEMBER)
#undef OVERLAY_VK_MEMBER
    };

    VkContext(const VkDeviceInfo& info, uint32_t slots) : device(info.device)
    {
        if (!info.getInstanceProcAddr || !info.getDeviceProcAddr || !info.device) {
            throw std::runtime_error("the game's Vulkan device is unknown");
        }
#define OVERLAY_VK_LOAD(name, address)                                                                                 \
    vk.name = reinterpret_cast<PFN_##name>(address);                                                                   \
    if (!vk.name) {                                                                                                    \
        throw std::runtime_error(#name " is not available");                                                           \
    }
#define OVERLAY_VK_INSTANCE(name) OVERLAY_VK_LOAD(name, info.getInstanceProcAddr(info.instance, #name))
#define OVERLAY_VK_DEVICE(name) OVERLAY_VK_LOAD(name, info.getDeviceProcAddr(info.device, #name))
        OVERLAY_VK_INSTANCE_FUNCTIONS(OVERLAY_VK_INSTANCE)
        OVERLAY_VK_DEVICE_FUNCTIONS(OVERLAY_VK_DEVICE)
#undef OVERLAY_VK_DEVICE
#undef OVERLAY_VK_INSTANCE
#undef OVERLAY_VK_LOAD
        vk.vkGetPhysicalDeviceMemoryProperties(info.physicalDevice, &memory);
        vk.vkGetPhysicalDeviceProperties(info.physicalDevice, &properties);
        fences.reserve(slots);
        for (uint32_t i = 0; i < slots; ++i) {
            VkFenceCreateInfo create = {VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
            VkFence fence = VK_NULL_HANDLE;
            if (const VkResult result = vk.vkCreateFence(device, &create, nullptr, &fence); result != VK_SUCCESS) {
                destroyFences();
                check(result, "vkCreateFence");
            }
            fences.push_back(fence);
        }
        pending.assign(slots, 0);
    }
    ~VkContext()
    {
        if (waitFor(serial)) {
            destroyFences();
        } else {
            LOG_WARN(L"The GPU did not finish the overlay's commands in time: its fences are left");
        }
    }
    VkContext(const VkContext&) = delete;
    VkContext& operator=(const VkContext&) = delete;

    void destroyFences()
    {
        for (const VkFence fence : fences) {
            vk.vkDestroyFence(device, fence, nullptr);
        }
        fences.clear();
    }

    // Waits (bounded) for every submission up to `value`; false when the GPU did not get there.
    bool waitFor(uint64_t value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        bool done = true;
        for (size_t slot = 0; slot < pending.size(); ++slot) {
            if (pending[slot] != 0 && pending[slot] <= value) {
                if (vk.vkWaitForFences(device, 1, &fences[slot], VK_TRUE, gpuWaitNs) == VK_SUCCESS) {
                    pending[slot] = 0;
                } else {
                    done = false;
                }
            }
        }
        return done;
    }

    // The fence of a slot whose last submission is done, reset for the next; throws when it is not done in time.
    VkFence takeFence(uint32_t slot)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending[slot] != 0) {
            check(vk.vkWaitForFences(device, 1, &fences[slot], VK_TRUE, gpuWaitNs),
                  "vkWaitForFences for the overlay's previous submission on this image");
            pending[slot] = 0;
        }
        check(vk.vkResetFences(device, 1, &fences[slot]), "vkResetFences");
        return fences[slot];
    }

    // The serial the next submission gets: what a bitmap recorded into it waits for.
    uint64_t next()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return serial + 1;
    }
    void submitted(uint32_t slot)
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending[slot] = ++serial;
    }

    uint32_t memoryType(uint32_t allowed, VkMemoryPropertyFlags wanted) const
    {
        for (uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
            if ((allowed & (1u << i)) && (memory.memoryTypes[i].propertyFlags & wanted) == wanted) {
                return i;
            }
        }
        throw std::runtime_error("no Vulkan memory type fits the overlay's bitmap");
    }

    VkDevice device;
    Functions vk;
    VkPhysicalDeviceMemoryProperties memory = {};
    VkPhysicalDeviceProperties properties = {};
    std::mutex mutex;  // bitmaps wait from whatever thread updates or drops them
    std::vector<VkFence> fences;
    std::vector<uint64_t> pending;  // per slot: the serial of its submission not known done, else 0
    uint64_t serial = 0;
};

namespace {

void imageBarrier(const VkContext& context, VkCommandBuffer commands, VkImage image, VkImageLayout from,
                  VkImageLayout to, VkAccessFlags srcAccess, VkAccessFlags dstAccess, VkPipelineStageFlags srcStage,
                  VkPipelineStageFlags dstStage)
{
    VkImageMemoryBarrier barrier = {VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
    barrier.srcAccessMask = srcAccess;
    barrier.dstAccessMask = dstAccess;
    barrier.oldLayout = from;
    barrier.newLayout = to;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = image;
    barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    context.vk.vkCmdPipelineBarrier(commands, srcStage, dstStage, 0, 0, nullptr, 0, nullptr, 1, &barrier);
}

VkDeviceMemory allocateFor(const VkContext& context, const VkMemoryRequirements& requirements,
                           VkMemoryPropertyFlags wanted)
{
    VkMemoryAllocateInfo allocate = {VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    allocate.allocationSize = requirements.size;
    allocate.memoryTypeIndex = context.memoryType(requirements.memoryTypeBits, wanted);
    VkDeviceMemory memory = VK_NULL_HANDLE;
    check(context.vk.vkAllocateMemory(context.device, &allocate, nullptr, &memory), "vkAllocateMemory");
    return memory;
}

VkShaderModule shaderModule(const VkContext& context, const uint32_t* code, size_t bytes)
{
    VkShaderModuleCreateInfo create = {VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    create.codeSize = bytes;
    create.pCode = code;
    VkShaderModule module = VK_NULL_HANDLE;
    check(context.vk.vkCreateShaderModule(context.device, &create, nullptr, &module), "vkCreateShaderModule");
    return module;
}

// Push constants of a quad: its rectangle in clip space, then the fill colour.
struct QuadConstants
{
    float rect[4];
    float color[4];
};

}  // namespace

// --- BitmapVk -----------------------------------------------------------------------------------

BitmapVk::BitmapVk(std::shared_ptr<VkContext> context, const SizeU& size, VkFormat format, VkDescriptorSetLayout layout,
                   VkSampler sampler)
    : context_(std::move(context)), size_(size)
{
    if (size.width == 0 || size.height == 0) {
        throw std::runtime_error("a bitmap of no size");
    }
    const VkContext& c = *context_;
    const VkDevice device = c.device;
    try {
        VkImageCreateInfo image = {VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
        image.imageType = VK_IMAGE_TYPE_2D;
        image.format = format;
        image.extent = {size.width, size.height, 1};
        image.mipLevels = 1;
        image.arrayLayers = 1;
        image.samples = VK_SAMPLE_COUNT_1_BIT;
        image.tiling = VK_IMAGE_TILING_OPTIMAL;
        image.usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
        image.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
        image.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        check(c.vk.vkCreateImage(device, &image, nullptr, &image_), "vkCreateImage");
        VkMemoryRequirements requirements = {};
        c.vk.vkGetImageMemoryRequirements(device, image_, &requirements);
        imageMemory_ = allocateFor(c, requirements, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
        check(c.vk.vkBindImageMemory(device, image_, imageMemory_, 0), "vkBindImageMemory");

        VkImageViewCreateInfo view = {VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
        view.image = image_;
        view.viewType = VK_IMAGE_VIEW_TYPE_2D;
        view.format = format;
        view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        check(c.vk.vkCreateImageView(device, &view, nullptr, &view_), "vkCreateImageView");

        // Laid out as the whole bitmap, rows packed: a partial update lands at its place in it.
        VkBufferCreateInfo buffer = {VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
        buffer.size = VkDeviceSize(size.width) * size.height * 4;
        buffer.usage = VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
        buffer.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
        check(c.vk.vkCreateBuffer(device, &buffer, nullptr, &buffer_), "vkCreateBuffer");
        c.vk.vkGetBufferMemoryRequirements(device, buffer_, &requirements);
        bufferMemory_ =
            allocateFor(c, requirements, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
        check(c.vk.vkBindBufferMemory(device, buffer_, bufferMemory_, 0), "vkBindBufferMemory");
        void* mapped = nullptr;
        check(c.vk.vkMapMemory(device, bufferMemory_, 0, VK_WHOLE_SIZE, 0, &mapped), "vkMapMemory");
        mapped_ = static_cast<uint8_t*>(mapped);

        // A pool of its own: any number of bitmaps, each freed with its set.
        VkDescriptorPoolSize poolSize = {VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1};
        VkDescriptorPoolCreateInfo pool = {VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
        pool.maxSets = 1;
        pool.poolSizeCount = 1;
        pool.pPoolSizes = &poolSize;
        check(c.vk.vkCreateDescriptorPool(device, &pool, nullptr, &pool_), "vkCreateDescriptorPool");
        VkDescriptorSetAllocateInfo allocate = {VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
        allocate.descriptorPool = pool_;
        allocate.descriptorSetCount = 1;
        allocate.pSetLayouts = &layout;
        check(c.vk.vkAllocateDescriptorSets(device, &allocate, &set_), "vkAllocateDescriptorSets");
        VkDescriptorImageInfo texture = {sampler, view_, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
        VkWriteDescriptorSet write = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
        write.dstSet = set_;
        write.descriptorCount = 1;
        write.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
        write.pImageInfo = &texture;
        c.vk.vkUpdateDescriptorSets(device, 1, &write, 0, nullptr);
    } catch (...) {
        release();
        throw;
    }
}

BitmapVk::~BitmapVk()
{
    // The GPU may still copy from the buffer or sample the image.
    if (!context_->waitFor(lastUse_)) {
        LOG_WARN(L"The GPU did not finish with an overlay bitmap in time: it is left");
        return;
    }
    release();
}

void BitmapVk::release()
{
    const VkContext& c = *context_;
    if (pool_) {
        c.vk.vkDestroyDescriptorPool(c.device, pool_, nullptr);
    }
    if (mapped_) {
        c.vk.vkUnmapMemory(c.device, bufferMemory_);
    }
    c.vk.vkDestroyBuffer(c.device, buffer_, nullptr);
    c.vk.vkFreeMemory(c.device, bufferMemory_, nullptr);
    c.vk.vkDestroyImageView(c.device, view_, nullptr);
    c.vk.vkDestroyImage(c.device, image_, nullptr);
    c.vk.vkFreeMemory(c.device, imageMemory_, nullptr);
    pool_ = VK_NULL_HANDLE;
    mapped_ = nullptr;
    buffer_ = VK_NULL_HANDLE;
    bufferMemory_ = VK_NULL_HANDLE;
    view_ = VK_NULL_HANDLE;
    image_ = VK_NULL_HANDLE;
    imageMemory_ = VK_NULL_HANDLE;
}

void BitmapVk::update(const void* pixels, uint32_t pitch, const RectI* dstRect)
{
    const RectI whole = {0, 0, static_cast<int32_t>(size_.width), static_cast<int32_t>(size_.height)};
    const RectI rect = dstRect ? *dstRect : whole;
    if (rect.left < 0 || rect.top < 0 || rect.right > whole.right || rect.bottom > whole.bottom || rect.width() <= 0 ||
        rect.height() <= 0) {
        throw std::runtime_error("bitmap update outside the bitmap");
    }
    const size_t rowBytes = size_t(rect.width()) * 4;
    if (pitch < rowBytes) {
        throw std::runtime_error("bitmap update with rows shorter than the rectangle");
    }
    // The last copy out of the buffer must be done before it is written again (only that one: a frame
    // that just drew the bitmap is not waited for).
    if (!context_->waitFor(lastUpload_)) {
        throw std::runtime_error("the GPU did not finish the overlay bitmap's last upload in time");
    }
    const size_t bufferPitch = size_t(size_.width) * 4;
    const size_t offset = size_t(rect.top) * bufferPitch + size_t(rect.left) * 4;
    const auto* source = static_cast<const uint8_t*>(pixels);
    for (int32_t row = 0; row < rect.height(); ++row) {
        std::memcpy(mapped_ + offset + row * bufferPitch, source + size_t(row) * pitch, rowBytes);
    }
    if (!dstRect) {
        pending_.clear();  // the whole bitmap replaces whatever was pending
    }
    VkBufferImageCopy copy = {};
    copy.bufferOffset = offset;
    copy.bufferRowLength = size_.width;
    copy.bufferImageHeight = size_.height;
    copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    copy.imageOffset = {rect.left, rect.top, 0};
    copy.imageExtent = {uint32_t(rect.width()), uint32_t(rect.height()), 1};
    pending_.push_back(copy);
}

bool BitmapVk::recordUpload(VkCommandBuffer commands)
{
    if (pending_.empty()) {
        return false;
    }
    const VkContext& c = *context_;
    // Undefined before the first upload: what was not written yet is not kept.
    imageBarrier(c, commands, image_, readable_ ? VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL : VK_IMAGE_LAYOUT_UNDEFINED,
                 VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_ACCESS_SHADER_READ_BIT, VK_ACCESS_TRANSFER_WRITE_BIT,
                 VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
    c.vk.vkCmdCopyBufferToImage(commands, buffer_, image_, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                                static_cast<uint32_t>(pending_.size()), pending_.data());
    imageBarrier(c, commands, image_, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
                 VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
                 VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT);
    pending_.clear();
    readable_ = true;
    lastUpload_ = context_->next();
    return true;
}

void BitmapVk::markUsed()
{
    lastUse_ = context_->next();
}

// --- RendererVk ---------------------------------------------------------------------------------

RendererVk::RendererVk(const VkDeviceInfo& device, uint32_t queueFamily, const VkSwapchainInfo& swapchain)
    : device_(device), queueFamily_(queueFamily), swapchain_(swapchain)
{
    LOG_INFO(L"Create RendererVk: %0", static_cast<const void*>(this));
    const uint32_t count = static_cast<uint32_t>(swapchain_.images.size());
    if (count == 0) {
        throw std::runtime_error("a swap chain without images");
    }
    context_ = std::make_shared<VkContext>(device_, count);
    viewFormat_ = swapchain_.viewFormat != VK_FORMAT_UNDEFINED ? swapchain_.viewFormat : swapchain_.format;
    try {
        const VkContext& c = *context_;
        VkCommandPoolCreateInfo pool = {VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
        pool.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
        pool.queueFamilyIndex = queueFamily_;
        check(c.vk.vkCreateCommandPool(c.device, &pool, nullptr, &pool_), "vkCreateCommandPool");
        commands_.resize(count);
        VkCommandBufferAllocateInfo allocate = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
        allocate.commandPool = pool_;
        allocate.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        allocate.commandBufferCount = count;
        check(c.vk.vkAllocateCommandBuffers(c.device, &allocate, commands_.data()), "vkAllocateCommandBuffers");

        // Loads and keeps the game's image; the present finds it in the layout it was given in.
        VkAttachmentDescription colour = {};
        colour.format = viewFormat_;
        colour.samples = VK_SAMPLE_COUNT_1_BIT;
        colour.loadOp = VK_ATTACHMENT_LOAD_OP_LOAD;
        colour.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
        colour.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
        colour.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
        colour.initialLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
        colour.finalLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
        VkAttachmentReference reference = {0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
        VkSubpassDescription subpass = {};
        subpass.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
        subpass.colorAttachmentCount = 1;
        subpass.pColorAttachments = &reference;
        // After the game's rendering (the semaphores are waited for at this stage) and after our own
        // drawing before a bitmap's upload closed the pass.
        VkSubpassDependency dependency = {};
        dependency.srcSubpass = VK_SUBPASS_EXTERNAL;
        dependency.dstSubpass = 0;
        dependency.srcStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
        dependency.dstStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
        dependency.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
        dependency.dstAccessMask = VK_ACCESS_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
        VkRenderPassCreateInfo pass = {VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO};
        pass.attachmentCount = 1;
        pass.pAttachments = &colour;
        pass.subpassCount = 1;
        pass.pSubpasses = &subpass;
        pass.dependencyCount = 1;
        pass.pDependencies = &dependency;
        check(c.vk.vkCreateRenderPass(c.device, &pass, nullptr, &renderPass_), "vkCreateRenderPass");

        VkSemaphoreCreateInfo semaphore = {VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
        for (const VkImage image : swapchain_.images) {
            VkImageViewCreateInfo view = {VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
            view.image = image;
            view.viewType = VK_IMAGE_VIEW_TYPE_2D;
            view.format = viewFormat_;
            view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
            views_.push_back(VK_NULL_HANDLE);
            check(c.vk.vkCreateImageView(c.device, &view, nullptr, &views_.back()), "vkCreateImageView");
            VkFramebufferCreateInfo framebuffer = {VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO};
            framebuffer.renderPass = renderPass_;
            framebuffer.attachmentCount = 1;
            framebuffer.pAttachments = &views_.back();
            framebuffer.width = swapchain_.extent.width;
            framebuffer.height = swapchain_.extent.height;
            framebuffer.layers = 1;
            framebuffers_.push_back(VK_NULL_HANDLE);
            check(c.vk.vkCreateFramebuffer(c.device, &framebuffer, nullptr, &framebuffers_.back()),
                  "vkCreateFramebuffer");
            signals_.push_back(VK_NULL_HANDLE);
            check(c.vk.vkCreateSemaphore(c.device, &semaphore, nullptr, &signals_.back()), "vkCreateSemaphore");
        }

        VkSamplerCreateInfo sampler = {VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO};
        sampler.magFilter = VK_FILTER_LINEAR;
        sampler.minFilter = VK_FILTER_LINEAR;
        sampler.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
        // Clamped: linear filtering does not wrap the bitmap's edges around.
        sampler.addressModeU = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
        sampler.addressModeV = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
        sampler.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
        check(c.vk.vkCreateSampler(c.device, &sampler, nullptr, &sampler_), "vkCreateSampler");
        VkDescriptorSetLayoutBinding binding = {};
        binding.binding = 0;
        binding.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
        binding.descriptorCount = 1;
        binding.stageFlags = VK_SHADER_STAGE_FRAGMENT_BIT;
        VkDescriptorSetLayoutCreateInfo setLayout = {VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
        setLayout.bindingCount = 1;
        setLayout.pBindings = &binding;
        check(c.vk.vkCreateDescriptorSetLayout(c.device, &setLayout, nullptr, &setLayout_),
              "vkCreateDescriptorSetLayout");
        VkPushConstantRange constants = {VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                                         sizeof(QuadConstants)};
        VkPipelineLayoutCreateInfo layout = {VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
        layout.setLayoutCount = 1;
        layout.pSetLayouts = &setLayout_;
        layout.pushConstantRangeCount = 1;
        layout.pPushConstantRanges = &constants;
        check(c.vk.vkCreatePipelineLayout(c.device, &layout, nullptr, &pipelineLayout_), "vkCreatePipelineLayout");
        createPipelines();
    } catch (...) {
        destroy();
        throw;
    }
}

RendererVk::~RendererVk()
{
    LOG_INFO(L"Destroy RendererVk: %0", static_cast<const void*>(this));
    destroy();
}

void RendererVk::destroy()
{
    // Before anything goes: the GPU may still run our command buffers.
    if (!context_->waitFor(UINT64_MAX)) {
        LOG_WARN(L"The GPU did not finish the overlay's commands in time: the renderer's objects are left");
        return;
    }
    const VkContext& c = *context_;
    c.vk.vkDestroyPipeline(c.device, texturedPipeline_, nullptr);
    c.vk.vkDestroyPipeline(c.device, solidPipeline_, nullptr);
    c.vk.vkDestroyPipelineLayout(c.device, pipelineLayout_, nullptr);
    c.vk.vkDestroyDescriptorSetLayout(c.device, setLayout_, nullptr);
    c.vk.vkDestroySampler(c.device, sampler_, nullptr);
    for (size_t i = 0; i < views_.size(); ++i) {
        c.vk.vkDestroyFramebuffer(c.device, i < framebuffers_.size() ? framebuffers_[i] : VK_NULL_HANDLE, nullptr);
        c.vk.vkDestroyImageView(c.device, views_[i], nullptr);
    }
    for (const VkSemaphore semaphore : signals_) {
        c.vk.vkDestroySemaphore(c.device, semaphore, nullptr);
    }
    c.vk.vkDestroyRenderPass(c.device, renderPass_, nullptr);
    // The command buffers go with their pool.
    c.vk.vkDestroyCommandPool(c.device, pool_, nullptr);
    texturedPipeline_ = solidPipeline_ = VK_NULL_HANDLE;
    pipelineLayout_ = VK_NULL_HANDLE;
    setLayout_ = VK_NULL_HANDLE;
    sampler_ = VK_NULL_HANDLE;
    renderPass_ = VK_NULL_HANDLE;
    pool_ = VK_NULL_HANDLE;
    framebuffers_.clear();
    views_.clear();
    signals_.clear();
    commands_.clear();
}

void RendererVk::createPipelines()
{
    const VkContext& c = *context_;
    const VkShaderModule vertex = shaderModule(c, quad_vert, sizeof quad_vert);
    VkShaderModule solid = VK_NULL_HANDLE;
    VkShaderModule textured = VK_NULL_HANDLE;
    try {
        solid = shaderModule(c, solid_frag, sizeof solid_frag);
        textured = shaderModule(c, textured_frag, sizeof textured_frag);

        VkPipelineShaderStageCreateInfo stages[2] = {{VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO},
                                                     {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO}};
        stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
        stages[0].module = vertex;
        stages[0].pName = "main";
        stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
        stages[1].pName = "main";
        VkPipelineVertexInputStateCreateInfo input = {VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
        VkPipelineInputAssemblyStateCreateInfo assembly = {VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
        assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP;
        VkPipelineViewportStateCreateInfo viewport = {VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
        viewport.viewportCount = 1;
        viewport.scissorCount = 1;
        VkPipelineRasterizationStateCreateInfo raster = {VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
        raster.polygonMode = VK_POLYGON_MODE_FILL;
        raster.cullMode = VK_CULL_MODE_NONE;
        raster.lineWidth = 1.0f;
        VkPipelineMultisampleStateCreateInfo multisample = {VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
        multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
        VkPipelineColorBlendAttachmentState blend = {};
        blend.colorWriteMask =
            VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
        VkPipelineColorBlendStateCreateInfo blending = {VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
        blending.attachmentCount = 1;
        blending.pAttachments = &blend;
        const VkDynamicState dynamic[] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
        VkPipelineDynamicStateCreateInfo dynamicState = {VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO};
        dynamicState.dynamicStateCount = 2;
        dynamicState.pDynamicStates = dynamic;
        VkGraphicsPipelineCreateInfo pipeline = {VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO};
        pipeline.stageCount = 2;
        pipeline.pStages = stages;
        pipeline.pVertexInputState = &input;
        pipeline.pInputAssemblyState = &assembly;
        pipeline.pViewportState = &viewport;
        pipeline.pRasterizationState = &raster;
        pipeline.pMultisampleState = &multisample;
        pipeline.pColorBlendState = &blending;
        pipeline.pDynamicState = &dynamicState;
        pipeline.layout = pipelineLayout_;
        pipeline.renderPass = renderPass_;

        // The frame replaces the pixels it covers.
        stages[1].module = textured;
        check(c.vk.vkCreateGraphicsPipelines(c.device, VK_NULL_HANDLE, 1, &pipeline, nullptr, &texturedPipeline_),
              "vkCreateGraphicsPipelines");
        // The fill colour blended by its alpha; the image's alpha kept (a swap chain that composes
        // by alpha would otherwise show the game through).
        blend.blendEnable = VK_TRUE;
        blend.srcColorBlendFactor = VK_BLEND_FACTOR_SRC_ALPHA;
        blend.dstColorBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
        blend.colorBlendOp = VK_BLEND_OP_ADD;
        blend.srcAlphaBlendFactor = VK_BLEND_FACTOR_ZERO;
        blend.dstAlphaBlendFactor = VK_BLEND_FACTOR_ONE;
        blend.alphaBlendOp = VK_BLEND_OP_ADD;
        stages[1].module = solid;
        check(c.vk.vkCreateGraphicsPipelines(c.device, VK_NULL_HANDLE, 1, &pipeline, nullptr, &solidPipeline_),
              "vkCreateGraphicsPipelines");
    } catch (...) {
        c.vk.vkDestroyShaderModule(c.device, textured, nullptr);
        c.vk.vkDestroyShaderModule(c.device, solid, nullptr);
        c.vk.vkDestroyShaderModule(c.device, vertex, nullptr);
        throw;
    }
    c.vk.vkDestroyShaderModule(c.device, textured, nullptr);
    c.vk.vkDestroyShaderModule(c.device, solid, nullptr);
    c.vk.vkDestroyShaderModule(c.device, vertex, nullptr);
}

const VkPhysicalDeviceProperties& RendererVk::physicalDeviceProperties() const
{
    return context_->properties;
}

void RendererVk::setFrame(VkQueue queue, uint32_t imageIndex, const VkSemaphore* waits, uint32_t waitCount)
{
    if (imageIndex >= commands_.size()) {
        throw std::runtime_error("swap chain image index out of range");
    }
    if (queue_ && queue != queue_) {
        // Our layouts and uploads are ordered by one queue: what went to the other one finishes first.
        context_->waitFor(UINT64_MAX);
    }
    queue_ = queue;
    imageIndex_ = imageIndex;
    waits_.assign(waits, waits + waitCount);
    submitted_ = false;
}

void RendererVk::beginDraw()
{
    if (recording_) {
        throw std::logic_error("RendererVk: beginDraw twice");
    }
    if (!queue_) {
        throw std::logic_error("RendererVk: beginDraw before setFrame");
    }
    submitted_ = false;
    const VkContext& c = *context_;
    const VkCommandBuffer commands = commands_[imageIndex_];
    context_->takeFence(imageIndex_);
    check(c.vk.vkResetCommandBuffer(commands, 0), "vkResetCommandBuffer");
    VkCommandBufferBeginInfo begin = {VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    check(c.vk.vkBeginCommandBuffer(commands, &begin), "vkBeginCommandBuffer");
    recording_ = true;
}

void RendererVk::openRenderPass()
{
    if (passOpen_) {
        return;
    }
    const VkContext& c = *context_;
    const VkCommandBuffer commands = commands_[imageIndex_];
    VkRenderPassBeginInfo begin = {VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO};
    begin.renderPass = renderPass_;
    begin.framebuffer = framebuffers_[imageIndex_];
    begin.renderArea.extent = swapchain_.extent;
    c.vk.vkCmdBeginRenderPass(commands, &begin, VK_SUBPASS_CONTENTS_INLINE);
    const VkViewport viewport = {0.0f, 0.0f, float(swapchain_.extent.width), float(swapchain_.extent.height),
                                 0.0f, 1.0f};
    c.vk.vkCmdSetViewport(commands, 0, 1, &viewport);
    const VkRect2D scissor = {{0, 0}, swapchain_.extent};
    c.vk.vkCmdSetScissor(commands, 0, 1, &scissor);
    passOpen_ = true;
}

void RendererVk::closeRenderPass()
{
    if (passOpen_) {
        context_->vk.vkCmdEndRenderPass(commands_[imageIndex_]);
        passOpen_ = false;
    }
}

void RendererVk::endDraw()
{
    if (!recording_) {
        return;  // beginDraw failed before recording anything
    }
    recording_ = false;
    const VkContext& c = *context_;
    const VkCommandBuffer commands = commands_[imageIndex_];
    // Even with nothing drawn the pass runs: the semaphores need a submission to pass through.
    openRenderPass();
    closeRenderPass();
    check(c.vk.vkEndCommandBuffer(commands), "vkEndCommandBuffer");
    const std::vector<VkPipelineStageFlags> stages(waits_.size(), VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT);
    VkSubmitInfo submit = {VK_STRUCTURE_TYPE_SUBMIT_INFO};
    submit.waitSemaphoreCount = static_cast<uint32_t>(waits_.size());
    submit.pWaitSemaphores = waits_.data();
    submit.pWaitDstStageMask = stages.data();
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands;
    submit.signalSemaphoreCount = 1;
    submit.pSignalSemaphores = &signals_[imageIndex_];
    check(c.vk.vkQueueSubmit(queue_, 1, &submit, context_->fences[imageIndex_]), "vkQueueSubmit");
    context_->submitted(imageIndex_);
    submitted_ = true;
}

VkSemaphore RendererVk::signalSemaphore() const
{
    return submitted_ ? signals_[imageIndex_] : VK_NULL_HANDLE;
}

std::shared_ptr<Bitmap> RendererVk::createBitmap(const SizeU& size)
{
    // Sampled through an sRGB view when drawn into one: the bytes come out as they went in.
    const VkFormat format = isSrgb(viewFormat_) ? VK_FORMAT_B8G8R8A8_SRGB : VK_FORMAT_B8G8R8A8_UNORM;
    return std::make_shared<BitmapVk>(context_, size, format, setLayout_, sampler_);
}

void RendererVk::drawQuad(VkPipeline pipeline, const RectI& dst, const ColorF& color)
{
    if (!recording_) {
        throw std::logic_error("RendererVk: drawing outside beginDraw and endDraw");
    }
    openRenderPass();
    const VkContext& c = *context_;
    const VkCommandBuffer commands = commands_[imageIndex_];
    const float width = float(swapchain_.extent.width);
    const float height = float(swapchain_.extent.height);
    const QuadConstants constants = {{2.0f * float(dst.left) / width - 1.0f, 2.0f * float(dst.top) / height - 1.0f,
                                      2.0f * float(dst.right) / width - 1.0f, 2.0f * float(dst.bottom) / height - 1.0f},
                                     {color.r, color.g, color.b, color.a}};
    c.vk.vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
    c.vk.vkCmdPushConstants(commands, pipelineLayout_, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                            sizeof constants, &constants);
    c.vk.vkCmdDraw(commands, 4, 1, 0, 0);
}

void RendererVk::drawBitmap(Bitmap& bitmap, const RectI& dst)
{
    auto& texture = dynamic_cast<BitmapVk&>(bitmap);
    if (texture.context() != context_.get()) {
        throw std::logic_error("BitmapVk of another renderer");
    }
    if (!texture.everUploaded()) {
        throw std::logic_error("BitmapVk drawn before its first update");
    }
    if (!recording_) {
        throw std::logic_error("RendererVk: drawing outside beginDraw and endDraw");
    }
    if (texture.uploadPending()) {
        // Copies are not allowed inside a render pass: the pass is closed for it and opened again
        // (it loads what was drawn so far).
        closeRenderPass();
        texture.recordUpload(commands_[imageIndex_]);
    }
    texture.markUsed();
    openRenderPass();
    const VkDescriptorSet set = texture.descriptorSet();
    context_->vk.vkCmdBindDescriptorSets(commands_[imageIndex_], VK_PIPELINE_BIND_POINT_GRAPHICS, pipelineLayout_, 0, 1,
                                         &set, 0, nullptr);
    drawQuad(texturedPipeline_, dst, {});
}

void RendererVk::fillRect(const RectI& dst, const ColorF& color)
{
    drawQuad(solidPipeline_, dst, isSrgb(viewFormat_) ? blendInLinearLight(color) : color);
}

}  // namespace Overlay::Rendering
