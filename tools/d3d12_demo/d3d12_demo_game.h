#pragma once
// The Direct3D 12 demo game: one window with a flip-model swap chain (two or three buffers) on a
// direct command queue, drawing a moving pattern of bars with clears only (no pipeline of its own, so
// whatever is on the screen besides the pattern was drawn by someone else). It waits for the GPU
// before each ResizeBuffers, as D3D12 requires, and counts the keyboard and mouse messages its
// window procedure receives.

#include "common_options.h"
#include "windowed_game.h"

#include <d3d12.h>
#include <dxgi1_4.h>
#include <windows.h>
#include <wrl/client.h>

#include "win/unique_handle.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Demo12 {

struct Options : DemoCommon::CommonOptions
{
    uint32_t bufferCount = 2;  // 2 or 3
    // IDXGIFactory::CreateSwapChain instead of IDXGIFactory2::CreateSwapChainForHwnd.
    bool legacyCreate = false;
    // IDXGISwapChain1::Present1 instead of IDXGISwapChain::Present.
    bool present1 = false;
    // Frames drawn and presented on a thread of their own while the window thread handles messages.
    bool renderThread = false;
};

// Parses the arguments (without the program name). Returns false and fills `error` on bad input.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string usageText();

class DemoGame : public DemoCommon::WindowedGame
{
public:
    explicit DemoGame(const Options& options);  // throws std::runtime_error
    ~DemoGame() override;

    // Draws one frame and presents it. Returns the Present result.
    HRESULT renderFrame();
    // Frames until the window is closed or the frame limit is reached. Prints the process id first and
    // the input counts as the other demo games do. Returns the exit code.
    int run();
    // Resizes the client area; the swap chain follows before the next frame.
    void requestResize(uint32_t width, uint32_t height);
    // Waits until the queue has done everything submitted so far.
    void waitForGpu();
    // Releases the swap chain and makes a new one for the same window.
    void recreateSwapChain();

    std::string counters() const override;
    HRESULT lastResizeResult() const { return lastResizeResult_; }
    HRESULT lastPresentResult() const { return lastPresentResult_; }
    HWND window() const { return window_; }
    IDXGISwapChain3* swapChain() const { return swapChain_.Get(); }
    ID3D12Device* device() const { return device_.Get(); }
    ID3D12CommandQueue* queue() const { return queue_.Get(); }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    // Background of a frame, RGBA 0..1 (the bars cover a band at the bottom only).
    static void clearColor(uint64_t frame, float rgba[4]);
    // Rows from this one down hold the moving bars; above it only the background.
    uint32_t barsTop() const { return height_ - height_ / 4; }

    // Called after the frame was drawn and submitted, before it is presented.
    std::function<void()> beforePresent;

private:
    void windowResized(HWND window, uint32_t width, uint32_t height) override;
    uint32_t currentWidth() const override { return width_; }
    void resizeFirstWindow(uint32_t width, uint32_t height) override { requestResize(width, height); }
    void createSwapChain();
    void createTargets();
    void resize(uint32_t width, uint32_t height);
    // One frame of run(): drawn here, or, with a render thread, waited for while messages come.
    bool runFrame(bool& failed);

    Options options_;
    HWND window_ = nullptr;
    Microsoft::WRL::ComPtr<IDXGIFactory2> factory_;
    Microsoft::WRL::ComPtr<ID3D12Device> device_;
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> queue_;
    Microsoft::WRL::ComPtr<IDXGISwapChain3> swapChain_;
    Microsoft::WRL::ComPtr<ID3D12DescriptorHeap> rtvHeap_;
    UINT rtvStride_ = 0;
    std::vector<Microsoft::WRL::ComPtr<ID3D12Resource>> buffers_;
    std::vector<Microsoft::WRL::ComPtr<ID3D12CommandAllocator>> allocators_;
    std::vector<uint64_t> allocatorFence_;
    Microsoft::WRL::ComPtr<ID3D12GraphicsCommandList> list_;
    Microsoft::WRL::ComPtr<ID3D12Fence> fence_;
    Win::UniqueHandle fenceEvent_;
    uint64_t fenceValue_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    // Set on the window thread, taken by the frame: under resizeMutex_.
    std::mutex resizeMutex_;
    uint32_t pendingWidth_ = 0;
    uint32_t pendingHeight_ = 0;
    bool resizePending_ = false;
    uint32_t resizes_ = 0;
    HRESULT lastResizeResult_ = S_OK;
    HRESULT lastPresentResult_ = S_OK;
};

}  // namespace Demo12
