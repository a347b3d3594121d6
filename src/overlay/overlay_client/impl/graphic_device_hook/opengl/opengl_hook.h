#pragma once
// Hooks OpenGL games at the swap: opengl32's wglSwapBuffers and wglSwapLayerBuffers, and gdi32's
// SwapBuffers. A game calls any of them, and one may call another (gdi32's goes through opengl32's
// under Wine, a layer swap through the plain one), so only the outermost swap of a thread draws.
// The swaps are exports: no throw-away context is needed to find them. The device window is the
// window of the swap's device context. Owns the renderer, which draws with a context of its own on
// that window, until the listener drops it or the hook stops.

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <windows.h>

#include <memory>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(OpenGlHook);

namespace Rendering {
class RendererGL;
}

class OpenGlHook final : public GraphicApiHook, private SingleInstance<OpenGlHook>
{
public:
    // Builds the records (not attached). Throws std::invalid_argument for a null module,
    // std::runtime_error when a swap function is missing.
    OpenGlHook(HMODULE opengl32Module, HMODULE gdi32Module);
    ~OpenGlHook() override;

    // Throws std::logic_error before the first swap; makes a new renderer when the swap's window or
    // pixel format is not the renderer's.
    std::shared_ptr<Rendering::Renderer> getRenderer() override;
    void resetRenderer() override;
    // The renderer holds nothing of the game's but a context of its own on the game's window: it is
    // kept while hidden.
    bool idleRenderer() override { return true; }
    void dumpDevice() override;
    HookList getHooks() override;
    HookList getMandatoryHooks() override;
    bool retire() override;

private:
    using Gate = ReplacementGate<OpenGlHook>;

    static BOOL WINAPI wglSwapBuffersHook(HDC dc);
    static BOOL WINAPI wglSwapLayerBuffersHook(HDC dc, UINT planes);
    static BOOL WINAPI swapBuffersHook(HDC dc);
    // Runs the game's swap `real` with the overlay drawn first when this is the thread's outermost swap.
    template <class Real>
    static BOOL swap(OpenGlHook& self, HDC dc, const Real& real, const wchar_t* where);

    void beforeSwap(HDC dc);
    void releaseOnStop() override;

    std::unique_ptr<HookRecord> wglSwapBuffersRecord_;
    std::unique_ptr<HookRecord> wglSwapLayerBuffersRecord_;
    std::unique_ptr<HookRecord> swapBuffersRecord_;
    HDC dc_ = nullptr;  // borrowed: the device context of the frame being swapped
    std::shared_ptr<Rendering::RendererGL> renderer_;
};

}  // namespace Overlay
