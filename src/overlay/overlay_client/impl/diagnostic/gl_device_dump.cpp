#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/diagnostic/gl_device_dump.h"

namespace Overlay {

void dumpGlDevice(const Rendering::RendererGL& renderer)
{
    if (!Log::Core::isEnabled(Log::Level::Info)) {
        return;
    }
    LOG_INFO(L"=== OpenGL Graphics Device Dump Start ===");
    LOG_INFO(L"Vendor: %0", renderer.vendor());
    LOG_INFO(L"Renderer: %0", renderer.rendererName());
    LOG_INFO(L"Version: %0", renderer.version());
    LOG_INFO(L"Shading language: %0", renderer.shadingLanguageVersion());
    const PIXELFORMATDESCRIPTOR& format = renderer.pixelFormatDescription();
    LOG_INFO(L"Pixel format %0: colour %1 bits, alpha %2, depth %3, stencil %4, double buffer %5",
             renderer.pixelFormat(), unsigned(format.cColorBits), unsigned(format.cAlphaBits),
             unsigned(format.cDepthBits), unsigned(format.cStencilBits),
             (format.dwFlags & PFD_DOUBLEBUFFER) != 0 ? L"yes" : L"no");
    RECT client = {};
    if (GetClientRect(renderer.window(), &client)) {
        LOG_INFO(L"Client size: %0x%1", client.right, client.bottom);
    } else {
        LOG_ERROR(L"Failed to get the window's client size: %0", GetLastError());
    }
    LOG_INFO(L"=== OpenGL Graphics Device Dump End ===");
}

}  // namespace Overlay
