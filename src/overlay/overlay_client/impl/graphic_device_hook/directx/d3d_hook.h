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
// A Direct3D 12 swap chain does not name the queue it presents with, and drawing needs it. It is
// recorded where the game creates its swap chain (the factory's CreateSwapChain methods) and, for a
// swap chain made before we were loaded, taken from the game's own ExecuteCommandLists on a direct
// queue of the swap chain's device. Where the runtime gives Direct3D 12 swap chains code of their own
// (Wine does), that code is hooked too, as is IDXGISwapChain3::ResizeBuffers1.
//
// The queue is kept in a small object attached to the swap chain as private data: the swap chain
// releases it when it is destroyed, and with it our reference to the queue, so that a game that
// lets go of its swap chain, queue and device gets its device destroyed. Stop and device loss take
// these objects off the swap chains still alive (nothing of ours may stay in the game's objects).

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <d3d11.h>
#include <d3d12.h>
#include <dxgi1_4.h>
#include <wrl/client.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(D3DHook);

namespace Rendering {
class SwapChainRenderer;
}  // namespace Rendering

class D3DHook final : public GraphicApiHook, private SingleInstance<D3DHook>
{
public:
    // Reads the method tables from throw-away objects and builds the records (not attached). Direct3D
    // 12 is hooked besides where `d3d12Name` loads and can make a device (tests name one that does
    // not). Throws when an entry point is missing or no Direct3D 11 device or DXGI factory can be made.
    D3DHook(HMODULE dxgiModule, HMODULE d3d11Module, const wchar_t* d3d12Name = L"d3d12.dll");
    ~D3DHook() override;

    std::shared_ptr<Rendering::Renderer> getRenderer() override;
    void resetRenderer() override;
    void dumpDevice() override;
    HookList getHooks() override;
    HookList getMandatoryHooks() override;
    bool retire() override;

    // The first 18 entries of a swap chain's method table (Present is 8, ResizeBuffers 13,
    // ResizeTarget 14), read from a throw-away device and swap chain made with the given modules.
    static std::vector<void*> readSwapChainMethods(HMODULE dxgiModule, HMODULE d3d11Module);
    // The same, with IDXGISwapChain1's first 23 entries (Present1 is 22) where the swap chain has them.
    static std::vector<void*> readSwapChain1Methods(HMODULE dxgiModule, HMODULE d3d11Module);

    // A throw-away DXGI factory's first 25 methods (CreateSwapChain 10, CreateSwapChainForHwnd 15,
    // ForCoreWindow 16, ForComposition 24); the first 11 where it has no IDXGIFactory2. Throws when
    // none can be made.
    static std::vector<void*> readFactoryMethods(HMODULE dxgiModule);

    // What the Direct3D 12 hooks patch, read from a throw-away device, queue and swap chain: the swap
    // chain's first 40 methods (Present1 is 22, ResizeBuffers1 39) and the queue's first 11
    // (ExecuteCommandLists is 10). Throws when one cannot be made.
    struct D3D12Methods
    {
        std::vector<void*> swapChain;
        std::vector<void*> queue;
    };
    static D3D12Methods readD3D12Methods(HMODULE dxgiModule, HMODULE d3d12Module);

    // What presents with a swap chain, as far as the overlay is concerned.
    enum class DeviceKind { D3D11, D3D12, Other };
    static DeviceKind deviceKindOf(IDXGISwapChain* swapChain);

    // The command queue recorded for a swap chain; null when not known (yet).
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> queueOf(IDXGISwapChain* swapChain);

    // D3D11_CREATE_DEVICE_BGRA_SUPPORT added: Direct2D needs it.
    static UINT withBgraSupport(UINT flags) { return flags | D3D11_CREATE_DEVICE_BGRA_SUPPORT; }

private:
    using Gate = ReplacementGate<D3DHook>;
    class SwapChainSentinel;

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
    // Every method table the hooks patch; d3d12 is empty (d3d12Error says why) where Direct3D 12 is
    // not available. Throws when the swap chain's table cannot be read.
    struct Methods
    {
        std::vector<void*> swapChain;
        std::vector<void*> factory;
        std::optional<D3D12Methods> d3d12;
        std::string d3d12Error;
    };
    Methods readMethods(const wchar_t* d3d12Name);
    void buildFactoryRecords(const std::vector<void*>& factory);
    void buildD3D12Records(const D3D12Methods& methods);
    // Remembers the queue of a swap chain the game just created (nothing for any other device).
    void recordSwapChain(IUnknown* device, IUnknown* swapChain) noexcept;
    // Sets the swap chain's queue (null: it waits for one), attaching a sentinel when it has none.
    void setQueue(IDXGISwapChain* swapChain, Microsoft::WRL::ComPtr<ID3D12CommandQueue> queue);
    // Whether a recorded swap chain waits for its queue; with queuesMutex_ held.
    bool queueWaitedFor() const;
    // The sentinel's last reference is gone: so is its swap chain, unless we took it off ourselves.
    static void sentinelReleased(SwapChainSentinel& sentinel) noexcept;
    // Drops the renderer when it draws into `swapChain`, which is gone; with frameMutex_ held.
    void dropRendererOf(IDXGISwapChain* swapChain);
    // Takes a direct queue the game executes on, while a Direct3D 12 swap chain waits for one.
    void offerQueue(ID3D12CommandQueue* queue) noexcept;
    // True when the overlay can draw into the swap chain; logs an unknown device once.
    bool drawable(IDXGISwapChain* swapChain);
    void forgetQueues();

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
    IDXGISwapChain* swapChain_ = nullptr;           // borrowed: the swap chain of the frame being presented
    DeviceKind swapChainKind_ = DeviceKind::Other;  // of swapChain_
    // Empty until the listener first asks; whatever kind it is, only SwapChainRenderer is asked.
    std::shared_ptr<Rendering::SwapChainRenderer> renderer_;
    DeviceKind rendererKind_ = DeviceKind::Other;
    std::atomic<bool> unknownDeviceLogged_{false};
    // Swap chains are created, destroyed and queues executed on the game's threads, not only the
    // presenting one. Static: a sentinel may outlive the hook it was made by.
    static std::mutex queuesMutex_;
    // Held wherever the renderer, swap chain, queues or listener are touched on a game thread: a frame
    // drawn, a resize or creation letting go of the back buffer, a stop completed, a device loss
    // handled. So none of them pulls the renderer from under a draw on another thread.
    std::recursive_mutex frameMutex_;
    // Each sentinel (borrowed) is alive while its swap chain is, and leaves the map with it.
    std::map<IDXGISwapChain*, SwapChainSentinel*> queues_;
    // Set while a Direct3D 12 swap chain presents with a queue we do not know.
    std::atomic<bool> queueWanted_{false};
    // Held only while queueWanted_ is set.
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> offeredQueue_;
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
