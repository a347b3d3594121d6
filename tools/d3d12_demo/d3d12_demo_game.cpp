#include "d3d12_demo_game.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <utility>

using DemoCommon::check;
using Microsoft::WRL::ComPtr;

namespace Demo12 {
namespace {

const wchar_t className[] = L"D3D12DemoGameWindow";
const uint32_t barCount = 6;

D3D12_RESOURCE_BARRIER transition(ID3D12Resource* resource, D3D12_RESOURCE_STATES before, D3D12_RESOURCE_STATES after)
{
    D3D12_RESOURCE_BARRIER barrier = {};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition.pResource = resource;
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = before;
    barrier.Transition.StateAfter = after;
    return barrier;
}

}  // namespace

std::string usageText()
{
    return DemoCommon::usageText(
        "d3d12_demo: a Direct3D 12 test game that draws sliding bars with clears only.",
        "  --buffers N             back buffers of the flip-model swap chain, 2 or 3 (default 2)\n"
        "  --legacy-create         IDXGIFactory::CreateSwapChain instead of CreateSwapChainForHwnd\n"
        "  --present1              IDXGISwapChain1::Present1 instead of Present\n"
        "  --render-thread         draw and present on a thread of their own; the window thread\n"
        "                          only handles the window's messages\n",
        1, "R resizes, C prints the counters, Escape quits.");
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    return DemoCommon::parseOptions(
        args, options, 1,
        [&options](DemoCommon::Arguments& arguments) {
            uint64_t number = 0;
            if (arguments.name() == "--legacy-create") {
                options.legacyCreate = true;
            } else if (arguments.name() == "--present1") {
                options.present1 = true;
            } else if (arguments.name() == "--render-thread") {
                options.renderThread = true;
            } else if (arguments.name() == "--buffers") {
                if (!arguments.number(2, 3, "2 or 3", number)) {
                    return false;
                }
                options.bufferCount = static_cast<uint32_t>(number);
            } else {
                return false;
            }
            return true;
        },
        error);
}

DemoGame::DemoGame(const Options& options)
    : WindowedGame(options, className, L"D3D12DemoPrintCounters"), options_(options)
{
    window_ = createWindow(L"Direct3D 12 demo", options_.x);
    check(CreateDXGIFactory1(IID_PPV_ARGS(&factory_)), "CreateDXGIFactory1");
    check(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device_)), "D3D12CreateDevice");
    D3D12_COMMAND_QUEUE_DESC queueDesc = {};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    check(device_->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue_)), "CreateCommandQueue");
    check(device_->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence_)), "CreateFence");
    fenceEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!fenceEvent_) {
        throw std::runtime_error("CreateEvent failed");
    }
    D3D12_DESCRIPTOR_HEAP_DESC heapDesc = {};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_RTV;
    heapDesc.NumDescriptors = options_.bufferCount;
    check(device_->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&rtvHeap_)), "CreateDescriptorHeap");
    rtvStride_ = device_->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    allocators_.resize(options_.bufferCount);
    allocatorFence_.assign(options_.bufferCount, 0);
    for (auto& allocator : allocators_) {
        check(device_->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator)),
              "CreateCommandAllocator");
    }
    check(device_->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocators_[0].Get(), nullptr,
                                     IID_PPV_ARGS(&list_)),
          "CreateCommandList");
    check(list_->Close(), "Close");
    createSwapChain();
}

DemoGame::~DemoGame()
{
    detachWindows();
    if (queue_) {
        waitForGpu();
    }
    buffers_.clear();
    swapChain_.Reset();
}

void DemoGame::createSwapChain()
{
    width_ = options_.width;
    height_ = options_.height;
    ComPtr<IDXGISwapChain> swapChain;
    if (options_.legacyCreate) {
        DXGI_SWAP_CHAIN_DESC desc = {};
        desc.BufferDesc = {width_, height_, {60, 1}, DXGI_FORMAT_R8G8B8A8_UNORM};
        desc.SampleDesc = {1, 0};
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = options_.bufferCount;
        desc.OutputWindow = window_;
        desc.Windowed = TRUE;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        check(factory_->CreateSwapChain(queue_.Get(), &desc, &swapChain), "CreateSwapChain");
    } else {
        DXGI_SWAP_CHAIN_DESC1 desc = {};
        desc.Width = width_;
        desc.Height = height_;
        desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.SampleDesc = {1, 0};
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = options_.bufferCount;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        ComPtr<IDXGISwapChain1> swapChain1;
        check(factory_->CreateSwapChainForHwnd(queue_.Get(), window_, &desc, nullptr, nullptr, &swapChain1),
              "CreateSwapChainForHwnd");
        swapChain = swapChain1;
    }
    check(swapChain.As(&swapChain_), "QueryInterface(IDXGISwapChain3)");
    createTargets();
}

void DemoGame::createTargets()
{
    buffers_.resize(options_.bufferCount);
    D3D12_CPU_DESCRIPTOR_HANDLE handle = rtvHeap_->GetCPUDescriptorHandleForHeapStart();
    for (UINT i = 0; i < options_.bufferCount; ++i) {
        check(swapChain_->GetBuffer(i, IID_PPV_ARGS(&buffers_[i])), "GetBuffer");
        device_->CreateRenderTargetView(buffers_[i].Get(), nullptr, handle);
        handle.ptr += rtvStride_;
    }
}

void DemoGame::recreateSwapChain()
{
    waitForGpu();
    buffers_.clear();
    swapChain_.Reset();
    createSwapChain();
}

void DemoGame::waitForGpu()
{
    check(queue_->Signal(fence_.Get(), ++fenceValue_), "Signal");
    if (fence_->GetCompletedValue() < fenceValue_) {
        check(fence_->SetEventOnCompletion(fenceValue_, fenceEvent_.get()), "SetEventOnCompletion");
        WaitForSingleObject(fenceEvent_.get(), INFINITE);
    }
}

void DemoGame::requestResize(uint32_t width, uint32_t height)
{
    setClientSize(window_, width, height);
    // A hidden window may not get WM_SIZE: the swap chain follows the request itself.
    const std::lock_guard<std::mutex> lock(resizeMutex_);
    pendingWidth_ = width;
    pendingHeight_ = height;
    resizePending_ = true;
}

void DemoGame::resize(uint32_t width, uint32_t height)
{
    if (width == width_ && height == height_) {
        return;
    }
    waitForGpu();
    buffers_.clear();
    lastResizeResult_ = swapChain_->ResizeBuffers(0, width, height, DXGI_FORMAT_UNKNOWN, 0);
    ++resizes_;
    if (SUCCEEDED(lastResizeResult_)) {
        width_ = width;
        height_ = height;
    }
    createTargets();
}

void DemoGame::clearColor(uint64_t frame, float rgba[4])
{
    const float t = static_cast<float>(frame % 240) / 240.0f;
    rgba[0] = 0.25f + 0.5f * t;
    rgba[1] = 0.6f;
    rgba[2] = 0.9f - 0.5f * t;
    rgba[3] = 1.0f;
}

HRESULT DemoGame::renderFrame()
{
    uint32_t width = 0;
    uint32_t height = 0;
    {
        const std::lock_guard<std::mutex> lock(resizeMutex_);
        if (std::exchange(resizePending_, false)) {
            width = pendingWidth_;
            height = pendingHeight_;
        }
    }
    if (width != 0) {
        resize(width, height);
    }
    const UINT index = swapChain_->GetCurrentBackBufferIndex();
    ID3D12CommandAllocator* allocator = allocators_[index].Get();
    if (fence_->GetCompletedValue() < allocatorFence_[index]) {
        check(fence_->SetEventOnCompletion(allocatorFence_[index], fenceEvent_.get()), "SetEventOnCompletion");
        WaitForSingleObject(fenceEvent_.get(), INFINITE);
    }
    check(allocator->Reset(), "CommandAllocator::Reset");
    check(list_->Reset(allocator, nullptr), "CommandList::Reset");
    ID3D12Resource* buffer = buffers_[index].Get();
    D3D12_RESOURCE_BARRIER barrier =
        transition(buffer, D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET);
    list_->ResourceBarrier(1, &barrier);
    D3D12_CPU_DESCRIPTOR_HANDLE target = rtvHeap_->GetCPUDescriptorHandleForHeapStart();
    target.ptr += size_t(index) * rtvStride_;
    float background[4];
    clearColor(frames_, background);
    list_->ClearRenderTargetView(target, background, 0, nullptr);
    // Bars sliding sideways in the bottom quarter.
    const LONG barWidth = static_cast<LONG>(width_ / (2 * barCount)) + 1;
    const LONG shift = static_cast<LONG>((frames_ * 4) % (2 * barWidth));
    std::vector<D3D12_RECT> bars;
    for (LONG left = shift - 2 * barWidth; left < static_cast<LONG>(width_); left += 2 * barWidth) {
        bars.push_back({std::max(0L, left), static_cast<LONG>(barsTop()),
                        std::min(static_cast<LONG>(width_), left + barWidth), static_cast<LONG>(height_)});
    }
    const float barColor[4] = {0.95f, 0.85f, 0.1f, 1.0f};
    list_->ClearRenderTargetView(target, barColor, static_cast<UINT>(bars.size()), bars.data());
    barrier = transition(buffer, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT);
    list_->ResourceBarrier(1, &barrier);
    check(list_->Close(), "CommandList::Close");
    ID3D12CommandList* lists[] = {list_.Get()};
    queue_->ExecuteCommandLists(1, lists);
    check(queue_->Signal(fence_.Get(), ++fenceValue_), "Signal");
    allocatorFence_[index] = fenceValue_;
    if (beforePresent) {
        beforePresent();
    }
    const DXGI_PRESENT_PARAMETERS parameters = {};
    lastPresentResult_ = options_.present1 ? swapChain_->Present1(options_.syncInterval, 0, &parameters)
                                           : swapChain_->Present(options_.syncInterval, 0);
    ++frames_;
    return lastPresentResult_;
}

std::string DemoGame::counters() const
{
    return "frames=" + std::to_string(frames_) + " resizes=" + std::to_string(resizes_) +
           " key-messages=" + std::to_string(keyMessages()) + " mouse-messages=" + std::to_string(mouseMessages());
}

bool DemoGame::runFrame(bool& failed)
{
    const HRESULT hr = renderFrame();
    failed = failed || FAILED(hr) || FAILED(lastResizeResult_);
    return hr != DXGI_ERROR_DEVICE_REMOVED && hr != DXGI_ERROR_DEVICE_RESET;
}

int DemoGame::run()
{
    bool failed = false;
    if (!options_.renderThread) {
        runFrames([this, &failed] { return runFrame(failed); });
        printLine(counters());
        return failed ? 1 : 0;
    }
    // The window thread waits for each frame of the render thread, handling messages meanwhile.
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
    const Win::UniqueHandle presented(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::thread renderer([&] {
        while (!stop && (options_.frames == 0 || frames_ < options_.frames) && runFrame(failed)) {
            SetEvent(presented.get());
        }
        ended = true;
        SetEvent(presented.get());
    });
    runFrames([&] {
        const HANDLE event = presented.get();
        while (MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
            if (!pumpMessages()) {
                return false;
            }
        }
        return !ended;
    });
    stop = true;
    renderer.join();
    printLine(counters());
    return failed ? 1 : 0;
}

void DemoGame::windowResized(HWND, uint32_t width, uint32_t height)
{
    // Compared with the current size by the frame, which owns it.
    const std::lock_guard<std::mutex> lock(resizeMutex_);
    pendingWidth_ = width;
    pendingHeight_ = height;
    resizePending_ = true;
}

}  // namespace Demo12
