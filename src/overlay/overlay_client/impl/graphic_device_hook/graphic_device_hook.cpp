#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"

#include "err/text_conversion.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d9_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/opengl/opengl_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/vulkan/vulkan_hook.h"

namespace Overlay {

HMODULE loadedModule(const wchar_t* name)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, name, &module)) {
        Err::throwLastError("Failed to get module: " + Err::utf16ToUtf8(name));
    }
    return module;
}

GraphicDeviceHook::GraphicDeviceHook(uint32_t graphicApi) : SingleInstance<GraphicDeviceHook>(this)
{
    // Loaded even when the game has not loaded them yet; never freed.
    if (graphicApi == direct3D9) {
        LoadLibraryW(L"d3d9.dll");
        hook_ = std::make_unique<D3D9Hook>(loadedModule(L"d3d9.dll"));
        return;
    }
    if (graphicApi == openGl) {
        LoadLibraryW(L"opengl32.dll");
        hook_ = std::make_unique<OpenGlHook>(loadedModule(L"opengl32.dll"), loadedModule(L"gdi32.dll"));
        return;
    }
    if (graphicApi == vulkan) {
        LoadLibraryW(L"vulkan-1.dll");
        hook_ = std::make_unique<VulkanHook>(loadedModule(L"vulkan-1.dll"));
        return;
    }
    LoadLibraryW(L"DXGI.dll");
    LoadLibraryW(L"D3D11.dll");
    const HMODULE dxgiModule = loadedModule(L"DXGI.dll");
    const HMODULE d3d11Module = loadedModule(L"D3D11.dll");
    hook_ = std::make_unique<D3DHook>(dxgiModule, d3d11Module);
}

GraphicDeviceHook::~GraphicDeviceHook()
{
    // A game thread may still be inside a replacement, waiting in the real Present or in the
    // listener; freeing the API hook under it would make it resume into freed memory. When it does
    // not leave in time, the API hook is kept for the life of the process instead.
    if (hook_ && !hook_->retire()) {
        LOG_ERROR(L"Graphics hook kept for the life of the process: a thread is still inside it");
        static_cast<void>(hook_.release());
    }
    hook_.reset();
}

HookList GraphicDeviceHook::getHooks()
{
    return hook_->getHooks();
}

HookList GraphicDeviceHook::getMandatoryHooks()
{
    return hook_->getMandatoryHooks();
}

void GraphicDeviceHook::setListener(GraphicDeviceHookListener* listener)
{
    hook_->setListener(listener);
}

void GraphicDeviceHook::stop()
{
    hook_->stop();
}

}  // namespace Overlay
