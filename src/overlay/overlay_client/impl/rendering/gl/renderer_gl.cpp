#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/gl/renderer_gl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Overlay::Rendering {

struct GlContext
{
    Gl::Functions gl;
    // Guards what follows: bitmaps go on whatever thread drops them last.
    std::mutex mutex;
    HGLRC context = nullptr;  // null once the renderer is gone
    HDC dc = nullptr;
    // Names of bitmaps dropped while the context was not current, deleted at the next beginDraw.
    std::vector<GLuint> textures;
    std::vector<GLuint> buffers;
};

namespace {

std::string lastErrorText(const char* call)
{
    return std::string(call) + " failed: " + std::to_string(GetLastError());
}

// Throws naming `step` when GL recorded an error since the last check (and clears the others).
void checkErrors(const Gl::Functions& gl, const char* step)
{
    const GLenum error = gl.glGetError();
    if (error == GL_NO_ERROR) {
        return;
    }
    for (int i = 0; i < 16 && gl.glGetError() != GL_NO_ERROR; ++i) {
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(error));
    throw std::runtime_error(std::string(step) + " raised GL error " + code);
}

// The renderer's context current on this thread for a scope, and what was current before put
// back; nothing changes when it is current already (between beginDraw and endDraw).
class ContextScope
{
public:
    explicit ContextScope(GlContext& shared) : gl_(shared.gl)
    {
        HGLRC context = nullptr;
        HDC dc = nullptr;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            context = shared.context;
            dc = shared.dc;
        }
        if (!context) {
            throw std::runtime_error("the OpenGL renderer of this bitmap is gone");
        }
        previousContext_ = gl_.wglGetCurrentContext();
        if (previousContext_ == context) {
            return;
        }
        previousDc_ = gl_.wglGetCurrentDC();
        if (!gl_.wglMakeCurrent(dc, context)) {
            const std::string error = lastErrorText("wglMakeCurrent of the overlay's context");
            gl_.wglMakeCurrent(previousContext_ ? previousDc_ : nullptr, previousContext_);
            throw std::runtime_error(error);
        }
        switched_ = true;
    }
    ~ContextScope()
    {
        if (switched_) {
            gl_.wglMakeCurrent(previousContext_ ? previousDc_ : nullptr, previousContext_);
        }
    }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

private:
    const Gl::Functions& gl_;
    HGLRC previousContext_ = nullptr;
    HDC previousDc_ = nullptr;
    bool switched_ = false;
};

}  // namespace

// --- BitmapGL ---------------------------------------------------------------------------------

BitmapGL::BitmapGL(std::shared_ptr<GlContext> context, const SizeU& size) : context_(std::move(context)), size_(size)
{
    const Gl::Functions& gl = context_->gl;
    const ContextScope current(*context_);
    gl.glGenTextures(1, &texture_);
    gl.glGenBuffers(1, &unpackBuffer_);
    gl.glBindTexture(GL_TEXTURE_2D, texture_);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    // Clamped so that linear filtering does not wrap the bitmap's edges around.
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, Gl::CLAMP_TO_EDGE);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, Gl::CLAMP_TO_EDGE);
    // Unsized, so that Mesa stores the texture as the B, G, R, A bytes it is given: an upload is then
    // a copy, not a conversion (a quarter of the time at 1920x1080 under llvmpipe).
    gl.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, static_cast<GLsizei>(size.width), static_cast<GLsizei>(size.height), 0,
                    Gl::BGRA, Gl::UNSIGNED_INT_8_8_8_8_REV, nullptr);
    checkErrors(gl, "creating a bitmap's texture");
}

BitmapGL::~BitmapGL()
{
    std::lock_guard<std::mutex> lock(context_->mutex);
    if (!context_->context) {
        return;  // deleted with the context
    }
    const Gl::Functions& gl = context_->gl;
    if (gl.wglGetCurrentContext() == context_->context) {
        gl.glDeleteTextures(1, &texture_);
        gl.glDeleteBuffers(1, &unpackBuffer_);
    } else {
        context_->textures.push_back(texture_);
        context_->buffers.push_back(unpackBuffer_);
    }
}

void BitmapGL::update(const void* pixels, uint32_t pitch, const RectI* dstRect)
{
    const RectI whole = {0, 0, static_cast<int32_t>(size_.width), static_cast<int32_t>(size_.height)};
    const RectI rect = dstRect ? *dstRect : whole;
    if (rect.left < 0 || rect.top < 0 || rect.right > whole.right || rect.bottom > whole.bottom || rect.width() <= 0 ||
        rect.height() <= 0) {
        throw std::runtime_error("bitmap update outside the bitmap");
    }
    const size_t rowBytes = static_cast<size_t>(rect.width()) * 4;
    if (pitch < rowBytes) {
        throw std::runtime_error("bitmap update with rows shorter than the rectangle");
    }
    // Rows a whole number of pixels apart go in one copy, GL skipping the rest of each row.
    const bool oneCopy = pitch % 4 == 0;
    const size_t bytes = oneCopy ? (static_cast<size_t>(rect.height()) - 1) * pitch + rowBytes
                                 : static_cast<size_t>(rect.height()) * rowBytes;

    const Gl::Functions& gl = context_->gl;
    const ContextScope current(*context_);
    gl.glBindBuffer(Gl::PIXEL_UNPACK_BUFFER, unpackBuffer_);
    // Storage of the last upload given up, so that the driver need not wait for the texture's
    // copy from it: by mapping it invalidated where GL 3 allows (a driver that is done with it
    // keeps it, rather than allocating the frame's bytes anew), else by new storage.
    void* mapping = nullptr;
    if (gl.glMapBufferRange && bytes <= unpackBytes_) {
        mapping = gl.glMapBufferRange(Gl::PIXEL_UNPACK_BUFFER, 0, static_cast<Gl::GLsizeiptr>(bytes),
                                      Gl::MAP_WRITE_BIT | Gl::MAP_INVALIDATE_BUFFER_BIT);
    } else {
        gl.glBufferData(Gl::PIXEL_UNPACK_BUFFER, static_cast<Gl::GLsizeiptr>(bytes), nullptr, Gl::STREAM_DRAW);
        unpackBytes_ = bytes;
        mapping = gl.glMapBuffer(Gl::PIXEL_UNPACK_BUFFER, Gl::WRITE_ONLY);
    }
    auto* mapped = static_cast<uint8_t*>(mapping);
    if (!mapped) {
        gl.glBindBuffer(Gl::PIXEL_UNPACK_BUFFER, 0);
        checkErrors(gl, "glMapBuffer of a bitmap's upload");
        throw std::runtime_error("glMapBuffer of a bitmap's upload returned no memory");
    }
    const auto* source = static_cast<const uint8_t*>(pixels);
    if (oneCopy) {
        std::memcpy(mapped, source, bytes);
    } else {
        for (int32_t row = 0; row < rect.height(); ++row) {
            std::memcpy(mapped + row * rowBytes, source + static_cast<size_t>(row) * pitch, rowBytes);
        }
    }
    const bool unmapped = gl.glUnmapBuffer(Gl::PIXEL_UNPACK_BUFFER) == GL_TRUE;
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, oneCopy ? static_cast<GLint>(pitch / 4) : 0);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl.glBindTexture(GL_TEXTURE_2D, texture_);
    if (unmapped) {
        gl.glTexSubImage2D(GL_TEXTURE_2D, 0, rect.left, rect.top, rect.width(), rect.height(), Gl::BGRA,
                           Gl::UNSIGNED_INT_8_8_8_8_REV, nullptr);
    }
    gl.glBindBuffer(Gl::PIXEL_UNPACK_BUFFER, 0);
    checkErrors(gl, "uploading a bitmap");
    if (!unmapped) {
        // The buffer's contents were lost (a mode change, say); the next dirty frame brings them.
        throw std::runtime_error("glUnmapBuffer of a bitmap's upload failed");
    }
}

// --- RendererGL -------------------------------------------------------------------------------

RendererGL::RendererGL(HDC dc) : context_(std::make_shared<GlContext>())
{
    LOG_INFO(L"Create RendererGL: %0", static_cast<const void*>(this));
    Gl::Functions& gl = context_->gl;
    gl.loadCore();
    window_ = WindowFromDC(dc);
    pixelFormat_ = GetPixelFormat(dc);
    if (pixelFormat_ == 0) {
        throw std::runtime_error(lastErrorText("GetPixelFormat"));
    }
    if (DescribePixelFormat(dc, pixelFormat_, sizeof pixelFormatDescription_, &pixelFormatDescription_) == 0) {
        throw std::runtime_error(lastErrorText("DescribePixelFormat"));
    }
    context_->dc = dc;
    context_->context = gl.wglCreateContext(dc);
    if (!context_->context) {
        throw std::runtime_error(lastErrorText("wglCreateContext"));
    }
    try {
        const ContextScope current(*context_);
        auto text = [&gl](GLenum name) {
            const GLubyte* value = gl.glGetString(name);
            return value ? std::string(reinterpret_cast<const char*>(value)) : std::string();
        };
        vendor_ = text(GL_VENDOR);
        rendererName_ = text(GL_RENDERER);
        version_ = text(GL_VERSION);
        shadingLanguageVersion_ = text(Gl::SHADING_LANGUAGE_VERSION);
        gl.loadExtended(std::atoi(version_.c_str()));
        // State no other code changes in this context: set once. The bitmap's texels as they are.
        gl.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
        gl.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        checkErrors(gl, "setting up the overlay's context");
    } catch (...) {
        gl.wglDeleteContext(context_->context);
        context_->context = nullptr;
        throw;
    }
}

RendererGL::~RendererGL()
{
    LOG_INFO(L"Destroy RendererGL: %0", static_cast<const void*>(this));
    std::lock_guard<std::mutex> lock(context_->mutex);
    const Gl::Functions& gl = context_->gl;
    if (gl.wglGetCurrentContext() == context_->context) {
        gl.wglMakeCurrent(nullptr, nullptr);
    }
    // Its textures and buffers go with it.
    gl.wglDeleteContext(context_->context);
    context_->context = nullptr;
    context_->textures.clear();
    context_->buffers.clear();
}

void RendererGL::setDeviceContext(HDC dc)
{
    std::lock_guard<std::mutex> lock(context_->mutex);
    context_->dc = dc;
}

void RendererGL::beginDraw()
{
    const Gl::Functions& gl = context_->gl;
    HGLRC context = nullptr;
    HDC dc = nullptr;
    std::vector<GLuint> textures;
    std::vector<GLuint> buffers;
    {
        std::lock_guard<std::mutex> lock(context_->mutex);
        context = context_->context;
        dc = context_->dc;
        textures.swap(context_->textures);
        buffers.swap(context_->buffers);
    }
    gameContext_ = gl.wglGetCurrentContext();
    gameDc_ = gl.wglGetCurrentDC();
    if (!gl.wglMakeCurrent(dc, context)) {
        const std::string error = lastErrorText("wglMakeCurrent of the overlay's context");
        endDraw();
        throw std::runtime_error(error);
    }
    drawing_ = true;
    if (!textures.empty()) {
        gl.glDeleteTextures(static_cast<GLsizei>(textures.size()), textures.data());
        gl.glDeleteBuffers(static_cast<GLsizei>(buffers.size()), buffers.data());
    }
    RECT client = {};
    GetClientRect(window_, &client);
    targetSize_ = {static_cast<uint32_t>(client.right), static_cast<uint32_t>(client.bottom)};
    const auto width = static_cast<GLsizei>(client.right);
    const auto height = static_cast<GLsizei>(client.bottom);
    gl.glViewport(0, 0, width, height);
    // Back-buffer pixels, origin at the top left as the render model has it.
    gl.glMatrixMode(GL_PROJECTION);
    gl.glLoadIdentity();
    gl.glOrtho(0.0, width, height, 0.0, -1.0, 1.0);
    gl.glMatrixMode(GL_MODELVIEW);
    gl.glLoadIdentity();
}

void RendererGL::endDraw()
{
    const Gl::Functions& gl = context_->gl;
    const GLenum error = drawing_ ? gl.glGetError() : GL_NO_ERROR;
    drawing_ = false;
    const BOOL restored = gl.wglMakeCurrent(gameContext_ ? gameDc_ : nullptr, gameContext_);
    gameContext_ = nullptr;
    gameDc_ = nullptr;
    if (!restored) {
        throw std::runtime_error(lastErrorText("wglMakeCurrent of the game's context"));
    }
    if (error != GL_NO_ERROR) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(error));
        throw std::runtime_error(std::string("drawing the overlay raised GL error ") + code);
    }
}

std::shared_ptr<Bitmap> RendererGL::createBitmap(const SizeU& size)
{
    return std::make_shared<BitmapGL>(context_, size);
}

namespace {

// A rectangle as two triangles' worth of quad, with the bitmap's top row at its top.
void drawQuad(const Gl::Functions& gl, const RectI& dst)
{
    gl.glBegin(GL_QUADS);
    gl.glTexCoord2f(0.0f, 0.0f);
    gl.glVertex2i(dst.left, dst.top);
    gl.glTexCoord2f(0.0f, 1.0f);
    gl.glVertex2i(dst.left, dst.bottom);
    gl.glTexCoord2f(1.0f, 1.0f);
    gl.glVertex2i(dst.right, dst.bottom);
    gl.glTexCoord2f(1.0f, 0.0f);
    gl.glVertex2i(dst.right, dst.top);
    gl.glEnd();
}

}  // namespace

void RendererGL::drawBitmap(Bitmap& bitmap, const RectI& dst)
{
    auto& texture = dynamic_cast<BitmapGL&>(bitmap);
    const Gl::Functions& gl = context_->gl;
    gl.glDisable(GL_BLEND);
    gl.glEnable(GL_TEXTURE_2D);
    gl.glBindTexture(GL_TEXTURE_2D, texture.texture());
    drawQuad(gl, dst);
}

void RendererGL::fillRect(const RectI& dst, const ColorF& color)
{
    const Gl::Functions& gl = context_->gl;
    gl.glDisable(GL_TEXTURE_2D);
    gl.glEnable(GL_BLEND);
    gl.glColor4f(color.r, color.g, color.b, color.a);
    drawQuad(gl, dst);
}

}  // namespace Overlay::Rendering
