#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"

#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"
#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"

#include <wrl/client.h>

#include <initializer_list>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

using CreateDeviceFn = HRESULT(WINAPI*)(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT, const D3D_FEATURE_LEVEL*, UINT,
                                        UINT, ID3D11Device**, D3D_FEATURE_LEVEL*, ID3D11DeviceContext**);
using CreateDeviceAndSwapChainFn = HRESULT(WINAPI*)(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT,
                                                    const D3D_FEATURE_LEVEL*, UINT, UINT, const DXGI_SWAP_CHAIN_DESC*,
                                                    IDXGISwapChain**, ID3D11Device**, D3D_FEATURE_LEVEL*,
                                                    ID3D11DeviceContext**);
using CreateDxgiFactoryFn = HRESULT(WINAPI*)(REFIID, void**);
using PresentFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using ResizeBuffersFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT, UINT, DXGI_FORMAT, UINT);
using ResizeTargetFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, const DXGI_MODE_DESC*);

const size_t presentIndex = 8;
const size_t resizeBuffersIndex = 13;
const size_t resizeTargetIndex = 14;
const size_t swapChainMethodCount = 18;

void* procAddress(HMODULE module, const char* name)
{
    void* const address = codeAddress(GetProcAddress(module, name));
    if (!address) {
        Err::throwLastError(std::string("Failed to get proc address: ") + name);
    }
    return address;
}

bool isDeviceLost(HRESULT result)
{
    return result == DXGI_ERROR_DEVICE_REMOVED || result == DXGI_ERROR_DEVICE_RESET;
}

// Moves a renderer of the same device to the current swap chain; makes a new one of its kind for
// another device.
std::shared_ptr<Rendering::SwapChainRenderer> reuse(const std::shared_ptr<Rendering::SwapChainRenderer>& renderer,
                                                    IDXGISwapChain* swapChain)
{
    if (renderer->swapChain() == swapChain) {
        return renderer;
    }
    if (!renderer->usesDeviceOf(swapChain)) {
        return renderer->recreateFor(swapChain);
    }
    renderer->setSwapChain(swapChain);
    return renderer;
}

}  // namespace

D3DHook::D3DHook(HMODULE dxgiModule, HMODULE d3d11Module)
    : SingleInstance<D3DHook>(this), dxgiModule_(dxgiModule), d3d11Module_(d3d11Module)
{
    LOG_INFO(L"Hooking DXGI (D3D11)");
    createDeviceRecord_ = makeUniqueHookRecord(procAddress(d3d11Module_, "D3D11CreateDevice"),
                                               codeAddress(&createDeviceHook), "D3D11CreateDeviceHook");
    createDeviceAndSwapChainRecord_ =
        makeUniqueHookRecord(procAddress(d3d11Module_, "D3D11CreateDeviceAndSwapChain"),
                             codeAddress(&createDeviceAndSwapChainHook), "D3D11CreateDeviceAndSwapChainHook");
    const std::vector<void*> methods = readSwapChainMethods(dxgiModule_, d3d11Module_);
    if (methods.empty()) {
        throw std::runtime_error("Failed to get SwapChainVTable");
    }
    presentRecord_ = makeUniqueHookRecord(methods[presentIndex], codeAddress(&presentHook), "IDXGISwapChain::Present");
    resizeBuffersRecord_ = makeUniqueHookRecord(methods[resizeBuffersIndex], codeAddress(&resizeBuffersHook),
                                                "IDXGISwapChain::ResizeBuffers");
    resizeTargetRecord_ = makeUniqueHookRecord(methods[resizeTargetIndex], codeAddress(&resizeTargetHook),
                                               "IDXGISwapChain::ResizeTarget");
    Gate::open(this);
}

bool D3DHook::retire()
{
    unhook(getHooks());
    return Gate::close("D3DHook", retireTimeoutMs);
}

D3DHook::~D3DHook()
{
    retire();
    resizeTargetRecord_.reset();
    resizeBuffersRecord_.reset();
    presentRecord_.reset();
    createDeviceAndSwapChainRecord_.reset();
    createDeviceRecord_.reset();
    renderer_.reset();
}

std::vector<void*> D3DHook::readSwapChainMethods(HMODULE dxgiModule, HMODULE d3d11Module)
{
    const auto createDeviceAndSwapChain =
        reinterpret_cast<CreateDeviceAndSwapChainFn>(procAddress(d3d11Module, "D3D11CreateDeviceAndSwapChain"));
    const DummyWindow window;
    DXGI_SWAP_CHAIN_DESC desc = {};
    desc.BufferDesc.Width = 0;
    desc.BufferDesc.Height = 0;
    desc.BufferDesc.RefreshRate = {60, 1};
    desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 1;
    desc.OutputWindow = window.handle();
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    desc.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;

    ComPtr<IDXGISwapChain> swapChain;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    auto tryCreate = [&](IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType) {
        swapChain.Reset();
        device.Reset();
        context.Reset();
        D3D_FEATURE_LEVEL obtained = {};
        return createDeviceAndSwapChain(adapter, driverType, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &desc,
                                        &swapChain, &device, &obtained, &context);
    };

    HRESULT hr = E_FAIL;
    for (const D3D_DRIVER_TYPE driverType : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP, D3D_DRIVER_TYPE_REFERENCE,
                                             D3D_DRIVER_TYPE_NULL, D3D_DRIVER_TYPE_UNKNOWN}) {
        hr = tryCreate(nullptr, driverType);
        if (SUCCEEDED(hr)) {
            break;
        }
    }
    if (FAILED(hr)) {
        const auto createFactory = reinterpret_cast<CreateDxgiFactoryFn>(procAddress(dxgiModule, "CreateDXGIFactory"));
        ComPtr<IDXGIFactory> factory;
        Err::throwIfFailed(createFactory(__uuidof(IDXGIFactory), reinterpret_cast<void**>(factory.GetAddressOf())),
                           "Failed to create IDXGIFactory");
        ComPtr<IDXGIAdapter> adapter;
        for (UINT index = 0; factory->EnumAdapters(index, adapter.ReleaseAndGetAddressOf()) != DXGI_ERROR_NOT_FOUND;
             ++index) {
            if (!adapter) {
                continue;
            }
            hr = tryCreate(adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN);
            if (SUCCEEDED(hr)) {
                break;
            }
        }
    }
    if (SUCCEEDED(hr) && !swapChain) {
        hr = E_POINTER;  // a success without a swap chain leaves no table to read
    }
    Err::throwIfFailed(hr, "Failed to create D3D11 device and SwapChain");
    void* const* table = *reinterpret_cast<void* const* const*>(swapChain.Get());
    return std::vector<void*>(table, table + swapChainMethodCount);
}

HookList D3DHook::getHooks()
{
    return {createDeviceRecord_.get(), createDeviceAndSwapChainRecord_.get(), presentRecord_.get(),
            resizeBuffersRecord_.get(), resizeTargetRecord_.get()};
}

HookList D3DHook::getMandatoryHooks()
{
    return {presentRecord_.get(), resizeBuffersRecord_.get()};
}

void D3DHook::stop()
{
    uint32_t expected = Running;
    if (stopState_.compare_exchange_strong(expected, StopRequested)) {
        LOG_INFO(L"D3DHook: request stop");
    }
}

bool D3DHook::stopped()
{
    uint32_t state = stopState_.load();
    if (state == Stopped) {
        return true;
    }
    if (state == Running) {
        return false;
    }
    if (!stopState_.compare_exchange_strong(state, Stopped)) {
        return state == Stopped;
    }
    // A listener may still hold the renderer, and no frame will come to make it let go: the back
    // buffer must be free for the game's next ResizeBuffers.
    releaseRenderTarget();
    swapChain_ = nullptr;
    renderer_.reset();
    LOG_INFO(L"D3DHook stopped");
    return true;
}

std::shared_ptr<Rendering::Renderer> D3DHook::getRenderer()
{
    if (!swapChain_) {
        throw std::logic_error("Failed to get renderer: SwapChain is null");
    }
    if (renderer_) {
        try {
            renderer_ = reuse(renderer_, swapChain_);
            return renderer_;
        } catch (const std::exception& e) {
            LOG_ERROR(L"Failed to reuse renderer: %0", e.what());
        }
    }
    renderer_ = createRenderer();
    return renderer_;
}

std::shared_ptr<Rendering::SwapChainRenderer> D3DHook::createRenderer()
{
    try {
        return std::make_shared<Rendering::RendererD2D>(swapChain_);
    } catch (const std::exception& e) {
        LOG_WARN(L"Direct2D can not draw into the swap chain, using Direct3D 11: %0", e.what());
    }
    return std::make_shared<Rendering::RendererD3D11>(swapChain_);
}

void D3DHook::resetRenderer()
{
    renderer_.reset();
}

void D3DHook::dumpDevice()
{
    if (!swapChain_) {
        LOG_WARN(L"Can not dump graphics device: swapChain is null");
        return;
    }
    dumpSwapChain(swapChain_, Log::Level::Debug);
}

void D3DHook::beforePresent(IDXGISwapChain* swapChain)
{
    if (ready_.load()) {
        swapChain_ = swapChain;
        if (GraphicDeviceHookListener* listener = this->listener()) {
            listener->onPresent(*this);
        }
        return;
    }
    if (++frameCount_ < 10) {
        return;
    }
    ready_.store(true);
    DXGI_SWAP_CHAIN_DESC desc = {};
    const HWND window = SUCCEEDED(swapChain->GetDesc(&desc)) ? desc.OutputWindow : nullptr;
    if (GraphicDeviceHookListener* listener = this->listener()) {
        listener->onDeviceWindow(window);
    }
}

void D3DHook::releaseRenderTarget()
{
    if (renderer_) {
        renderer_->releaseBackBuffer();
    }
}

void D3DHook::checkDeviceLost(HRESULT result)
{
    if (!isDeviceLost(result)) {
        return;
    }
    // As on stop: whoever still holds the renderer must not keep the lost back buffer.
    releaseRenderTarget();
    swapChain_ = nullptr;
    renderer_.reset();
    if (GraphicDeviceHookListener* listener = this->listener()) {
        listener->onDeviceLost();
    }
}

// --- Replacements: forward to the game's function, whatever happens around it. -------------------

HRESULT WINAPI D3DHook::createDeviceHook(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software,
                                         UINT flags, const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount,
                                         UINT sdkVersion, ID3D11Device** device, D3D_FEATURE_LEVEL* featureLevel,
                                         ID3D11DeviceContext** context)
{
    const Gate::Pass pass;
    D3DHook* self = pass.owner();
    if (self == nullptr || !self->createDeviceRecord_) {
        return callRetired(&createDeviceHook, E_FAIL, adapter, driverType, software, flags, featureLevels,
                           featureLevelCount, sdkVersion, device, featureLevel, context);
    }
    return self->createDeviceRecord_->real<CreateDeviceFn>()(adapter, driverType, software, withBgraSupport(flags),
                                                             featureLevels, featureLevelCount, sdkVersion, device,
                                                             featureLevel, context);
}

HRESULT WINAPI D3DHook::createDeviceAndSwapChainHook(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType,
                                                     HMODULE software, UINT flags,
                                                     const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount,
                                                     UINT sdkVersion, const DXGI_SWAP_CHAIN_DESC* swapChainDesc,
                                                     IDXGISwapChain** swapChain, ID3D11Device** device,
                                                     D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** context)
{
    const Gate::Pass pass;
    D3DHook* self = pass.owner();
    if (self == nullptr || !self->createDeviceAndSwapChainRecord_) {
        return callRetired(&createDeviceAndSwapChainHook, E_FAIL, adapter, driverType, software, flags, featureLevels,
                           featureLevelCount, sdkVersion, swapChainDesc, swapChain, device, featureLevel, context);
    }
    return self->createDeviceAndSwapChainRecord_->real<CreateDeviceAndSwapChainFn>()(
        adapter, driverType, software, withBgraSupport(flags), featureLevels, featureLevelCount, sdkVersion,
        swapChainDesc, swapChain, device, featureLevel, context);
}

HRESULT STDMETHODCALLTYPE D3DHook::presentHook(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags)
{
    const Gate::Pass pass;
    D3DHook* self = pass.owner();
    if (self == nullptr || !self->presentRecord_) {
        return callRetired(&presentHook, E_FAIL, swapChain, syncInterval, flags);
    }
    if (flags & DXGI_PRESENT_TEST) {
        // Only asks whether presenting is possible: no frame, nothing is drawn (drawing here would
        // darken the next real frame twice).
        return self->presentRecord_->real<PresentFn>()(swapChain, syncInterval, flags);
    }
    guarded(L"Present", [&] {
        if (!self->stopped()) {
            self->beforePresent(swapChain);
        }
    });
    const HRESULT result = self->presentRecord_->real<PresentFn>()(swapChain, syncInterval, flags);
    self->afterCall(result, L"Present");
    return result;
}

HRESULT STDMETHODCALLTYPE D3DHook::resizeBuffersHook(IDXGISwapChain* swapChain, UINT bufferCount, UINT width,
                                                     UINT height, DXGI_FORMAT format, UINT swapChainFlags)
{
    const Gate::Pass pass;
    D3DHook* self = pass.owner();
    if (self == nullptr || !self->resizeBuffersRecord_) {
        return callRetired(&resizeBuffersHook, E_FAIL, swapChain, bufferCount, width, height, format, swapChainFlags);
    }
    self->beforeResize(L"ResizeBuffers");
    const HRESULT result = self->resizeBuffersRecord_->real<ResizeBuffersFn>()(swapChain, bufferCount, width, height,
                                                                               format, swapChainFlags);
    self->afterCall(result, L"ResizeBuffers");
    return result;
}

HRESULT STDMETHODCALLTYPE D3DHook::resizeTargetHook(IDXGISwapChain* swapChain, const DXGI_MODE_DESC* targetParameters)
{
    const Gate::Pass pass;
    D3DHook* self = pass.owner();
    if (self == nullptr || !self->resizeTargetRecord_) {
        return callRetired(&resizeTargetHook, E_FAIL, swapChain, targetParameters);
    }
    self->beforeResize(L"ResizeTarget");
    return self->resizeTargetRecord_->real<ResizeTargetFn>()(swapChain, targetParameters);
}

void D3DHook::beforeResize(const wchar_t* call) noexcept
{
    guarded(call, [&] {
        if (!stopped()) {
            releaseRenderTarget();
        }
    });
}

void D3DHook::afterCall(HRESULT result, const wchar_t* call) noexcept
{
    guarded(call, [&] {
        if (!stopped()) {
            checkDeviceLost(result);
        }
    });
}

}  // namespace Overlay
