#pragma once
// Draws the overlay with Direct3D 12 into the back buffer of a game's swap chain: one command list of
// our own per overlay frame, executed on the game's command queue right before its Present, with a
// solid quad for the darkening and a textured quad per bitmap, each placed by the viewport alone.
// A bitmap drawn at its own size is copied instead (exact, and cheaper than a draw).
// Command lists carry no state from one to the next, so nothing of the game's is touched; the back
// buffer goes from the present state to render target and back. A fence of our own tells when the GPU
// is done with an allocator or an upload buffer, and is waited for before either is reused.
//
// No reference to a back buffer, or to the swap chain, is held between frames: the game may resize or
// release its swap chain at any time between two Presents.

#include "overlay/overlay_client/impl/rendering/swap_chain_renderer.h"
#include "win/unique_handle.h"

#include <d3d12.h>
#include <dxgi1_4.h>
#include <wrl/client.h>

#include <functional>
#include <vector>

namespace Overlay::Rendering {

// The command queue a swap chain presents with (a swap chain does not name it); null when unknown.
using CommandQueueLookup = std::function<Microsoft::WRL::ComPtr<ID3D12CommandQueue>(IDXGISwapChain*)>;

// Our submissions on one queue, counted by a fence: shared by a renderer and its bitmaps.
class D3D12Submissions
{
public:
    explicit D3D12Submissions(ID3D12Device* device);
    // Signals the fence after what was just executed on `queue`; returns the value that marks it done.
    uint64_t signal(ID3D12CommandQueue* queue);
    // The value the next signal will use.
    uint64_t next() const { return value_ + 1; }
    // Waits until the GPU has passed `value`. Values never signalled and a removed device count as
    // passed; a GPU that does not get there in time is logged and given up on.
    void waitFor(uint64_t value);
    void waitForAll() { waitFor(value_); }

private:
    Microsoft::WRL::ComPtr<ID3D12Fence> fence_;
    Win::UniqueHandle event_;
    uint64_t value_ = 0;
};

class BitmapD3D12 final : public Bitmap
{
public:
    // The texture takes `format` when it is R8G8B8A8 (the back buffer's, so that it can be copied there),
    // B8G8R8A8 otherwise.
    BitmapD3D12(const SizeU& size, ID3D12Device* device, std::shared_ptr<D3D12Submissions> submissions,
                DXGI_FORMAT format);
    ~BitmapD3D12() override;

    // Copies the pixels into the upload buffer (after the GPU is done with its last copy); the texture
    // gets them on the next draw. Only the whole texture: a destination rectangle throws std::logic_error.
    void update(const void* pixels, uint32_t pitch, const RectI* dstRect) override;
    SizeU size() const override { return size_; }

    // Records the pending upload, if any, and binds the texture to root parameter 1.
    void record(ID3D12GraphicsCommandList* list);
    // Records the pending upload, if any, and a copy of the texture into `target` (a render target of
    // `targetSize`) at `dst`, which has the bitmap's size; clipped to the target.
    void recordCopy(ID3D12GraphicsCommandList* list, ID3D12Resource* target, const RectI& dst, const SizeU& targetSize);
    DXGI_FORMAT format() const { return format_; }
    const D3D12Submissions* submissions() const { return submissions_.get(); }
    // Uploads recorded so far (a clean frame records none).
    uint64_t uploadCount() const { return uploads_; }

private:
    void recordUpload(ID3D12GraphicsCommandList* list);

    SizeU size_;
    DXGI_FORMAT format_;
    std::shared_ptr<D3D12Submissions> submissions_;
    Microsoft::WRL::ComPtr<ID3D12Resource> texture_;
    Microsoft::WRL::ComPtr<ID3D12Resource> uploadBuffer_;
    Microsoft::WRL::ComPtr<ID3D12DescriptorHeap> viewHeap_;
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT footprint_ = {};
    uint8_t* mapped_ = nullptr;  // borrowed: the upload buffer, mapped for the bitmap's life
    bool uploadPending_ = false;
    bool copyDestination_ = true;  // the texture's state: copy destination, else pixel-shader resource
    uint64_t lastUse_ = 0;
    uint64_t uploads_ = 0;
};

class RendererD3D12 final : public SwapChainRenderer
{
public:
    // `swapChain` is borrowed for the current frame only; its queue comes from `queueOf`. Throws when
    // the queue is unknown or a device object cannot be created.
    RendererD3D12(IDXGISwapChain* swapChain, CommandQueueLookup queueOf);
    ~RendererD3D12() override;

    void beginDraw() override;
    void endDraw() override;
    std::shared_ptr<Bitmap> createBitmap(const SizeU& size) override;
    void drawBitmap(Bitmap& bitmap, const RectI& dst) override;
    void fillRect(const RectI& dst, const ColorF& color) override;

    // The swap chain of the frame being presented (not referenced: valid while it presents).
    IDXGISwapChain* swapChain() const override { return swapChain_; }
    bool usesDeviceOf(IDXGISwapChain* swapChain) const override;
    // Moves to another swap chain of the device, and to its queue when that is another one.
    void setSwapChain(IDXGISwapChain* swapChain) override;
    std::shared_ptr<SwapChainRenderer> recreateFor(IDXGISwapChain* swapChain) const override;
    // Waits for our last submission; no back-buffer reference is kept between frames anyway.
    void releaseBackBuffer() override;

    ID3D12CommandQueue* queue() const { return queue_.Get(); }

private:
    void createPipelines(DXGI_FORMAT format);
    void setViewport(const RectI& dst);

    IDXGISwapChain* swapChain_;  // borrowed, see swapChain()
    CommandQueueLookup queueOf_;
    Microsoft::WRL::ComPtr<ID3D12Device> device_;
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> queue_;
    std::shared_ptr<D3D12Submissions> submissions_;
    Microsoft::WRL::ComPtr<ID3D12RootSignature> rootSignature_;
    DXGI_FORMAT pipelineFormat_ = DXGI_FORMAT_UNKNOWN;
    Microsoft::WRL::ComPtr<ID3D12PipelineState> solidPipeline_;
    Microsoft::WRL::ComPtr<ID3D12PipelineState> texturedPipeline_;
    Microsoft::WRL::ComPtr<ID3D12Resource> vertexBuffer_;
    Microsoft::WRL::ComPtr<ID3D12DescriptorHeap> targetHeap_;
    UINT targetStride_ = 0;
    // One allocator per back buffer, with the fence value of its last submission.
    std::vector<Microsoft::WRL::ComPtr<ID3D12CommandAllocator>> allocators_;
    std::vector<uint64_t> allocatorUse_;
    Microsoft::WRL::ComPtr<ID3D12GraphicsCommandList> list_;
    // Set between beginDraw and endDraw only.
    Microsoft::WRL::ComPtr<ID3D12Resource> backBuffer_;
    UINT backBufferIndex_ = 0;
    SizeU backBufferSize_;
};

// The Direct3D 12 device of a swap chain; throws "Failed to get ID3D12Device" when it has none.
Microsoft::WRL::ComPtr<ID3D12Device> d3d12DeviceOf(IDXGISwapChain* swapChain);

}  // namespace Overlay::Rendering
