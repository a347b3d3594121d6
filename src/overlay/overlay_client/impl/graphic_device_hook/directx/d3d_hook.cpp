#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

// The DXGI hook's frames, renderer and device loss; its records and replacements are in
// d3d_hook_replacements.cpp.

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"

#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/dxgi_methods.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/load_library_hook.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"

#include <wrl/client.h>

#include <initializer_list>
#include <optional>
#include <thread>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

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
      dxgiModule_(dxgiModule), d3d11Module_(d3d11Module), d3d12Name_(d3d12Name)
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
    } else if (!methods.d3d12Error.empty()) {
        LOG_WARN(L"Direct3D 12 games get no overlay: %0", methods.d3d12Error);
    } else {
        LOG_INFO(L"Direct3D 12 is hooked once the game loads it");
        d3d12Awaited_ = true;
        LoadLibraryHook::setLoadObserver(&moduleLoaded);
    }
    Gate::open(this);
}

bool D3DHook::retire()
{
    {
        const std::lock_guard<std::mutex> lock(recordsMutex_);
        retired_ = true;
    }
    LoadLibraryHook::setLoadObserver(nullptr);
    unhook(getHooks());
    return Gate::close("D3DHook", retireTimeoutMs);
}

void D3DHook::moduleLoaded()
{
    const Gate::Pass pass;
    D3DHook* const self = pass.owner();
    if (!self || !self->d3d12Awaited_.load(std::memory_order_relaxed) || !GetModuleHandleW(self->d3d12Name_.c_str()) ||
        !self->d3d12Awaited_.exchange(false)) {
        return;
    }
    // Not here: the game may be inside the loader (a DllMain loading a module), where making a
    // device would wait for the loader's lock that the game holds.
    std::thread(&hookLateD3D12).detach();
}

void D3DHook::hookLateD3D12()
{
    guarded(L"Hooking Direct3D 12", [] {
        const Gate::Pass pass;
        D3DHook* const self = pass.owner();
        if (!self) {
            return;
        }
        const std::lock_guard<std::mutex> lock(self->recordsMutex_);
        if (self->retired_) {
            return;
        }
        std::optional<D3D12Methods> methods;
        try {
            methods = readLateD3D12Methods(self->dxgiModule_, loadedModule(self->d3d12Name_.c_str()));
        } catch (const std::exception& e) {
            LOG_WARN(L"Direct3D 12 games get no overlay: %0", e.what());
            return;
        }
        self->buildD3D12Records(*methods);
        hook(self->d3d12Records());
    });
}

HookList D3DHook::getHooks()
{
    const std::lock_guard<std::mutex> lock(recordsMutex_);
    HookList records = {createDeviceRecord_.get(), createDeviceAndSwapChainRecord_.get(), presentRecord_.get(),
                        resizeBuffersRecord_.get(), resizeTargetRecord_.get()};
    HookList optional = {present1Record_.get(), createSwapChainRecord_.get(), createSwapChainForHwndRecord_.get(),
                         createSwapChainForCoreWindowRecord_.get(), createSwapChainForCompositionRecord_.get()};
    const HookList d3d12 = d3d12Records();
    optional.insert(optional.end(), d3d12.begin(), d3d12.end());
    for (HookRecord* record : optional) {
        if (record) {
            records.push_back(record);
        }
    }
    return records;
}

HookList D3DHook::d3d12Records() const
{
    return {present12Record_.get(),      present1D3D12Record_.get(),  resizeBuffers12Record_.get(),
            resizeTarget12Record_.get(), resizeBuffers1Record_.get(), executeCommandListsRecord_.get()};
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
    idleFor_ = nullptr;
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

bool D3DHook::idleRenderer()
{
    const std::lock_guard<std::recursive_mutex> frame(frameMutex_);
    IDXGISwapChain* const swapChain = renderer_ ? renderer_->swapChain() : nullptr;
    if (!swapChain || !queues_.watch(swapChain)) {
        renderer_.reset();
        return false;
    }
    renderer_->releaseBackBuffer();
    idleFor_ = swapChain;
    return true;
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
    // A Direct3D 11 renderer holds its swap chain while it draws into it, so that one cannot go
    // then; a Direct3D 12 one holds only the queue.
    const bool drawsInto = rendererKind_ == DeviceKind::D3D12 && renderer_ && renderer_->swapChain() == swapChain;
    const bool idleFor = renderer_ && !renderer_->swapChain() && idleFor_ == swapChain;
    if (!drawsInto && !idleFor) {
        return;
    }
    idleFor_ = nullptr;
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
