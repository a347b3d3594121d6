#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/dxgi_methods.h"

#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"
#include "overlay/overlay_client/impl/graphic_device_hook/present_gate.h"
#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"

#include <d3d11.h>
#include <d3d12.h>
#include <dxgi1_4.h>
#include <wrl/client.h>

#include "win/wine.h"

#include <functional>
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

std::vector<void*> methodsOf(IUnknown* object, size_t count)
{
    void* const* table = *reinterpret_cast<void* const* const*>(object);
    return std::vector<void*>(table, table + count);
}

}  // namespace

void* procAddress(HMODULE module, const char* name)
{
    void* const address = codeAddress(GetProcAddress(module, name));
    if (!address) {
        Err::throwLastError(std::string("Failed to get proc address: ") + name);
    }
    return address;
}

std::vector<void*> readFactoryMethods(HMODULE dxgiModule)
{
    const auto createFactory = reinterpret_cast<CreateDxgiFactory1Fn>(procAddress(dxgiModule, "CreateDXGIFactory1"));
    ComPtr<IDXGIFactory1> factory;
    Err::throwIfFailed(createFactory(IID_PPV_ARGS(&factory)), "Failed to create IDXGIFactory1");
    // From the interface's own pointer, as for the swap chain.
    ComPtr<IDXGIFactory2> factory2;
    if (SUCCEEDED(factory.As(&factory2))) {
        return methodsOf(factory2.Get(), DxgiMethod::createSwapChainForComposition + 1);
    }
    return methodsOf(factory.Get(), DxgiMethod::createSwapChain + 1);
}

D3D12Methods readD3D12Methods(HMODULE dxgiModule, HMODULE d3d12Module)
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
    methods.swapChain = methodsOf(swapChain3.Get(), DxgiMethod::resizeBuffers1 + 1);
    methods.queue = methodsOf(queue.Get(), DxgiMethod::executeCommandLists + 1);
    return methods;
}

std::vector<void*> readSwapChain1Methods(HMODULE dxgiModule, HMODULE d3d11Module)
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
    std::vector<void*> methods = methodsOf(swapChain.Get(), DxgiMethod::swapChainCount);
    // From the interface's own pointer: a wrapping swap chain may hand out another object's.
    ComPtr<IDXGISwapChain1> swapChain1;
    if (SUCCEEDED(swapChain.As(&swapChain1))) {
        const std::vector<void*> methods1 = methodsOf(swapChain1.Get(), DxgiMethod::present1 + 1);
        methods.insert(methods.end(), methods1.begin() + DxgiMethod::swapChainCount, methods1.end());
    }
    return methods;
}

namespace {

// A game that has loaded Direct3D 12 may be presenting with it right now, on whichever of its
// threads: our throw-away Direct3D 12 objects are made beside its presents.
void readBesidePresents(const std::function<void()>& read)
{
    if (Win::runningUnderWine()) {
        LOG_INFO(L"Reading the DXGI methods while the game's presentation waits");
    }
    callBesidePresents(read);
}

}  // namespace

DxgiMethods readDxgiMethods(HMODULE dxgiModule, HMODULE d3d11Module, const wchar_t* d3d12Name)
{
    DxgiMethods methods;
    // Not loaded: a game that never uses Direct3D 12 pays nothing for it.
    const HMODULE d3d12Module = GetModuleHandleW(d3d12Name);
    auto read = [&] {
        methods.swapChain = readSwapChain1Methods(dxgiModule, d3d11Module);
        if (methods.swapChain.empty()) {
            throw std::runtime_error("Failed to get SwapChainVTable");
        }
        methods.factory = readFactoryMethods(dxgiModule);
        if (!d3d12Module) {
            return;
        }
        try {
            methods.d3d12 = readD3D12Methods(dxgiModule, d3d12Module);
        } catch (const std::exception& e) {
            methods.d3d12Error = e.what();
        }
    };
    if (d3d12Module) {
        readBesidePresents(read);
    } else {
        read();
    }
    return methods;
}

D3D12Methods readLateD3D12Methods(HMODULE dxgiModule, HMODULE d3d12Module)
{
    D3D12Methods methods;
    readBesidePresents([&] { methods = readD3D12Methods(dxgiModule, d3d12Module); });
    return methods;
}

}  // namespace Overlay
