#pragma once
// Hooks DXGI games that render with Direct3D 11: the two device-creation entry points (to ask for
// Direct2D-compatible devices) and Present, ResizeBuffers and ResizeTarget of IDXGISwapChain, whose
// code every swap chain of the process shares. Owns the renderer that draws into the game's back
// buffer: Direct2D where it can, Direct3D 11 otherwise.

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <d3d11.h>
#include <dxgi.h>

#include <memory>
#include <vector>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(D3DHook);

namespace Rendering {
class SwapChainRenderer;
}  // namespace Rendering

class D3DHook final : public GraphicApiHook, private SingleInstance<D3DHook>
{
public:
    // Reads the swap chain's method table from a throw-away device and builds the records (not
    // attached). Throws when an entry point is missing or no device can be made.
    D3DHook(HMODULE dxgiModule, HMODULE d3d11Module);
    ~D3DHook() override;

    std::shared_ptr<Rendering::Renderer> getRenderer() override;
    void resetRenderer() override;
    void dumpDevice() override;
    HookList getHooks() override;
    HookList getMandatoryHooks() override;
    void stop() override;
    bool retire() override;

    // The first 18 entries of a swap chain's method table (Present is 8, ResizeBuffers 13,
    // ResizeTarget 14), read from a throw-away device and swap chain made with the given modules.
    static std::vector<void*> readSwapChainMethods(HMODULE dxgiModule, HMODULE d3d11Module);

    // D3D11_CREATE_DEVICE_BGRA_SUPPORT added: Direct2D needs it.
    static UINT withBgraSupport(UINT flags) { return flags | D3D11_CREATE_DEVICE_BGRA_SUPPORT; }

private:
    using Gate = ReplacementGate<D3DHook>;

    static HRESULT WINAPI createDeviceHook(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software,
                                           UINT flags, const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount,
                                           UINT sdkVersion, ID3D11Device** device, D3D_FEATURE_LEVEL* featureLevel,
                                           ID3D11DeviceContext** context);
    static HRESULT WINAPI createDeviceAndSwapChainHook(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType,
                                                       HMODULE software, UINT flags,
                                                       const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount,
                                                       UINT sdkVersion, const DXGI_SWAP_CHAIN_DESC* swapChainDesc,
                                                       IDXGISwapChain** swapChain, ID3D11Device** device,
                                                       D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** context);
    static HRESULT STDMETHODCALLTYPE presentHook(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags);
    static HRESULT STDMETHODCALLTYPE resizeBuffersHook(IDXGISwapChain* swapChain, UINT bufferCount, UINT width,
                                                       UINT height, DXGI_FORMAT format, UINT swapChainFlags);
    static HRESULT STDMETHODCALLTYPE resizeTargetHook(IDXGISwapChain* swapChain,
                                                      const DXGI_MODE_DESC* targetParameters);

    void beforePresent(IDXGISwapChain* swapChain);
    // Lets go of the back buffer before the game resizes it; never throws.
    void beforeResize(const wchar_t* call) noexcept;
    // Device-lost handling after the game's call; never throws.
    void afterCall(HRESULT result, const wchar_t* call) noexcept;
    // Makes the renderer for the current swap chain: Direct2D where it can draw, Direct3D 11 otherwise.
    std::shared_ptr<Rendering::SwapChainRenderer> createRenderer();
    void releaseRenderTarget();
    void checkDeviceLost(HRESULT result);
    // Completes a requested stop; true once the hook is stopped.
    bool stopped();

    HMODULE dxgiModule_;
    HMODULE d3d11Module_;
    std::atomic<bool> ready_{false};
    std::atomic<uint32_t> stopState_{Running};
    uint32_t frameCount_ = 0;
    IDXGISwapChain* swapChain_ = nullptr;  // borrowed: the swap chain of the frame being presented
    // Empty until the listener first asks; whatever kind it is, only SwapChainRenderer is asked.
    std::shared_ptr<Rendering::SwapChainRenderer> renderer_;
    std::unique_ptr<HookRecord> createDeviceRecord_;
    std::unique_ptr<HookRecord> createDeviceAndSwapChainRecord_;
    std::unique_ptr<HookRecord> presentRecord_;
    std::unique_ptr<HookRecord> resizeBuffersRecord_;
    std::unique_ptr<HookRecord> resizeTargetRecord_;
};

}  // namespace Overlay
