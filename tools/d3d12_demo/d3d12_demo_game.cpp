#include "d3d12_demo_game.h"

#include "input_report.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

using Microsoft::WRL::ComPtr;

namespace Demo12 {
namespace {

const wchar_t className[] = L"D3D12DemoGameWindow";
const uint32_t barCount = 6;

void check(HRESULT hr, const char* call)
{
    if (FAILED(hr)) {
        char text[160];
        std::snprintf(text, sizeof text, "%s failed: 0x%08lx", call, static_cast<unsigned long>(hr));
        throw std::runtime_error(text);
    }
}

bool parseNumber(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) {
        return false;
    }
    value = std::stoull(text);
    return true;
}

bool parseSize(const std::string& text, uint32_t& width, uint32_t& height)
{
    const auto x = text.find('x');
    uint64_t w = 0, h = 0;
    if (x == std::string::npos || !parseNumber(text.substr(0, x), w) || !parseNumber(text.substr(x + 1), h) || w == 0 ||
        h == 0 || w > 16384 || h > 16384) {
        return false;
    }
    width = static_cast<uint32_t>(w);
    height = static_cast<uint32_t>(h);
    return true;
}

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
    return "d3d12_demo [--size WxH] [--pos X,Y] [--buffers 2|3] [--frames N] [--sync 0|1] [--legacy-create]\n"
           "           [--present1] [--resize-at FRAME:WxH]... [--hidden] [--report-input N]\n"
           "  --size           client area (default 800x600)\n"
           "  --pos            window position (default 40,40)\n"
           "  --buffers        back buffers of the flip-model swap chain (default 2)\n"
           "  --frames         quit after N frames (default: when the window is closed)\n"
           "  --sync           0 presents immediately, 1 waits for the vertical blank (default)\n"
           "  --legacy-create  IDXGIFactory::CreateSwapChain instead of CreateSwapChainForHwnd\n"
           "  --present1       IDXGISwapChain1::Present1 instead of Present\n"
           "  --resize-at      resize the window (and the swap chain) before frame FRAME\n"
           "  --hidden         keep the window hidden\n"
           "  --report-input   print the input counts every N frames (they are printed on exit anyway)\n"
           "Keys: R resizes, C prints the counters, Escape quits.\n";
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        const bool hasValue = i + 1 < args.size();
        const std::string value = hasValue ? args[i + 1] : std::string();
        uint64_t number = 0;
        if (name == "--help") {
            options.help = true;
        } else if (name == "--hidden") {
            options.hidden = true;
        } else if (name == "--legacy-create") {
            options.legacyCreate = true;
        } else if (name == "--present1") {
            options.present1 = true;
        } else if (name == "--size" && hasValue && parseSize(value, options.width, options.height)) {
            ++i;
        } else if (name == "--pos" && hasValue && value.find(',') != std::string::npos) {
            options.x = std::atoi(value.c_str());
            options.y = std::atoi(value.c_str() + value.find(',') + 1);
            ++i;
        } else if (name == "--buffers" && hasValue && parseNumber(value, number) && (number == 2 || number == 3)) {
            options.bufferCount = static_cast<uint32_t>(number);
            ++i;
        } else if (name == "--frames" && hasValue && parseNumber(value, number)) {
            options.frames = number;
            ++i;
        } else if (name == "--report-input" && hasValue && parseNumber(value, number)) {
            options.reportInputEvery = number;
            ++i;
        } else if (name == "--sync" && hasValue && (value == "0" || value == "1")) {
            options.syncInterval = value == "1" ? 1 : 0;
            ++i;
        } else if (name == "--resize-at" && hasValue && value.find(':') != std::string::npos) {
            ResizeStep step;
            if (!parseNumber(value.substr(0, value.find(':')), step.frame) ||
                !parseSize(value.substr(value.find(':') + 1), step.width, step.height)) {
                error = "bad value for --resize-at: " + value;
                return false;
            }
            options.resizes.push_back(step);
            ++i;
        } else {
            error = hasValue || name.rfind("--", 0) != 0 ? "bad option or value: " + name : "missing value: " + name;
            return false;
        }
    }
    return true;
}

DemoGame::DemoGame(const Options& options) : options_(options)
{
    printMessage_ = RegisterWindowMessageW(L"D3D12DemoPrintCounters");
    createWindow();
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
    if (queue_) {
        waitForGpu();
    }
    buffers_.clear();
    swapChain_.Reset();
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

void DemoGame::createWindow()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass);  // a second game in the process finds it registered
    RECT rect = {0, 0, static_cast<LONG>(options_.width), static_cast<LONG>(options_.height)};
    AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
    window_ = CreateWindowExW(0, className, L"Direct3D 12 demo", WS_OVERLAPPEDWINDOW, options_.x, options_.y,
                              rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, instance, nullptr);
    if (!window_) {
        throw std::runtime_error("CreateWindowEx failed");
    }
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (!options_.hidden) {
        ShowWindow(window_, SW_SHOW);
    }
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
    RECT rect = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(window_, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // A hidden window may not get WM_SIZE: the swap chain follows the request itself.
    pendingWidth_ = width;
    pendingHeight_ = height;
    resizePending_ = true;
}

void DemoGame::resize()
{
    resizePending_ = false;
    if (pendingWidth_ == width_ && pendingHeight_ == height_) {
        return;
    }
    waitForGpu();
    buffers_.clear();
    lastResizeResult_ = swapChain_->ResizeBuffers(0, pendingWidth_, pendingHeight_, DXGI_FORMAT_UNKNOWN, 0);
    ++resizes_;
    if (SUCCEEDED(lastResizeResult_)) {
        width_ = pendingWidth_;
        height_ = pendingHeight_;
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
    if (resizePending_) {
        resize();
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
           " key-messages=" + std::to_string(keyMessages_) + " mouse-messages=" + std::to_string(mouseMessages_);
}

bool DemoGame::pumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quit_ = true;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return !quit_;
}

int DemoGame::run()
{
    DemoCommon::printProcessId();
    bool failed = false;
    while (pumpMessages() && (options_.frames == 0 || frames_ < options_.frames)) {
        for (const ResizeStep& step : options_.resizes) {
            if (step.frame == frames_) {
                requestResize(step.width, step.height);
            }
        }
        const HRESULT hr = renderFrame();
        failed = failed || FAILED(hr) || FAILED(lastResizeResult_);
        if (hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET) {
            break;
        }
        if (options_.reportInputEvery != 0 && frames_ % options_.reportInputEvery == 0) {
            DemoCommon::printInputReport(frames_, keyMessages_, mouseMessages_);
        }
    }
    DemoCommon::printInputReport(frames_, keyMessages_, mouseMessages_);
    std::printf("%s\n", counters().c_str());
    std::fflush(stdout);
    return failed ? 1 : 0;
}

LRESULT CALLBACK DemoGame::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* game = reinterpret_cast<DemoGame*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!game) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message >= WM_KEYFIRST && message <= WM_KEYLAST) {
        ++game->keyMessages_;
    } else if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
        ++game->mouseMessages_;
    }
    if (message == game->printMessage_ && message != 0) {
        std::printf("%s\n", game->counters().c_str());
        std::fflush(stdout);
        return 0;
    }
    switch (message) {
    case WM_SIZE: {
        const uint32_t width = LOWORD(lParam);
        const uint32_t height = HIWORD(lParam);
        if (wParam != SIZE_MINIMIZED && width && height && (width != game->width_ || height != game->height_)) {
            game->pendingWidth_ = width;
            game->pendingHeight_ = height;
            game->resizePending_ = true;
        }
        return 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        } else if (wParam == 'C') {
            std::printf("%s\n", game->counters().c_str());
            std::fflush(stdout);
        } else if (wParam == 'R') {
            const bool small = game->width_ != game->options_.width;
            game->requestResize(small ? game->options_.width : game->options_.width * 2 / 3,
                                small ? game->options_.height : game->options_.height * 2 / 3);
        }
        return 0;
    case WM_CLOSE: game->quit_ = true; return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace Demo12
