#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"

#include "err/text_conversion.h"
#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"
#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"
#include "overlay/overlay_client/impl/graphic_device_hook/present_gate.h"
#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"

#include <wrl/client.h>

#include "win/scope_guard.h"
#include "win/wine.h"

#include <initializer_list>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

using CreateDeviceAndSwapChainFn = HRESULT(WINAPI*)(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT,
                                                    const D3D_FEATURE_LEVEL*, UINT, UINT, const DXGI_SWAP_CHAIN_DESC*,
                                                    IDXGISwapChain**, ID3D11Device**, D3D_FEATURE_LEVEL*,
                                                    ID3D11DeviceContext**);
using CreateDxgiFactoryFn = HRESULT(WINAPI*)(REFIID, void**);
using CreateDxgiFactory1Fn = HRESULT(WINAPI*)(REFIID, void**);
using D3D12CreateDeviceFn = HRESULT(WINAPI*)(IUnknown*, D3D_FEATURE_LEVEL, REFIID, void**);

const size_t presentIndex = 8;
// A present of a running game arrives within this; one already under way has left by then.
const DWORD presentArrivalMs = 500;
// Making the throw-away device and swap chains takes a few hundred milliseconds under Wine: the
// game's presentation waits at most this long for them.
const DWORD presentHoldMs = 5000;
const size_t resizeBuffersIndex = 13;
const size_t resizeTargetIndex = 14;
const size_t swapChainMethodCount = 18;
const size_t present1Index = 22;
const size_t resizeBuffers1Index = 39;
const size_t executeCommandListsIndex = 10;
const size_t createSwapChainIndex = 10;
const size_t createSwapChainForHwndIndex = 15;
const size_t createSwapChainForCoreWindowIndex = 16;
const size_t createSwapChainForCompositionIndex = 24;

std::vector<void*> methodsOf(IUnknown* object, size_t count)
{
    void* const* table = *reinterpret_cast<void* const* const*>(object);
    return std::vector<void*>(table, table + count);
}

void* procAddress(HMODULE module, const char* name)
{
    void* const address = codeAddress(GetProcAddress(module, name));
    if (!address) {
        Err::throwLastError(std::string("Failed to get proc address: ") + name);
    }
    return address;
}

// Names the sentinel in a swap chain's private data.
const GUID sentinelId = {0x5b3e9c1a, 0x7d42, 0x4f0e, {0x8a, 0x6c, 0x21, 0x93, 0xd4, 0x5e, 0x0b, 0x77}};

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

std::mutex D3DHook::queuesMutex_;

// Attached to a Direct3D 12 swap chain: holds the queue it presents with for as long as the swap
// chain holds it.
class D3DHook::SwapChainSentinel final : public IUnknown
{
public:
    SwapChainSentinel(D3DHook* owner, IDXGISwapChain* swapChain) : owner_(owner), swapChain_(swapChain) {}

    STDMETHOD(QueryInterface)(REFIID id, void** object) override
    {
        if (!object) {
            return E_POINTER;
        }
        if (id != __uuidof(IUnknown)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    STDMETHOD_(ULONG, Release)() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            sentinelReleased(*this);
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    D3DHook* owner_;                                    // guarded by queuesMutex_; null once taken off
    IDXGISwapChain* const swapChain_;                   // borrowed: the swap chain that holds us
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> queue_;  // guarded by queuesMutex_; null while waited for

private:
    ~SwapChainSentinel() = default;

    LONG references_ = 1;
};

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
    const Methods methods = readMethods(d3d12Name);
    presentRecord_ =
        makeUniqueHookRecord(methods.swapChain[presentIndex], codeAddress(&presentHook<&D3DHook::presentRecord_>),
                             "IDXGISwapChain::Present");
    if (methods.swapChain.size() > present1Index) {
        present1Record_ =
            makeUniqueHookRecord(methods.swapChain[present1Index],
                                 codeAddress(&present1Hook<&D3DHook::present1Record_>), "IDXGISwapChain1::Present1");
    }
    resizeBuffersRecord_ = makeUniqueHookRecord(methods.swapChain[resizeBuffersIndex],
                                                codeAddress(&resizeBuffersHook<&D3DHook::resizeBuffersRecord_>),
                                                "IDXGISwapChain::ResizeBuffers");
    resizeTargetRecord_ = makeUniqueHookRecord(methods.swapChain[resizeTargetIndex],
                                               codeAddress(&resizeTargetHook<&D3DHook::resizeTargetRecord_>),
                                               "IDXGISwapChain::ResizeTarget");
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

D3DHook::Methods D3DHook::readMethods(const wchar_t* d3d12Name)
{
    Methods methods;
    auto read = [&] {
        methods.swapChain = readSwapChain1Methods(dxgiModule_, d3d11Module_);
        if (methods.swapChain.empty()) {
            throw std::runtime_error("Failed to get SwapChainVTable");
        }
        methods.factory = readFactoryMethods(dxgiModule_);
        try {
            // The game may load it later; loading it now makes the code we patch resident. Never freed.
            LoadLibraryW(d3d12Name);
            HMODULE d3d12Module = nullptr;
            if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, d3d12Name, &d3d12Module)) {
                Err::throwLastError("Failed to get module: " + Err::utf16ToUtf8(d3d12Name));
            }
            methods.d3d12 = readD3D12Methods(dxgiModule_, d3d12Module);
        } catch (const std::exception& e) {
            methods.d3d12Error = e.what();
        }
    };
    // A game that has loaded Direct3D 12 may be presenting with it right now, on whichever of its
    // threads. Under Wine our throw-away Direct3D 12 objects must not be made meanwhile (see
    // present_gate.h): its presentation waits for them, once. Elsewhere the game is not held up.
    if (Win::runningUnderWine() && GetModuleHandleW(L"d3d12.dll")) {
        LOG_INFO(L"Reading the DXGI methods while the game's presentation waits");
        callBetweenPresents(read, presentArrivalMs, presentHoldMs);
    } else {
        read();
    }
    return methods;
}

void D3DHook::buildD3D12Records(const D3D12Methods& methods)
{
    LOG_INFO(L"Hooking DXGI (D3D12)");
    // On Windows one swap-chain class serves both APIs and the records above cover it.
    if (methods.swapChain[presentIndex] != presentRecord_->getRealFunc()) {
        present12Record_ =
            makeUniqueHookRecord(methods.swapChain[presentIndex], codeAddress(&presentHook<&D3DHook::present12Record_>),
                                 "IDXGISwapChain::Present (D3D12)");
        resizeBuffers12Record_ = makeUniqueHookRecord(methods.swapChain[resizeBuffersIndex],
                                                      codeAddress(&resizeBuffersHook<&D3DHook::resizeBuffers12Record_>),
                                                      "IDXGISwapChain::ResizeBuffers (D3D12)");
        resizeTarget12Record_ = makeUniqueHookRecord(methods.swapChain[resizeTargetIndex],
                                                     codeAddress(&resizeTargetHook<&D3DHook::resizeTarget12Record_>),
                                                     "IDXGISwapChain::ResizeTarget (D3D12)");
    }
    if (!present1Record_ || methods.swapChain[present1Index] != present1Record_->getRealFunc()) {
        present1D3D12Record_ = makeUniqueHookRecord(methods.swapChain[present1Index],
                                                    codeAddress(&present1Hook<&D3DHook::present1D3D12Record_>),
                                                    "IDXGISwapChain1::Present1 (D3D12)");
    }
    resizeBuffers1Record_ = makeUniqueHookRecord(methods.swapChain[resizeBuffers1Index],
                                                 codeAddress(&resizeBuffers1Hook), "IDXGISwapChain3::ResizeBuffers1");
    executeCommandListsRecord_ =
        makeUniqueHookRecord(methods.queue[executeCommandListsIndex], codeAddress(&executeCommandListsHook),
                             "ID3D12CommandQueue::ExecuteCommandLists");
}

void D3DHook::buildFactoryRecords(const std::vector<void*>& factory)
{
    createSwapChainRecord_ = makeUniqueHookRecord(factory[createSwapChainIndex], codeAddress(&createSwapChainHook),
                                                  "IDXGIFactory::CreateSwapChain");
    if (factory.size() <= createSwapChainForCompositionIndex) {
        return;
    }
    createSwapChainForHwndRecord_ =
        makeUniqueHookRecord(factory[createSwapChainForHwndIndex], codeAddress(&createSwapChainForHwndHook),
                             "IDXGIFactory2::CreateSwapChainForHwnd");
    createSwapChainForCoreWindowRecord_ =
        makeUniqueHookRecord(factory[createSwapChainForCoreWindowIndex], codeAddress(&createSwapChainForCoreWindowHook),
                             "IDXGIFactory2::CreateSwapChainForCoreWindow");
    createSwapChainForCompositionRecord_ = makeUniqueHookRecord(factory[createSwapChainForCompositionIndex],
                                                                codeAddress(&createSwapChainForCompositionHook),
                                                                "IDXGIFactory2::CreateSwapChainForComposition");
}

std::vector<void*> D3DHook::readFactoryMethods(HMODULE dxgiModule)
{
    const auto createFactory = reinterpret_cast<CreateDxgiFactory1Fn>(procAddress(dxgiModule, "CreateDXGIFactory1"));
    ComPtr<IDXGIFactory1> factory;
    Err::throwIfFailed(createFactory(IID_PPV_ARGS(&factory)), "Failed to create IDXGIFactory1");
    // From the interface's own pointer, as for the swap chain.
    ComPtr<IDXGIFactory2> factory2;
    if (SUCCEEDED(factory.As(&factory2))) {
        return methodsOf(factory2.Get(), createSwapChainForCompositionIndex + 1);
    }
    return methodsOf(factory.Get(), createSwapChainIndex + 1);
}

D3DHook::D3D12Methods D3DHook::readD3D12Methods(HMODULE dxgiModule, HMODULE d3d12Module)
{
    const auto createDevice = reinterpret_cast<D3D12CreateDeviceFn>(procAddress(d3d12Module, "D3D12CreateDevice"));
    const auto createFactory = reinterpret_cast<CreateDxgiFactory1Fn>(procAddress(dxgiModule, "CreateDXGIFactory1"));
    ComPtr<IDXGIFactory2> factory;
    Err::throwIfFailed(createFactory(IID_PPV_ARGS(&factory)), "Failed to create IDXGIFactory2");
    ComPtr<ID3D12Device> device;
    Err::throwIfFailed(createDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)),
                       "Failed to create D3D12 device");
    D3D12_COMMAND_QUEUE_DESC queueDesc = {};
    queueDesc.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    ComPtr<ID3D12CommandQueue> queue;
    Err::throwIfFailed(device->CreateCommandQueue(&queueDesc, IID_PPV_ARGS(&queue)),
                       "Failed to create D3D12 command queue");
    const DummyWindow window;
    DXGI_SWAP_CHAIN_DESC1 desc = {};
    desc.Width = 64;
    desc.Height = 64;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    ComPtr<IDXGISwapChain1> swapChain;
    Err::throwIfFailed(
        factory->CreateSwapChainForHwnd(queue.Get(), window.handle(), &desc, nullptr, nullptr, &swapChain),
        "Failed to create D3D12 SwapChain");
    ComPtr<IDXGISwapChain3> swapChain3;
    Err::throwIfFailed(swapChain.As(&swapChain3), "Failed to get IDXGISwapChain3");
    D3D12Methods methods;
    methods.swapChain = methodsOf(swapChain3.Get(), resizeBuffers1Index + 1);
    methods.queue = methodsOf(queue.Get(), executeCommandListsIndex + 1);
    return methods;
}

D3DHook::~D3DHook()
{
    retire();
    forgetQueues();
    executeCommandListsRecord_.reset();
    createSwapChainForCompositionRecord_.reset();
    createSwapChainForCoreWindowRecord_.reset();
    createSwapChainForHwndRecord_.reset();
    createSwapChainRecord_.reset();
    resizeBuffers1Record_.reset();
    resizeTarget12Record_.reset();
    resizeBuffers12Record_.reset();
    present1D3D12Record_.reset();
    present12Record_.reset();
    resizeTargetRecord_.reset();
    resizeBuffersRecord_.reset();
    present1Record_.reset();
    presentRecord_.reset();
    createDeviceAndSwapChainRecord_.reset();
    createDeviceRecord_.reset();
    renderer_.reset();
}

std::vector<void*> D3DHook::readSwapChainMethods(HMODULE dxgiModule, HMODULE d3d11Module)
{
    std::vector<void*> methods = readSwapChain1Methods(dxgiModule, d3d11Module);
    methods.resize(swapChainMethodCount);
    return methods;
}

std::vector<void*> D3DHook::readSwapChain1Methods(HMODULE dxgiModule, HMODULE d3d11Module)
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
    std::vector<void*> methods = methodsOf(swapChain.Get(), swapChainMethodCount);
    // From the interface's own pointer: a wrapping swap chain may hand out another object's.
    ComPtr<IDXGISwapChain1> swapChain1;
    if (SUCCEEDED(swapChain.As(&swapChain1))) {
        const std::vector<void*> methods1 = methodsOf(swapChain1.Get(), present1Index + 1);
        methods.insert(methods.end(), methods1.begin() + swapChainMethodCount, methods1.end());
    }
    return methods;
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
    forgetQueues();
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
                static_cast<Rendering::RendererD3D12&>(*renderer_).queue() != queueOf(swapChain_).Get()) {
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
        return std::make_shared<Rendering::RendererD3D12>(swapChain_,
                                                          [this](IDXGISwapChain* chain) { return queueOf(chain); });
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

ComPtr<ID3D12CommandQueue> D3DHook::queueOf(IDXGISwapChain* swapChain)
{
    std::lock_guard<std::mutex> lock(queuesMutex_);
    const auto found = queues_.find(swapChain);
    return found != queues_.end() ? found->second->queue_ : nullptr;
}

bool D3DHook::drawable(IDXGISwapChain* swapChain)
{
    // A swap chain whose queue we hold is a live Direct3D 12 one (its entry goes with it): the device
    // check, two GetDevice calls, is spared on its every Present.
    if (queueOf(swapChain)) {
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
    ComPtr<ID3D12CommandQueue> offered;
    {
        std::lock_guard<std::mutex> lock(queuesMutex_);
        offered.Swap(offeredQueue_);  // not a move assignment: MinGW's ComPtr copies there
    }
    ComPtr<ID3D12Device> queueDevice;
    const bool found = offered && SUCCEEDED(offered->GetDevice(IID_PPV_ARGS(&queueDevice))) &&
                       queueDevice.Get() == Rendering::d3d12DeviceOf(swapChain).Get();
    if (found) {
        LOG_INFO(L"Command queue of the swap chain found: %0", static_cast<const void*>(offered.Get()));
    }
    // Recorded while it waits too: its sentinel tells when it no longer does.
    setQueue(swapChain, found ? offered : nullptr);
    return found;
}

void D3DHook::recordSwapChain(IUnknown* device, IUnknown* swapChain) noexcept
{
    guarded(L"CreateSwapChain", [&] {
        ComPtr<IDXGISwapChain> chain;
        ComPtr<ID3D12CommandQueue> queue;
        if (device && swapChain && SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&queue))) &&
            SUCCEEDED(swapChain->QueryInterface(IID_PPV_ARGS(&chain)))) {
            setQueue(chain.Get(), queue);
        }
    });
}

void D3DHook::setQueue(IDXGISwapChain* swapChain, ComPtr<ID3D12CommandQueue> queue)
{
    SwapChainSentinel* attached = nullptr;
    {
        std::lock_guard<std::mutex> lock(queuesMutex_);
        const auto found = queues_.find(swapChain);
        if (found != queues_.end()) {
            found->second->queue_.Swap(queue);  // the one replaced goes once the lock is let go
        } else {
            attached = new SwapChainSentinel(this, swapChain);
            attached->queue_ = queue;
            queues_[swapChain] = attached;
        }
        queueWanted_.store(queueWaitedFor());
    }
    if (attached) {
        const HRESULT result = swapChain->SetPrivateDataInterface(sentinelId, attached);
        attached->Release();  // the swap chain's reference from here on; the last one on failure
        if (FAILED(result)) {
            LOG_WARN(L"Failed to attach to the swap chain, hr = %0: the overlay is not drawn on it", result);
        }
    }
}

bool D3DHook::queueWaitedFor() const
{
    for (const auto& entry : queues_) {
        if (!entry.second->queue_) {
            return true;
        }
    }
    return false;
}

void D3DHook::sentinelReleased(SwapChainSentinel& sentinel) noexcept
{
    // Counted like a replacement: the hook's destruction waits for this call before it goes on.
    const Gate::Pass pass;
    // Released once the lock is let go: the last reference to a queue may take a device with it.
    ComPtr<ID3D12CommandQueue> queue;
    ComPtr<ID3D12CommandQueue> offered;
    D3DHook* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(queuesMutex_);
        queue.Swap(sentinel.queue_);
        owner = sentinel.owner_;
        if (!owner) {
            return;  // taken off by us
        }
        const auto found = owner->queues_.find(sentinel.swapChain_);
        if (found != owner->queues_.end() && found->second == &sentinel) {
            owner->queues_.erase(found);
        }
        if (!owner->queueWaitedFor()) {
            owner->queueWanted_.store(false);
            offered.Swap(owner->offeredQueue_);
        }
    }
    if (owner != pass.owner()) {
        return;  // the hook is being destroyed: it lets go of its renderer itself
    }
    guarded(L"Swap chain released", [&] {
        // The game may destroy a swap chain on any thread; a frame drawn on another one right now
        // leaves the renderer to the next frame.
        std::unique_lock<std::recursive_mutex> frame(owner->frameMutex_, std::try_to_lock);
        if (frame.owns_lock()) {
            owner->dropRendererOf(sentinel.swapChain_);
        } else {
            owner->goneSwapChain_.store(sentinel.swapChain_);
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

void D3DHook::offerQueue(ID3D12CommandQueue* queue) noexcept
{
    guarded(L"ExecuteCommandLists", [&] {
        if (queue->GetDesc().Type != D3D12_COMMAND_LIST_TYPE_DIRECT) {
            return;
        }
        ComPtr<ID3D12CommandQueue> replaced;  // released once the lock is let go
        std::lock_guard<std::mutex> lock(queuesMutex_);
        if (queueWanted_.load()) {
            replaced.Swap(offeredQueue_);
            offeredQueue_ = queue;
        }
    });
}

void D3DHook::forgetQueues()
{
    std::vector<IDXGISwapChain*> attached;  // each with a reference of ours
    ComPtr<ID3D12CommandQueue> offered;
    {
        std::lock_guard<std::mutex> lock(queuesMutex_);
        attached.reserve(queues_.size());
        for (const auto& entry : queues_) {
            entry.second->owner_ = nullptr;
            // A sentinel still listed is not released yet, so its swap chain's memory is there even
            // when another thread is destroying it right now: that one's count comes back from nought
            // to 1, and it releases the sentinel itself. Any other is held until we are off it.
            if (entry.first->AddRef() > 1) {
                attached.push_back(entry.first);
            }
        }
        queues_.clear();
        offered.Swap(offeredQueue_);
        queueWanted_.store(false);
    }
    // Outside the lock: taking a sentinel off releases it. Our code must not stay in the game's
    // objects, which outlive us once we are unloaded.
    for (IDXGISwapChain* swapChain : attached) {
        const auto release = Win::scopeExit([swapChain] { swapChain->Release(); });
        const HRESULT result = swapChain->SetPrivateData(sentinelId, 0, nullptr);
        if (FAILED(result)) {
            LOG_WARN(L"Failed to detach from a swap chain, hr = %0", result);
        }
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
    forgetQueues();
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
                self.recordSwapChain(queues[0], swapChain);  // presents with the first one given from now on
            }
            self.afterCall(result, L"ResizeBuffers1");
            return result;
        },
        swapChain, bufferCount, width, height, format, swapChainFlags, nodeMasks, queues);
}

HRESULT STDMETHODCALLTYPE D3DHook::createSwapChainHook(IDXGIFactory* factory, IUnknown* device,
                                                       DXGI_SWAP_CHAIN_DESC* desc, IDXGISwapChain** swapChain)
{
    return Gate::serve(
        &createSwapChainHook, &D3DHook::createSwapChainRecord_, E_FAIL,
        [&](D3DHook& self, const auto& real) {
            self.beforeSwapChainCreation(L"CreateSwapChain");
            const HRESULT result = real(factory, device, desc, swapChain);
            if (SUCCEEDED(result) && swapChain) {
                self.recordSwapChain(device, *swapChain);
            }
            return result;
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
            self.beforeSwapChainCreation(L"CreateSwapChain");
            const HRESULT result = real(factory, device, window, desc, fullscreenDesc, output, swapChain);
            if (SUCCEEDED(result) && swapChain) {
                self.recordSwapChain(device, *swapChain);
            }
            return result;
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
            self.beforeSwapChainCreation(L"CreateSwapChain");
            const HRESULT result = real(factory, device, window, desc, output, swapChain);
            if (SUCCEEDED(result) && swapChain) {
                self.recordSwapChain(device, *swapChain);
            }
            return result;
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
            self.beforeSwapChainCreation(L"CreateSwapChain");
            const HRESULT result = real(factory, device, desc, output, swapChain);
            if (SUCCEEDED(result) && swapChain) {
                self.recordSwapChain(device, *swapChain);
            }
            return result;
        },
        factory, device, desc, output, swapChain);
}

void STDMETHODCALLTYPE D3DHook::executeCommandListsHook(ID3D12CommandQueue* queue, UINT count,
                                                        ID3D12CommandList* const* lists)
{
    Gate::serve(
        &executeCommandListsHook, &D3DHook::executeCommandListsRecord_, nullptr,
        [&](D3DHook& self, const auto& real) {
            if (self.queueWanted_.load(std::memory_order_relaxed)) {
                self.offerQueue(queue);
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
