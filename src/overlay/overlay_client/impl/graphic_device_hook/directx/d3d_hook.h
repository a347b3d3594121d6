#pragma once
// Hooks DXGI games that render with Direct3D 11 or Direct3D 12: the two Direct3D 11 device-creation
// entry points (to ask for Direct2D-compatible devices) and Present, ResizeBuffers and ResizeTarget of
// IDXGISwapChain, whose code every swap chain of the process shares. Owns the renderer that draws into
// the game's back buffer: Direct2D where it can, Direct3D 11 otherwise; Direct3D 12 for swap chains of
// a Direct3D 12 command queue.
//
// The factory's CreateSwapChain methods are hooked for every game, with or without Direct3D 12: a
// game that releases its swap chain and makes a new one for the same window must find no reference
// of ours on the old one (a flip-model swap chain fails while another one of its window lives).
//
// Direct3D 12 swap chains need the command queue they present with: SwapChainQueues finds it, with
// the factory's CreateSwapChain methods and the queue's ExecuteCommandLists hooked here. Where the
// runtime gives Direct3D 12 swap chains code of their own (Wine does), that code is hooked too, as is
// IDXGISwapChain3::ResizeBuffers1. The method tables come from dxgi_methods.h.

#include "overlay/overlay_client/impl/graphic_device_hook/directx/swap_chain_queues.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <d3d11.h>
#include <d3d12.h>
#include <dxgi1_4.h>
#include <wrl/client.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(D3DHook);

struct D3D12Methods;

namespace Rendering {
class SwapChainRenderer;
}  // namespace Rendering

class D3DHook final : public GraphicApiHook, private SingleInstance<D3DHook>
{
public:
    // Reads the method tables from throw-away objects and builds the records (not attached). Direct3D
    // 12 is hooked besides where the game has loaded `d3d12Name` and it can make a device; where the
    // game loads it later, the module-load hook tells us and its records are built and attached then,
    // on a thread of ours (tests name a module that never loads). Throws when an entry point is
    // missing or no Direct3D 11 device or DXGI factory can be made.
    D3DHook(HMODULE dxgiModule, HMODULE d3d11Module, const wchar_t* d3d12Name = L"d3d12.dll");
    ~D3DHook() override;

    std::shared_ptr<Rendering::Renderer> getRenderer() override;
    void resetRenderer() override;
    // Keeps the renderer without the swap chain and its buffers; a watch on the swap chain drops it
    // when the game destroys that swap chain, so the device goes with the game's last reference.
    bool idleRenderer() override;
    void dumpDevice() override;
    HookList getHooks() override;
    HookList getMandatoryHooks() override;
    bool retire() override;

    // What presents with a swap chain, as far as the overlay is concerned.
    enum class DeviceKind { D3D11, D3D12, Other };
    static DeviceKind deviceKindOf(IDXGISwapChain* swapChain);

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
    // Present, Present1, ResizeBuffers and ResizeTarget: one function per record (a replacement serves
    // one record), that of the code all swap chains share or that of the code Direct3D 12 swap chains
    // have of their own. Then ResizeBuffers1.
    using Record = std::unique_ptr<HookRecord> D3DHook::*;
    template <Record record>
    static HRESULT STDMETHODCALLTYPE presentHook(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags);
    template <Record record>
    static HRESULT STDMETHODCALLTYPE present1Hook(IDXGISwapChain1* swapChain, UINT syncInterval, UINT flags,
                                                  const DXGI_PRESENT_PARAMETERS* parameters);
    template <Record record>
    static HRESULT STDMETHODCALLTYPE resizeBuffersHook(IDXGISwapChain* swapChain, UINT bufferCount, UINT width,
                                                       UINT height, DXGI_FORMAT format, UINT swapChainFlags);
    template <Record record>
    static HRESULT STDMETHODCALLTYPE resizeTargetHook(IDXGISwapChain* swapChain,
                                                      const DXGI_MODE_DESC* targetParameters);
    static HRESULT STDMETHODCALLTYPE resizeBuffers1Hook(IDXGISwapChain3* swapChain, UINT bufferCount, UINT width,
                                                        UINT height, DXGI_FORMAT format, UINT swapChainFlags,
                                                        const UINT* nodeMasks, IUnknown* const* queues);
    static HRESULT STDMETHODCALLTYPE createSwapChainHook(IDXGIFactory* factory, IUnknown* device,
                                                         DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** swapChain);
    static HRESULT STDMETHODCALLTYPE createSwapChainForHwndHook(IDXGIFactory2* factory, IUnknown* device, HWND window,
                                                                const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* fullscreenDesc,
                                                                IDXGIOutput* output, IDXGISwapChain1** swapChain);
    static HRESULT STDMETHODCALLTYPE createSwapChainForCoreWindowHook(IDXGIFactory2* factory, IUnknown* device,
                                                                      IUnknown* window,
                                                                      const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                      IDXGIOutput* output, IDXGISwapChain1** swapChain);
    static HRESULT STDMETHODCALLTYPE createSwapChainForCompositionHook(IDXGIFactory2* factory, IUnknown* device,
                                                                       const DXGI_SWAP_CHAIN_DESC1* desc,
                                                                       IDXGIOutput* output,
                                                                       IDXGISwapChain1** swapChain);
    static void STDMETHODCALLTYPE executeCommandListsHook(ID3D12CommandQueue* queue, UINT count,
                                                          ID3D12CommandList* const* lists);

    // Draws the overlay (unless only a test), then presents with `real`.
    template <class RealPresent>
    HRESULT present(IDXGISwapChain* swapChain, UINT flags, const RealPresent& real);
    // The records of the four methods hooked on every swap-chain class: of the code all swap chains
    // share, or (`d3d12`) of the code Direct3D 12 swap chains have of their own where it differs.
    void buildSwapChainRecords(const std::vector<void*>& methods, bool d3d12);
    void buildFactoryRecords(const std::vector<void*>& factory);
    void buildD3D12Records(const D3D12Methods& methods);
    // Direct3D 12's records, null where not made; with recordsMutex_ held once the hook is running.
    HookList d3d12Records() const;
    // A module was loaded (LoadLibraryHook's observer): starts hookLateD3D12 once Direct3D 12 is in.
    static void moduleLoaded();
    // On a thread of ours: reads Direct3D 12's tables, builds its records and attaches them.
    static void hookLateD3D12();
    // A CreateSwapChain method of the factory: forwards to `real` and records the new swap chain's
    // queue.
    template <class SwapChain, class Real>
    HRESULT createSwapChain(IUnknown* device, SwapChain** swapChain, const Real& real);
    // Our objects in the swap chain are gone with it: drops the renderer when it draws into it.
    static void swapChainGone(IDXGISwapChain* swapChain);
    // Drops the renderer when it draws into `swapChain`, which is gone; with frameMutex_ held.
    void dropRendererOf(IDXGISwapChain* swapChain);
    // True when the overlay can draw into the swap chain; logs an unknown device once.
    bool drawable(IDXGISwapChain* swapChain);

    void beforePresent(IDXGISwapChain* swapChain);
    // Lets go of the back buffer before the game resizes it; never throws.
    void beforeResize(IDXGISwapChain* swapChain, const wchar_t* call) noexcept;
    // Before the game makes a swap chain: lets go of the one we draw into, which the game may just
    // have released (its window cannot get a new flip-model swap chain while the old one lives).
    void beforeSwapChainCreation(const wchar_t* call) noexcept;
    // Device-lost handling (or a stop completed) after the game's call, with frameMutex_; never throws.
    void afterCall(HRESULT result, const wchar_t* call) noexcept;
    // Makes the renderer for the current swap chain: Direct2D where it can draw, Direct3D 11 otherwise.
    std::shared_ptr<Rendering::SwapChainRenderer> createRenderer();
    // A renderer of the current swap chain's kind: the one kept when it still fits, a new one otherwise.
    std::shared_ptr<Rendering::SwapChainRenderer> rendererForSwapChain();
    void releaseRenderTarget();
    void checkDeviceLost(HRESULT result);
    void releaseOnStop() override;

    HMODULE dxgiModule_;
    HMODULE d3d11Module_;
    const std::wstring d3d12Name_;
    // Set while Direct3D 12 waits to be loaded by the game; cleared when its records are made.
    std::atomic<bool> d3d12Awaited_{false};
    // Held while the records change after the start (Direct3D 12's, late) and while they are read.
    std::mutex recordsMutex_;
    bool retired_ = false;                          // with recordsMutex_: no records are built or attached any more
    IDXGISwapChain* swapChain_ = nullptr;           // borrowed: the swap chain of the frame being presented
    DeviceKind swapChainKind_ = DeviceKind::Other;  // of swapChain_
    // Empty until the listener first asks; whatever kind it is, only SwapChainRenderer is asked.
    std::shared_ptr<Rendering::SwapChainRenderer> renderer_;
    DeviceKind rendererKind_ = DeviceKind::Other;
    // Borrowed, compared only: the swap chain an idle renderer (holding none) last drew into.
    IDXGISwapChain* idleFor_ = nullptr;
    std::atomic<bool> unknownDeviceLogged_{false};
    // Held wherever the renderer, swap chain, queues or listener are touched on a game thread: a frame
    // drawn, a resize or creation letting go of the back buffer, a stop completed, a device loss
    // handled. So none of them pulls the renderer from under a draw on another thread.
    std::recursive_mutex frameMutex_;
    SwapChainQueues queues_{&swapChainGone};
    // The renderer's swap chain, destroyed on another thread during a frame: dropped on the next one.
    std::atomic<IDXGISwapChain*> goneSwapChain_{nullptr};
    std::unique_ptr<HookRecord> createDeviceRecord_;
    std::unique_ptr<HookRecord> createDeviceAndSwapChainRecord_;
    std::unique_ptr<HookRecord> presentRecord_;
    std::unique_ptr<HookRecord> present1Record_;  // absent where swap chains have no IDXGISwapChain1
    std::unique_ptr<HookRecord> resizeBuffersRecord_;
    std::unique_ptr<HookRecord> resizeTargetRecord_;
    std::unique_ptr<HookRecord> createSwapChainRecord_;
    // The three of IDXGIFactory2: absent where the factory has none.
    std::unique_ptr<HookRecord> createSwapChainForHwndRecord_;
    std::unique_ptr<HookRecord> createSwapChainForCoreWindowRecord_;
    std::unique_ptr<HookRecord> createSwapChainForCompositionRecord_;
    // Direct3D 12 only (absent without it); the swap-chain three only where their code differs.
    std::unique_ptr<HookRecord> present12Record_;
    std::unique_ptr<HookRecord> present1D3D12Record_;
    std::unique_ptr<HookRecord> resizeBuffers12Record_;
    std::unique_ptr<HookRecord> resizeTarget12Record_;
    std::unique_ptr<HookRecord> resizeBuffers1Record_;
    std::unique_ptr<HookRecord> executeCommandListsRecord_;
};

}  // namespace Overlay
