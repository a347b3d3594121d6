#pragma once
// Draws the overlay with Vulkan into the swap chain image a game is about to present, inside its
// vkQueuePresentKHR on the presenting thread: one command buffer of our own per swap chain image,
// submitted on the game's queue after the game's rendering (it waits on the semaphores the game gave
// the present) and signalling a semaphore of ours that the present waits on instead.
// A render pass that loads and keeps the image, in the present layout before and after: nothing of
// the game's state is touched, command buffers carry none. Quads are placed by push constants; the
// darkening is a blended solid quad, a bitmap an opaque textured one.
//
// Every device function comes through the game's vkGetDeviceProcAddr: the DLL imports no Vulkan.
// An sRGB swap chain is drawn through an sRGB view (the image's own format: a view of another one
// needs a mutable-format swap chain): the bitmap's bytes land as they are, the darkening is done in
// linear light, so the stored values keep about 68 % rather than 40 %.

#include "overlay/overlay_client/impl/rendering/renderer.h"

#include <vulkan/vulkan.h>

#include <memory>
#include <vector>

namespace Overlay::Rendering {

// What the hook recorded of the game's device (all borrowed, the game's).
struct VkDeviceInfo
{
    VkInstance instance = VK_NULL_HANDLE;
    VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
    VkDevice device = VK_NULL_HANDLE;
    PFN_vkGetInstanceProcAddr getInstanceProcAddr = nullptr;
    PFN_vkGetDeviceProcAddr getDeviceProcAddr = nullptr;
};

// What the hook recorded of the game's swap chain (borrowed).
struct VkSwapchainInfo
{
    VkSwapchainKHR swapchain = VK_NULL_HANDLE;
    VkFormat format = VK_FORMAT_UNDEFINED;
    VkExtent2D extent = {0, 0};
    std::vector<VkImage> images;
    // As the game asked for them; for the device dump only.
    VkPresentModeKHR presentMode = VK_PRESENT_MODE_FIFO_KHR;
    uint32_t minImageCount = 0;
    // The format drawn through when it is not `format`: the UNORM view of an sRGB swap chain made
    // with a mutable format.
    VkFormat viewFormat = VK_FORMAT_UNDEFINED;
};

// The device's functions, our fences and what was submitted with them: shared by a renderer and
// its bitmaps.
struct VkContext;

class BitmapVk final : public Bitmap
{
public:
    // A device-local image (B8G8R8A8, sRGB when the swap chain is) and a host-visible upload buffer.
    BitmapVk(std::shared_ptr<VkContext> context, const SizeU& size, VkFormat format, VkDescriptorSetLayout layout,
             VkSampler sampler);
    ~BitmapVk() override;  // after the GPU is done with it (bounded wait)

    // Writes the pixels into the upload buffer (once the GPU is done copying from it); the copy into
    // the image is recorded when the bitmap is next drawn. Between beginDraw and endDraw on the drawing
    // thread, or outside them on any thread (the bitmap is not guarded against both at once).
    void update(const void* pixels, uint32_t pitch, const RectI* dstRect) override;
    SizeU size() const override { return size_; }

    // Records the pending copies (outside a render pass); false when there were none.
    bool recordUpload(VkCommandBuffer commands);
    // Drawn (or copied into) by the submission being recorded: kept until it is done.
    void markUsed();
    bool uploadPending() const { return !pending_.empty(); }
    bool everUploaded() const { return readable_ || !pending_.empty(); }
    VkDescriptorSet descriptorSet() const { return set_; }
    const VkContext* context() const { return context_.get(); }

private:
    void release();

    std::shared_ptr<VkContext> context_;
    SizeU size_;
    VkImage image_ = VK_NULL_HANDLE;
    VkDeviceMemory imageMemory_ = VK_NULL_HANDLE;
    VkImageView view_ = VK_NULL_HANDLE;
    VkBuffer buffer_ = VK_NULL_HANDLE;
    VkDeviceMemory bufferMemory_ = VK_NULL_HANDLE;
    uint8_t* mapped_ = nullptr;  // the upload buffer, mapped for the bitmap's life
    VkDescriptorPool pool_ = VK_NULL_HANDLE;
    VkDescriptorSet set_ = VK_NULL_HANDLE;
    std::vector<VkBufferImageCopy> pending_;
    bool readable_ = false;    // in the shader-read layout, else undefined
    uint64_t lastUpload_ = 0;  // the submission that copies out of the buffer last
    uint64_t lastUse_ = 0;     // the last one that copies or samples at all
};

// The colour to blend, written through an sRGB view, so that the result is close to blending
// `color` over the stored values: an sRGB image is blended in linear light, where darkening by a
// given alpha leaves far more of a colour's stored value. Exact for black with a power-2.2 curve.
ColorF blendInLinearLight(const ColorF& color);

class RendererVk final : public Renderer
{
public:
    // Its own command pool (for `queueFamily`), per-image command buffers, fences and semaphores,
    // image views, render pass, framebuffers, pipelines, sampler, descriptor set layout. Throws
    // std::runtime_error naming the failed call and its VkResult.
    RendererVk(const VkDeviceInfo& device, uint32_t queueFamily, const VkSwapchainInfo& swapchain);
    ~RendererVk() override;  // waits (bounded) for its own fences, then destroys all of its own

    // The frame about to be presented: its queue, the image index, and the wait semaphores the game
    // gave the present (borrowed for the call).
    void setFrame(VkQueue queue, uint32_t imageIndex, const VkSemaphore* waits, uint32_t waitCount);
    // Waits (bounded) for the image's previous overlay submission and begins recording.
    void beginDraw() override;
    // Ends recording and submits on the frame's queue: waits on the game's semaphores (at the colour
    // output stage) and signals signalSemaphore(), which the present then waits on instead.
    void endDraw() override;
    // Of the current image after a successful endDraw; VK_NULL_HANDLE when nothing was submitted for
    // the frame (the present keeps the game's semaphores then).
    VkSemaphore signalSemaphore() const;
    std::shared_ptr<Bitmap> createBitmap(const SizeU& size) override;
    void drawBitmap(Bitmap& bitmap, const RectI& dst) override;     // opaque, alpha ignored
    void fillRect(const RectI& dst, const ColorF& color) override;  // alpha-blended

    VkSwapchainKHR swapchain() const { return swapchain_.swapchain; }
    VkDevice device() const { return device_.device; }
    const VkDeviceInfo& deviceInfo() const { return device_; }
    uint32_t queueFamily() const { return queueFamily_; }
    const VkSwapchainInfo& swapchainInfo() const { return swapchain_; }
    // vkGetPhysicalDeviceProperties of the game's device.
    const VkPhysicalDeviceProperties& physicalDeviceProperties() const;

private:
    void destroy();
    void createPipelines();
    void openRenderPass();
    void closeRenderPass();
    void drawQuad(VkPipeline pipeline, const RectI& dst, const ColorF& color);

    VkDeviceInfo device_;
    uint32_t queueFamily_;
    VkSwapchainInfo swapchain_;
    std::shared_ptr<VkContext> context_;
    VkFormat viewFormat_ = VK_FORMAT_UNDEFINED;
    VkCommandPool pool_ = VK_NULL_HANDLE;
    std::vector<VkCommandBuffer> commands_;
    std::vector<VkSemaphore> signals_;
    std::vector<VkImageView> views_;
    std::vector<VkFramebuffer> framebuffers_;
    VkRenderPass renderPass_ = VK_NULL_HANDLE;
    VkDescriptorSetLayout setLayout_ = VK_NULL_HANDLE;
    VkPipelineLayout pipelineLayout_ = VK_NULL_HANDLE;
    VkPipeline solidPipeline_ = VK_NULL_HANDLE;
    VkPipeline texturedPipeline_ = VK_NULL_HANDLE;
    VkSampler sampler_ = VK_NULL_HANDLE;
    // The frame, from setFrame.
    VkQueue queue_ = VK_NULL_HANDLE;
    uint32_t imageIndex_ = 0;
    std::vector<VkSemaphore> waits_;
    bool recording_ = false;
    bool passOpen_ = false;
    bool submitted_ = false;
};

}  // namespace Overlay::Rendering
