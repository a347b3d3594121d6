#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

// The DXGI hook's records and its replacements: each forwards to the game's function, whatever
// happens around it, and leaves the work to the hook (d3d_hook.cpp).

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/dxgi_methods.h"

#include "win/scope_guard.h"

#include <string>

namespace Overlay {
namespace {

// Present calling Present1 (or the other way round) inside the runtime draws one frame, not two.
thread_local int presentDepth = 0;

}  // namespace

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

}  // namespace Overlay
