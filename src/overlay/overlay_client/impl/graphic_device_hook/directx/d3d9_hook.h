#pragma once
// Hooks Direct3D 9 games: Present and Reset of IDirect3DDevice9, whose code every device of the
// process shares, found in the method table of a throw-away device. Owns the renderer of the device
// that presents last, until the listener drops it (resetRenderer) or the hook stops.

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <d3d9.h>
#include <wrl/client.h>

#include <memory>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(D3D9Hook);

namespace Rendering {
class RendererD3D9;
}

class D3D9Hook final : public GraphicApiHook, private SingleInstance<D3D9Hook>
{
public:
    // Reads the device's method table from a throw-away device and builds the records (not
    // attached). Throws std::invalid_argument for a null module, std::runtime_error when no
    // Direct3D object or device can be made.
    explicit D3D9Hook(HMODULE d3d9Module);
    ~D3D9Hook() override;

    std::shared_ptr<Rendering::Renderer> getRenderer() override;
    void resetRenderer() override;
    void dumpDevice() override;
    HookList getHooks() override;
    HookList getMandatoryHooks() override;
    bool retire() override;

    // A device on a hidden window, tried for each device type (HAL, REF, SW, NULLREF) on each
    // adapter in turn, made through Direct3DCreate9Ex when the module has it.
    static Microsoft::WRL::ComPtr<IDirect3DDevice9> createDummyDevice(HMODULE d3d9Module);

private:
    using Gate = ReplacementGate<D3D9Hook>;

    static HRESULT STDMETHODCALLTYPE presentHook(IDirect3DDevice9* device, const RECT* sourceRect, const RECT* destRect,
                                                 HWND destWindowOverride, const RGNDATA* dirtyRegion);
    static HRESULT STDMETHODCALLTYPE resetHook(IDirect3DDevice9* device, D3DPRESENT_PARAMETERS* parameters);

    void beforePresent(IDirect3DDevice9* device);
    void releaseOnStop() override;

    HMODULE d3d9Module_;
    std::unique_ptr<HookRecord> presentRecord_;
    std::unique_ptr<HookRecord> resetRecord_;
    IDirect3DDevice9* device_ = nullptr;  // borrowed: the device of the frame being presented
    std::shared_ptr<Rendering::RendererD3D9> renderer_;
};

}  // namespace Overlay
