#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"

#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/dxgi_methods.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"

#include <wrl/client.h>

#include "win/scope_guard.h"

#include <initializer_list>
#include <string>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

// Present calling Present1 (or the other way round) inside the runtime draws one frame, not two.
thread_local int presentDepth = 0;

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

D3DHook::D3DHook(HMODULE dxgiModule, HMODULE d3d11Module, const wchar_t* d3d12Name)
    : GraphicApiHook(L"D3DHook: request stop", L"D3DHook stopped"), SingleInstance<D3DHook>(this),
      dxgiModule_(dxgiModule), d3d11Module_(d3d11Module)
{
    LOG_INFO(L"Hooking DXGI (D3D11)");
    createDeviceRecord_ = makeUniqueHookRecord(procAddress(d3d11Module_, "D3D11CreateDevice"),
                                               codeAddress(&createDeviceHook), "D3D11CreateDeviceHook");
    createDeviceAndSwapChainRecord_ =
        makeUniqueHookRecord(procAddress(d3d11Module_, "D3D11CreateDeviceAndSwapChain"),
                             codeAddress(&createDeviceAndSwapChainHook), "D3D11CreateDeviceAndSwapChainHook");
    const DxgiMethods methods = readDxgiMethods(dxgiModule_, d3d11Module_, d3d12Name);
    buildSwapChainRecords(methods.swapChain, false);
    buildFactoryRecords(methods.factory);
    // Direct3D 12 is an addition: without it Direct3D 11 games are served as before.
    if (methods.d3d12) {
        buildD3D12Records(*methods.d3d12);
    } else {
        LOG_WARN(L"Direct3D 12 games get no overlay: %0", methods.d3d12Error);
    }
    Gate::open(this);
}

bool D3DHook::retire()
{
    unhook(getHooks());
    return Gate::close("D3DHook", retireTimeoutMs);
}

void D3DHook::buildSwapChainRecords(const std::vector<void*>& methods, bool d3d12)
{
    struct Method
    {
        size_t index;
        Record shared;
        Record own;
        void* sharedReplacement;
        void* ownReplacement;
        const char* name;
    };
    const Method swapChainMethods[] = {
        {DxgiMethod::present, &D3DHook::presentRecord_, &D3DHook::present12Record_,
         codeAddress(&presentHook<&D3DHook::presentRecord_>), codeAddress(&presentHook<&D3DHook::present12Record_>),
         "IDXGISwapChain::Present"},
        {DxgiMethod::present1, &D3DHook::present1Record_, &D3DHook::present1D3D12Record_,
         codeAddress(&present1Hook<&D3DHook::present1Record_>),
         codeAddress(&present1Hook<&D3DHook::present1D3D12Record_>), "IDXGISwapChain1::Present1"},
        {DxgiMethod::resizeBuffers, &D3DHook::resizeBuffersRecord_, &D3DHook::resizeBuffers12Record_,
         codeAddress(&resizeBuffersHook<&D3DHook::resizeBuffersRecord_>),
         codeAddress(&resizeBuffersHook<&D3DHook::resizeBuffers12Record_>), "IDXGISwapChain::ResizeBuffers"},
        {DxgiMethod::resizeTarget, &D3DHook::resizeTargetRecord_, &D3DHook::resizeTarget12Record_,
         codeAddress(&resizeTargetHook<&D3DHook::resizeTargetRecord_>),
         codeAddress(&resizeTargetHook<&D3DHook::resizeTarget12Record_>), "IDXGISwapChain::ResizeTarget"},
    };
    for (const Method& method : swapChainMethods) {
        if (methods.size() <= method.index) {
            continue;  // a swap chain without IDXGISwapChain1
        }
        void* const code = methods[method.index];
        const std::unique_ptr<HookRecord>& shared = this->*method.shared;
        if (!d3d12) {
            this->*method.shared = makeUniqueHookRecord(code, method.sharedReplacement, method.name);
        } else if (!shared || shared->getRealFunc() != code) {
            // On Windows one swap-chain class serves both APIs, and the shared records cover it.
            this->*method.own =
                makeUniqueHookRecord(code, method.ownReplacement, std::string(method.name) + " (D3D12)");
        }
    }
}

void D3DHook::buildD3D12Records(const D3D12Methods& methods)
{
    LOG_INFO(L"Hooking DXGI (D3D12)");
    buildSwapChainRecords(methods.swapChain, true);
    resizeBuffers1Record_ = makeUniqueHookRecord(methods.swapChain[DxgiMethod::resizeBuffers1],
                                                 codeAddress(&resizeBuffers1Hook), "IDXGISwapChain3::ResizeBuffers1");
    executeCommandListsRecord_ =
        makeUniqueHookRecord(methods.queue[DxgiMethod::executeCommandLists], codeAddress(&executeCommandListsHook),
                             "ID3D12CommandQueue::ExecuteCommandLists");
}

void D3DHook::buildFactoryRecords(const std::vector<void*>& factory)
{
    createSwapChainRecord_ = makeUniqueHookRecord(factory[DxgiMethod::createSwapChain],
                                                  codeAddress(&createSwapChainHook), "IDXGIFactory::CreateSwapChain");
    if (factory.size() <= DxgiMethod::createSwapChainForComposition) {
        return;
    }
    createSwapChainForHwndRecord_ =
        makeUniqueHookRecord(factory[DxgiMethod::createSwapChainForHwnd], codeAddress(&createSwapChainForHwndHook),
                             "IDXGIFactory2::CreateSwapChainForHwnd");
    createSwapChainForCoreWindowRecord_ = makeUniqueHookRecord(factory[DxgiMethod::createSwapChainForCoreWindow],
                                                               codeAddress(&createSwapChainForCoreWindowHook),
                                                               "IDXGIFactory2::CreateSwapChainForCoreWindow");
    createSwapChainForCompositionRecord_ = makeUniqueHookRecord(factory[DxgiMethod::createSwapChainForComposition],
                                                                codeAddress(&createSwapChainForCompositionHook),
                                                                "IDXGIFactory2::CreateSwapChainForComposition");
}

D3DHook::~D3DHook()
{
    retire();
    // Before the records go: nothing of ours stays in the game's swap chains.
    queues_.forget();
}

HookList D3DHook::getHooks()
{
    HookList records = {createDeviceRecord_.get(), createDeviceAndSwapChainRecord_.get(), presentRecord_.get(),
                        resizeBuffersRecord_.get(), resizeTargetRecord_.get()};
    for (HookRecord* record :
         {present1Record_.get(), present12Record_.get(), present1D3D12Record_.get(), resizeBuffers12Record_.get(),
          resizeTarget12Record_.get(), resizeBuffers1Record_.get(), createSwapChainRecord_.get(),
          createSwapChainForHwndRecord_.get(), createSwapChainForCoreWindowRecord_.get(),
          createSwapChainForCompositionRecord_.get(), executeCommandListsRecord_.get()}) {
        if (record) {
            records.push_back(record);
        }
    }
    return records;
}

HookList D3DHook::getMandatoryHooks()
{
    return {presentRecord_.get(), resizeBuffersRecord_.get()};
}

void D3DHook::releaseOnStop()
{
    // A listener may still hold the renderer, and no frame will come to make it let go: the back
    // buffer must be free for the game's next ResizeBuffers.
    releaseRenderTarget();
    swapChain_ = nullptr;
    renderer_.reset();
    queues_.forget();
}

std::shared_ptr<Rendering::Renderer> D3DHook::getRenderer()
{
    if (!swapChain_) {
        throw std::logic_error("Failed to get renderer: SwapChain is null");
    }
    renderer_ = rendererForSwapChain();
    rendererKind_ = swapChainKind_;
    return renderer_;
}

std::shared_ptr<Rendering::SwapChainRenderer> D3DHook::rendererForSwapChain()
{
    if (renderer_ && rendererKind_ == swapChainKind_) {
        try {
            if (swapChainKind_ == DeviceKind::D3D12 &&
                static_cast<Rendering::RendererD3D12&>(*renderer_).queue() != queues_.queueOf(swapChain_).Get()) {
                // A new swap chain at the address of an old one, presenting with another queue.
                renderer_.reset();
            } else {
                return reuse(renderer_, swapChain_);
            }
        } catch (const std::exception& e) {
            LOG_ERROR(L"Failed to reuse renderer: %0", e.what());
        }
    }
    // Dropped before the new one is made: two renderers of one device never exist at once.
    renderer_.reset();
    if (swapChainKind_ == DeviceKind::D3D12) {
        return std::make_shared<Rendering::RendererD3D12>(
            swapChain_, [this](IDXGISwapChain* chain) { return queues_.queueOf(chain); });
    }
    return createRenderer();
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

D3DHook::DeviceKind D3DHook::deviceKindOf(IDXGISwapChain* swapChain)
{
    ComPtr<ID3D11Device> device11;
    if (SUCCEEDED(swapChain->GetDevice(IID_PPV_ARGS(&device11)))) {
        return DeviceKind::D3D11;
    }
    ComPtr<ID3D12Device> device12;
    if (SUCCEEDED(swapChain->GetDevice(IID_PPV_ARGS(&device12)))) {
        return DeviceKind::D3D12;
    }
    return DeviceKind::Other;
}

bool D3DHook::drawable(IDXGISwapChain* swapChain)
{
    // A swap chain whose queue we hold is a live Direct3D 12 one (its entry goes with it): the device
    // check, two GetDevice calls, is spared on its every Present.
    if (queues_.queueOf(swapChain)) {
        swapChainKind_ = DeviceKind::D3D12;
        return true;
    }
    swapChainKind_ = deviceKindOf(swapChain);
    if (swapChainKind_ == DeviceKind::D3D11) {
        return true;
    }
    if (swapChainKind_ == DeviceKind::Other) {
        if (!unknownDeviceLogged_.exchange(true)) {
            LOG_WARN(L"Swap chain of a device other than Direct3D 11 or 12: the overlay is not drawn on it");
        }
        return false;
    }
    // Made before we were loaded: the next direct queue of its device that the game executes on.
    return queues_.find(swapChain);
}

void D3DHook::swapChainGone(IDXGISwapChain* swapChain)
{
    // Counted like a replacement: the hook's destruction waits for this call before it goes on, and
    // one being destroyed lets go of its renderer itself.
    const Gate::Pass pass;
    D3DHook* const owner = pass.owner();
    if (!owner) {
        return;
    }
    guarded(L"Swap chain released", [&] {
        // The game may destroy a swap chain on any thread; a frame drawn on another one right now
        // leaves the renderer to the next frame.
        std::unique_lock<std::recursive_mutex> frame(owner->frameMutex_, std::try_to_lock);
        if (frame.owns_lock()) {
            owner->dropRendererOf(swapChain);
        } else {
            owner->goneSwapChain_.store(swapChain);
        }
    });
}

void D3DHook::dropRendererOf(IDXGISwapChain* swapChain)
{
    if (swapChain_ == swapChain) {
        swapChain_ = nullptr;
    }
    if (!renderer_ || rendererKind_ != DeviceKind::D3D12 || renderer_->swapChain() != swapChain) {
        return;
    }
    // Its device may be on its way out: neither we nor the listener may keep it.
    renderer_.reset();
    if (GraphicDeviceHookListener* listener = this->listener()) {
        listener->onDeviceLost();
    }
}

void D3DHook::beforePresent(IDXGISwapChain* swapChain)
{
    if (goneSwapChain_.load(std::memory_order_relaxed)) {
        dropRendererOf(goneSwapChain_.exchange(nullptr));
    }
    if (ready()) {
        swapChain_ = swapChain;
        if (!drawable(swapChain)) {
            return;
        }
        if (GraphicDeviceHookListener* listener = this->listener()) {
            listener->onPresent(*this);
        }
        return;
    }
    // Every frame counts.
    if (GraphicDeviceHookListener* listener = countQualifyingFrame()) {
        DXGI_SWAP_CHAIN_DESC desc = {};
        const HWND window = SUCCEEDED(swapChain->GetDesc(&desc)) ? desc.OutputWindow : nullptr;
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
    queues_.forget();
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
    return Gate::serve(
        &createDeviceHook, &D3DHook::createDeviceRecord_, E_FAIL,
        [&](D3DHook&, const auto& real) {
            return real(adapter, driverType, software, withBgraSupport(flags), featureLevels, featureLevelCount,
                        sdkVersion, device, featureLevel, context);
        },
        adapter, driverType, software, flags, featureLevels, featureLevelCount, sdkVersion, device, featureLevel,
        context);
}

HRESULT WINAPI D3DHook::createDeviceAndSwapChainHook(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType,
                                                     HMODULE software, UINT flags,
                                                     const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount,
                                                     UINT sdkVersion, const DXGI_SWAP_CHAIN_DESC* swapChainDesc,
                                                     IDXGISwapChain** swapChain, ID3D11Device** device,
                                                     D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** context)
{
    return Gate::serve(
        &createDeviceAndSwapChainHook, &D3DHook::createDeviceAndSwapChainRecord_, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            self.beforeSwapChainCreation(L"D3D11CreateDeviceAndSwapChain");
            return real(adapter, driverType, software, withBgraSupport(flags), featureLevels, featureLevelCount,
                        sdkVersion, swapChainDesc, swapChain, device, featureLevel, context);
        },
        adapter, driverType, software, flags, featureLevels, featureLevelCount, sdkVersion, swapChainDesc, swapChain,
        device, featureLevel, context);
}

template <D3DHook::Record record>
HRESULT STDMETHODCALLTYPE D3DHook::presentHook(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags)
{
    return Gate::serve(
        &presentHook<record>, record, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            return self.present(swapChain, flags, [&] { return real(swapChain, syncInterval, flags); });
        },
        swapChain, syncInterval, flags);
}

template <D3DHook::Record record>
HRESULT STDMETHODCALLTYPE D3DHook::present1Hook(IDXGISwapChain1* swapChain, UINT syncInterval, UINT flags,
                                                const DXGI_PRESENT_PARAMETERS* parameters)
{
    return Gate::serve(
        &present1Hook<record>, record, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            return self.present(swapChain, flags, [&] { return real(swapChain, syncInterval, flags, parameters); });
        },
        swapChain, syncInterval, flags, parameters);
}

template <class RealPresent>
HRESULT D3DHook::present(IDXGISwapChain* swapChain, UINT flags, const RealPresent& real)
{
    if ((flags & DXGI_PRESENT_TEST) || presentDepth > 0) {
        // Only asks whether presenting is possible (drawing would darken the next real frame twice), or
        // the runtime's own Present within the game's: the frame is drawn once.
        return real();
    }
    ++presentDepth;
    const auto leave = Win::scopeExit([] { --presentDepth; });
    guarded(L"Present", [&] {
        const std::lock_guard<std::recursive_mutex> frame(frameMutex_);
        if (!stopped()) {
            beforePresent(swapChain);
        }
    });
    const HRESULT result = real();
    afterCall(result, L"Present");
    return result;
}

template <D3DHook::Record record>
HRESULT STDMETHODCALLTYPE D3DHook::resizeBuffersHook(IDXGISwapChain* swapChain, UINT bufferCount, UINT width,
                                                     UINT height, DXGI_FORMAT format, UINT swapChainFlags)
{
    return Gate::serve(
        &resizeBuffersHook<record>, record, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            self.beforeResize(swapChain, L"ResizeBuffers");
            const HRESULT result = real(swapChain, bufferCount, width, height, format, swapChainFlags);
            self.afterCall(result, L"ResizeBuffers");
            return result;
        },
        swapChain, bufferCount, width, height, format, swapChainFlags);
}

template <D3DHook::Record record>
HRESULT STDMETHODCALLTYPE D3DHook::resizeTargetHook(IDXGISwapChain* swapChain, const DXGI_MODE_DESC* targetParameters)
{
    return Gate::serve(
        &resizeTargetHook<record>, record, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            self.beforeResize(swapChain, L"ResizeTarget");
            return real(swapChain, targetParameters);
        },
        swapChain, targetParameters);
}

HRESULT STDMETHODCALLTYPE D3DHook::resizeBuffers1Hook(IDXGISwapChain3* swapChain, UINT bufferCount, UINT width,
                                                      UINT height, DXGI_FORMAT format, UINT swapChainFlags,
                                                      const UINT* nodeMasks, IUnknown* const* queues)
{
    return Gate::serve(
        &resizeBuffers1Hook, &D3DHook::resizeBuffers1Record_, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            self.beforeResize(swapChain, L"ResizeBuffers1");
            const HRESULT result =
                real(swapChain, bufferCount, width, height, format, swapChainFlags, nodeMasks, queues);
            if (SUCCEEDED(result) && queues && queues[0]) {
                self.queues_.record(queues[0], swapChain);  // presents with the first one given from now on
            }
            self.afterCall(result, L"ResizeBuffers1");
            return result;
        },
        swapChain, bufferCount, width, height, format, swapChainFlags, nodeMasks, queues);
}

template <class SwapChain, class Real>
HRESULT D3DHook::createSwapChain(IUnknown* device, SwapChain** swapChain, const Real& real)
{
    beforeSwapChainCreation(L"CreateSwapChain");
    const HRESULT result = real();
    if (SUCCEEDED(result) && swapChain) {
        queues_.record(device, *swapChain);
    }
    return result;
}

HRESULT STDMETHODCALLTYPE D3DHook::createSwapChainHook(IDXGIFactory* factory, IUnknown* device,
                                                       DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** swapChain)
{
    return Gate::serve(
        &createSwapChainHook, &D3DHook::createSwapChainRecord_, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            return self.createSwapChain(device, swapChain, [&] { return real(factory, device, desc, swapChain); });
        },
        factory, device, desc, swapChain);
}

HRESULT STDMETHODCALLTYPE D3DHook::createSwapChainForHwndHook(IDXGIFactory2* factory, IUnknown* device, HWND window,
                                                              const DXGI_SWAP_CHAIN_DESC1* desc,
                                                              const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreenDesc,
                                                              IDXGIOutput* output, IDXGISwapChain1** swapChain)
{
    return Gate::serve(
        &createSwapChainForHwndHook, &D3DHook::createSwapChainForHwndRecord_, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            return self.createSwapChain(device, swapChain, [&] {
                return real(factory, device, window, desc, fullscreenDesc, output, swapChain);
            });
        },
        factory, device, window, desc, fullscreenDesc, output, swapChain);
}

HRESULT STDMETHODCALLTYPE D3DHook::createSwapChainForCoreWindowHook(IDXGIFactory2* factory, IUnknown* device,
                                                                    IUnknown* window, const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                    IDXGIOutput* output, IDXGISwapChain1** swapChain)
{
    return Gate::serve(
        &createSwapChainForCoreWindowHook, &D3DHook::createSwapChainForCoreWindowRecord_, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            return self.createSwapChain(device, swapChain,
                                        [&] { return real(factory, device, window, desc, output, swapChain); });
        },
        factory, device, window, desc, output, swapChain);
}

HRESULT STDMETHODCALLTYPE D3DHook::createSwapChainForCompositionHook(IDXGIFactory2* factory, IUnknown* device,
                                                                     const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                     IDXGIOutput* output, IDXGISwapChain1** swapChain)
{
    return Gate::serve(
        &createSwapChainForCompositionHook, &D3DHook::createSwapChainForCompositionRecord_, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            return self.createSwapChain(device, swapChain,
                                        [&] { return real(factory, device, desc, output, swapChain); });
        },
        factory, device, desc, output, swapChain);
}

void STDMETHODCALLTYPE D3DHook::executeCommandListsHook(ID3D12CommandQueue* queue, UINT count,
                                                        ID3D12CommandList* const* lists)
{
    Gate::serve(
        &executeCommandListsHook, &D3DHook::executeCommandListsRecord_, nullptr,
        [&](D3DHook& self, const auto& real) {
            if (self.queues_.wanted()) {
                self.queues_.offer(queue);
            }
            real(queue, count, lists);
        },
        queue, count, lists);
}

void D3DHook::beforeResize(IDXGISwapChain* swapChain, const wchar_t* call) noexcept
{
    guarded(call, [&] {
        const std::lock_guard<std::recursive_mutex> frame(frameMutex_);
        // Only the chain being resized: another one may be the one the renderer draws into now.
        if (!stopped() && renderer_ && renderer_->swapChain() == swapChain) {
            renderer_->releaseBackBuffer();
        }
    });
}

void D3DHook::beforeSwapChainCreation(const wchar_t* call) noexcept
{
    guarded(call, [&] {
        const std::lock_guard<std::recursive_mutex> frame(frameMutex_);
        if (renderer_) {
            renderer_->releaseBackBuffer();
        }
    });
}

void D3DHook::afterCall(HRESULT result, const wchar_t* call) noexcept
{
    guarded(call, [&] {
        // A resize on the window thread may report the loss while the render thread draws.
        const std::lock_guard<std::recursive_mutex> frame(frameMutex_);
        if (!stopped()) {
            checkDeviceLost(result);
        }
    });
}

}  // namespace Overlay
