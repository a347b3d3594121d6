#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d9_hook.h"

#include "overlay/overlay_client/impl/diagnostic/d3d9_device_dump.h"
#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d9/renderer_d3d9.h"

#include <initializer_list>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

using Direct3DCreate9Fn = IDirect3D9*(WINAPI*)(UINT);
using Direct3DCreate9ExFn = HRESULT(WINAPI*)(UINT, IDirect3D9Ex**);

const size_t resetIndex = 16;
const size_t presentIndex = 17;

ComPtr<IDirect3D9> createDirect3D(HMODULE module)
{
    const auto create9 = reinterpret_cast<Direct3DCreate9Fn>(codeAddress(GetProcAddress(module, "Direct3DCreate9")));
    const auto create9Ex =
        reinterpret_cast<Direct3DCreate9ExFn>(codeAddress(GetProcAddress(module, "Direct3DCreate9Ex")));
    ComPtr<IDirect3D9> direct3D;
    if (create9Ex) {
        ComPtr<IDirect3D9Ex> extended;
        const HRESULT hr = create9Ex(D3D_SDK_VERSION, &extended);
        if (SUCCEEDED(hr)) {
            direct3D = extended;
        } else {
            LOG_WARN(L"Failed to create D3D9Ex instance: hr = %1", hr);
        }
    } else {
        LOG_WARN(L"Failed to obtain address of Direct3DCreate9Ex()");
    }
    if (!direct3D) {
        if (create9) {
            // Direct3DCreate9 returns a new reference.
            direct3D.Attach(create9(D3D_SDK_VERSION));
        } else {
            LOG_WARN(L"Failed to obtain address of Direct3DCreate9()");
        }
    }
    if (!direct3D) {
        throw std::runtime_error("Failed to create D3D9 instance");
    }
    return direct3D;
}

}  // namespace

D3D9Hook::D3D9Hook(HMODULE d3d9Module)
    : GraphicApiHook(L"D3DHook: request stop", L"D3D9Hook stopped"), SingleInstance<D3D9Hook>(this),
      d3d9Module_(d3d9Module)
{
    LOG_INFO(L"Hooking D3D9");
    if (!d3d9Module_) {
        throw std::invalid_argument("d3d9.dll is null");
    }
    const ComPtr<IDirect3DDevice9> device = createDummyDevice(d3d9Module_);
    void* const* table = *reinterpret_cast<void* const* const*>(device.Get());
    presentRecord_ = makeUniqueHookRecord(table[presentIndex], codeAddress(&presentHook), "Present");
    resetRecord_ = makeUniqueHookRecord(table[resetIndex], codeAddress(&resetHook), "Reset");
    Gate::open(this);
}

bool D3D9Hook::retire()
{
    unhook(getHooks());
    return Gate::close("D3D9Hook", retireTimeoutMs);
}

D3D9Hook::~D3D9Hook()
{
    // Before the members go: no thread may enter a replacement or still be inside one.
    retire();
}

ComPtr<IDirect3DDevice9> D3D9Hook::createDummyDevice(HMODULE d3d9Module)
{
    const ComPtr<IDirect3D9> direct3D = createDirect3D(d3d9Module);
    const DummyWindow window;
    D3DPRESENT_PARAMETERS parameters = {};
    parameters.BackBufferWidth = 1;
    parameters.BackBufferHeight = 1;
    parameters.BackBufferFormat = D3DFMT_UNKNOWN;
    parameters.BackBufferCount = 1;
    parameters.MultiSampleType = D3DMULTISAMPLE_NONE;
    parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    parameters.hDeviceWindow = window.handle();
    parameters.Windowed = TRUE;
    parameters.EnableAutoDepthStencil = FALSE;

    const UINT adapterCount = std::max(direct3D->GetAdapterCount(), 1u);
    ComPtr<IDirect3DDevice9> device;
    // The SDK's values, in this order: HAL 1, REF 2, SW 3, NULLREF 4.
    for (const D3DDEVTYPE type : {D3DDEVTYPE_HAL, D3DDEVTYPE_REF, D3DDEVTYPE_SW, D3DDEVTYPE_NULLREF}) {
        for (UINT adapter = 0; adapter < adapterCount; ++adapter) {
            device.Reset();
            D3DPRESENT_PARAMETERS attempt = parameters;
            const HRESULT hr = direct3D->CreateDevice(adapter, type, window.handle(),
                                                      D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_NOWINDOWCHANGES,
                                                      &attempt, &device);
            if (SUCCEEDED(hr) && device) {
                LOG_DEBUG(L"Created dummy device of type %1", static_cast<uint32_t>(type));
                return device;
            }
            LOG_WARN(L"Failed to create dummy device: devType = %1, adapter = %2, hr = %3", static_cast<uint32_t>(type),
                     adapter, hr);
        }
    }
    throw std::runtime_error("Failed to create dummy device");
}

HookList D3D9Hook::getHooks()
{
    return {presentRecord_.get(), resetRecord_.get()};
}

HookList D3D9Hook::getMandatoryHooks()
{
    return getHooks();
}

void D3D9Hook::releaseOnStop()
{
    device_ = nullptr;
    renderer_.reset();
}

std::shared_ptr<Rendering::Renderer> D3D9Hook::getRenderer()
{
    if (!device_) {
        throw std::logic_error("Failed to get renderer: Device is null");
    }
    if (renderer_ && renderer_->device() != device_) {
        renderer_.reset();
    }
    if (!renderer_) {
        renderer_ = std::make_shared<Rendering::RendererD3D9>(device_);
    }
    return renderer_;
}

void D3D9Hook::resetRenderer()
{
    renderer_.reset();
}

void D3D9Hook::dumpDevice()
{
    if (!renderer_) {
        LOG_WARN(L"Can not dump graphics device: D3D9 renderer is not set");
        return;
    }
    dumpD3D9Device(renderer_->device());
}

void D3D9Hook::beforePresent(IDirect3DDevice9* device)
{
    device_ = device;
    if (ready()) {
        if (GraphicDeviceHookListener* listener = this->listener()) {
            listener->onPresent(*this);
        }
        return;
    }
    // Only frames that name the window they go to count.
    ComPtr<IDirect3DSwapChain9> swapChain;
    D3DPRESENT_PARAMETERS parameters = {};
    if (FAILED(device->GetSwapChain(0, &swapChain)) || FAILED(swapChain->GetPresentParameters(&parameters)) ||
        parameters.hDeviceWindow == nullptr) {
        return;
    }
    if (GraphicDeviceHookListener* listener = countQualifyingFrame()) {
        listener->onDeviceWindow(parameters.hDeviceWindow);
    }
}

// --- Replacements: forward to the game's function, whatever happens around it. -------------------

HRESULT STDMETHODCALLTYPE D3D9Hook::presentHook(IDirect3DDevice9* device, const RECT* sourceRect, const RECT* destRect,
                                                HWND destWindowOverride, const RGNDATA* dirtyRegion)
{
    return Gate::serve(
        &presentHook, &D3D9Hook::presentRecord_, E_FAIL,
        [&](D3D9Hook& self, const auto& real) {
            guarded(L"Present", [&] {
                if (!self.stopped()) {
                    self.beforePresent(device);
                }
            });
            return real(device, sourceRect, destRect, destWindowOverride, dirtyRegion);
        },
        device, sourceRect, destRect, destWindowOverride, dirtyRegion);
}

HRESULT STDMETHODCALLTYPE D3D9Hook::resetHook(IDirect3DDevice9* device, D3DPRESENT_PARAMETERS* parameters)
{
    return Gate::serve(
        &resetHook, &D3D9Hook::resetRecord_, E_FAIL,
        [&](D3D9Hook& self, const auto& real) {
            // Nothing of ours is in the way of the Reset: the renderer holds no state block between
            // frames, and its resources are in the managed pool (on 9Ex devices, default-pool ones
            // survive a Reset).
            const HRESULT result = real(device, parameters);
            guarded(L"Reset", [&] {
                if (SUCCEEDED(result) && parameters != nullptr && !self.stopped()) {
                    if (GraphicDeviceHookListener* listener = self.listener()) {
                        listener->onDeviceReset(parameters->BackBufferWidth, parameters->BackBufferHeight,
                                                !parameters->Windowed);
                    }
                }
            });
            return result;
        },
        device, parameters);
}

}  // namespace Overlay
