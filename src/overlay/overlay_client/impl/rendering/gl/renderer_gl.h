#pragma once
// Draws the overlay with OpenGL into the window's back buffer just before the game swaps it, with a
// context of the renderer's own made on the game's device context (so on the window's pixel format)
// and made current only around the overlay's drawing. The game's GL state is then untouched whatever
// it has bound (programs, vertex arrays, framebuffers, extensions' state); core and compatibility
// games are served alike, and so is a game that swaps with no context current or that deletes and
// makes anew its context. The price is two context switches per frame shown.

#include "overlay/overlay_client/impl/rendering/gl/gl_functions.h"
#include "overlay/overlay_client/impl/rendering/renderer.h"

#include <windows.h>

#include <memory>
#include <string>

namespace Overlay::Rendering {

// The renderer's context, shared with its bitmaps, which may outlive the renderer.
struct GlContext;

class BitmapGL final : public Bitmap
{
public:
    BitmapGL(std::shared_ptr<GlContext> context, const SizeU& size);
    // Deletes the texture when the renderer's context is current, else leaves it to the next
    // beginDraw (or to the context's deletion).
    ~BitmapGL() override;

    // Through a pixel-unpack buffer. Between beginDraw and endDraw, or anywhere else on a thread
    // where the renderer's context may be made current for the call.
    void update(const void* pixels, uint32_t pitch, const RectI* dstRect) override;
    SizeU size() const override { return size_; }

    GLuint texture() const { return texture_; }

private:
    std::shared_ptr<GlContext> context_;
    SizeU size_;
    GLuint texture_ = 0;
    GLuint unpackBuffer_ = 0;
    size_t unpackBytes_ = 0;
};

class RendererGL final : public Renderer
{
public:
    // Makes the renderer's own context on the pixel format of `dc` (the game's device context at
    // its swap) and what it draws with. Throws std::runtime_error naming the failed call.
    explicit RendererGL(HDC dc);
    ~RendererGL() override;  // deletes its objects and context; any thread, context not current
    // The device context of the frame about to be swapped (a game may GetDC anew each frame).
    void setDeviceContext(HDC dc);
    HWND window() const { return window_; }
    int pixelFormat() const { return pixelFormat_; }
    // DescribePixelFormat of that pixel format.
    const PIXELFORMATDESCRIPTOR& pixelFormatDescription() const { return pixelFormatDescription_; }
    // glGetString of GL_VENDOR, GL_RENDERER, GL_VERSION and GL_SHADING_LANGUAGE_VERSION in the
    // renderer's context.
    const std::string& vendor() const { return vendor_; }
    const std::string& rendererName() const { return rendererName_; }
    const std::string& version() const { return version_; }
    const std::string& shadingLanguageVersion() const { return shadingLanguageVersion_; }

    // Saves the current context and DC, makes the renderer's current on the device context,
    // viewport = the window's client size (the default framebuffer).
    void beginDraw() override;
    // Puts the game's context and DC back (none if none was current); throws if that fails or if
    // drawing raised a GL error.
    void endDraw() override;
    std::shared_ptr<Bitmap> createBitmap(const SizeU& size) override;
    void drawBitmap(Bitmap& bitmap, const RectI& dst) override;     // opaque, alpha ignored
    void fillRect(const RectI& dst, const ColorF& color) override;  // alpha-blended
    SizeU targetSize() const { return targetSize_; }                // client size at the last beginDraw

private:
    std::shared_ptr<GlContext> context_;
    HWND window_ = nullptr;
    int pixelFormat_ = 0;
    PIXELFORMATDESCRIPTOR pixelFormatDescription_ = {};
    std::string vendor_;
    std::string rendererName_;
    std::string version_;
    std::string shadingLanguageVersion_;
    HGLRC gameContext_ = nullptr;
    HDC gameDc_ = nullptr;
    bool drawing_ = false;
    SizeU targetSize_;
};

}  // namespace Overlay::Rendering
