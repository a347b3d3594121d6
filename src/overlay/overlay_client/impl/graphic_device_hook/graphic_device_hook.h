#pragma once
// Entry point of graphics hooking: makes sure the system's graphics modules are loaded and owns the
// one hook for the graphics API the host named.

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <cstdint>
#include <memory>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(GraphicDeviceHook);

class GraphicDeviceHook : private SingleInstance<GraphicDeviceHook>
{
public:
    // graphicApi 1 is Direct3D 9, 2 OpenGL, 3 Vulkan; any other value DXGI, which serves Direct3D 11
    // and 12 games.
    // Throws when the modules or the API hook cannot be had.
    explicit GraphicDeviceHook(uint32_t graphicApi);
    // Detaches and lets the API hook go once no thread is inside its replacements; keeps it for
    // the life of the process when one stays longer than GraphicApiHook::retireTimeoutMs.
    ~GraphicDeviceHook();
    GraphicDeviceHook(const GraphicDeviceHook&) = delete;
    GraphicDeviceHook& operator=(const GraphicDeviceHook&) = delete;

    HookList getHooks();
    HookList getMandatoryHooks();
    // Null removes the listener.
    void setListener(GraphicDeviceHookListener* listener);
    void stop();

    // The graphicApi values of Direct3D 9, OpenGL and Vulkan.
    static constexpr uint32_t direct3D9 = 1;
    static constexpr uint32_t openGl = 2;
    static constexpr uint32_t vulkan = 3;

private:
    std::unique_ptr<GraphicApiHook> hook_;
};

// GetModuleHandleExW without changing the reference count; throws "Failed to get module: <name>".
HMODULE loadedModule(const wchar_t* name);

}  // namespace Overlay
