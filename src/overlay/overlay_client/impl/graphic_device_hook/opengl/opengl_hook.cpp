#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/opengl/opengl_hook.h"

#include "overlay/overlay_client/impl/diagnostic/gl_device_dump.h"
#include "overlay/overlay_client/impl/rendering/gl/renderer_gl.h"

namespace Overlay {
namespace {

using SwapBuffersFn = BOOL(WINAPI*)(HDC);
using SwapLayerBuffersFn = BOOL(WINAPI*)(HDC, UINT);

// wglSwapLayerBuffers' plane that is the window's own frame.
constexpr UINT swapMainPlane = 1;

// Swaps under way on this thread: the inner ones of a swap that calls another forward only.
thread_local int swapDepth = 0;

void* exportOf(HMODULE module, const char* name)
{
    void* address = codeAddress(GetProcAddress(module, name));
    if (address == nullptr) {
        throw std::runtime_error(std::string("Failed to obtain address of ") + name + "()");
    }
    return address;
}

}  // namespace

OpenGlHook::OpenGlHook(HMODULE opengl32Module, HMODULE gdi32Module)
    : GraphicApiHook(L"OpenGlHook: request stop", L"OpenGlHook stopped"), SingleInstance<OpenGlHook>(this)
{
    LOG_INFO(L"Hooking OpenGL");
    if (!opengl32Module || !gdi32Module) {
        throw std::invalid_argument("opengl32.dll or gdi32.dll is null");
    }
    wglSwapBuffersRecord_ = makeUniqueHookRecord(exportOf(opengl32Module, "wglSwapBuffers"),
                                                 codeAddress(&wglSwapBuffersHook), "wglSwapBuffers");
    swapBuffersRecord_ =
        makeUniqueHookRecord(exportOf(gdi32Module, "SwapBuffers"), codeAddress(&swapBuffersHook), "SwapBuffers");
    if (void* layerSwap = codeAddress(GetProcAddress(opengl32Module, "wglSwapLayerBuffers"))) {
        wglSwapLayerBuffersRecord_ =
            makeUniqueHookRecord(layerSwap, codeAddress(&wglSwapLayerBuffersHook), "wglSwapLayerBuffers");
    }
    Gate::open(this);
}

bool OpenGlHook::retire()
{
    unhook(getHooks());
    return Gate::close("OpenGlHook", retireTimeoutMs);
}

OpenGlHook::~OpenGlHook()
{
    // Before the members go: no thread may enter a replacement or still be inside one.
    retire();
}

HookList OpenGlHook::getHooks()
{
    HookList hooks = {wglSwapBuffersRecord_.get(), swapBuffersRecord_.get()};
    if (wglSwapLayerBuffersRecord_) {
        hooks.push_back(wglSwapLayerBuffersRecord_.get());
    }
    return hooks;
}

HookList OpenGlHook::getMandatoryHooks()
{
    // Every way of swapping ends in opengl32's wglSwapBuffers under Wine; on Windows gdi32's
    // SwapBuffers may go to the driver directly, so it is needed too. A layer swap is rare.
    return {wglSwapBuffersRecord_.get(), swapBuffersRecord_.get()};
}

void OpenGlHook::releaseOnStop()
{
    dc_ = nullptr;
    renderer_.reset();
}

std::shared_ptr<Rendering::Renderer> OpenGlHook::getRenderer()
{
    if (!dc_) {
        throw std::logic_error("Failed to get renderer: no frame swapped yet");
    }
    if (renderer_ && (renderer_->window() != WindowFromDC(dc_) || renderer_->pixelFormat() != GetPixelFormat(dc_))) {
        // Another window, or the game made its window anew: a context of ours only serves one
        // pixel format.
        renderer_.reset();
    }
    if (renderer_) {
        renderer_->setDeviceContext(dc_);
    } else {
        renderer_ = std::make_shared<Rendering::RendererGL>(dc_);
    }
    return renderer_;
}

void OpenGlHook::resetRenderer()
{
    renderer_.reset();
}

void OpenGlHook::dumpDevice()
{
    if (!renderer_) {
        LOG_WARN(L"Can not dump graphics device: OpenGL renderer is not set");
        return;
    }
    dumpGlDevice(*renderer_);
}

void OpenGlHook::beforeSwap(HDC dc)
{
    dc_ = dc;
    if (ready()) {
        if (GraphicDeviceHookListener* listener = this->listener()) {
            listener->onPresent(*this);
        }
        return;
    }
    // Only swaps into a window whose pixel format is set count: a memory or printer DC never shows.
    const HWND window = WindowFromDC(dc);
    if (window == nullptr || GetPixelFormat(dc) == 0) {
        return;
    }
    if (GraphicDeviceHookListener* listener = countQualifyingFrame()) {
        listener->onDeviceWindow(window);
    }
}

// --- Replacements: forward to the game's function, whatever happens around it. -------------------

template <class Real>
BOOL OpenGlHook::swap(OpenGlHook& self, HDC dc, const Real& real, const wchar_t* where)
{
    if (swapDepth == 0) {
        guarded(where, [&] {
            if (!self.stopped()) {
                self.beforeSwap(dc);
            }
        });
    }
    ++swapDepth;
    const BOOL result = real();
    --swapDepth;
    return result;
}

BOOL WINAPI OpenGlHook::wglSwapBuffersHook(HDC dc)
{
    return Gate::serve(
        &wglSwapBuffersHook, &OpenGlHook::wglSwapBuffersRecord_, FALSE,
        [&](OpenGlHook& self, const auto& real) {
            return swap(
                self, dc, [&] { return real(dc); }, L"wglSwapBuffers");
        },
        dc);
}

BOOL WINAPI OpenGlHook::swapBuffersHook(HDC dc)
{
    return Gate::serve(
        &swapBuffersHook, &OpenGlHook::swapBuffersRecord_, FALSE,
        [&](OpenGlHook& self, const auto& real) {
            return swap(
                self, dc, [&] { return real(dc); }, L"SwapBuffers");
        },
        dc);
}

BOOL WINAPI OpenGlHook::wglSwapLayerBuffersHook(HDC dc, UINT planes)
{
    return Gate::serve(
        &wglSwapLayerBuffersHook, &OpenGlHook::wglSwapLayerBuffersRecord_, FALSE,
        [&](OpenGlHook& self, const auto& real) {
            if ((planes & swapMainPlane) == 0) {
                return real(dc, planes);  // overlay or underlay planes only: not the game's frame
            }
            return swap(
                self, dc, [&] { return real(dc, planes); }, L"wglSwapLayerBuffers");
        },
        dc, planes);
}

}  // namespace Overlay
