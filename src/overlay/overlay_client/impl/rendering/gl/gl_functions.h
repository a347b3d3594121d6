#pragma once
// The OpenGL entry points the overlay draws with, looked up at run time: the DLL does not import
// opengl32.dll, so that a game drawing with Direct3D never gets it loaded. GL 1.1 and WGL come from
// the opengl32 module the game has loaded; later entry points from wglGetProcAddress, which answers
// only with a context current. <GL/gl.h> gives the types and GL 1.1 constants; nothing here calls
// its declarations.

#include <windows.h>

#include <GL/gl.h>

#include <cstddef>

namespace Overlay::Rendering::Gl {

typedef ptrdiff_t GLsizeiptr;
typedef ptrdiff_t GLintptr;

// Beyond GL 1.1.
constexpr GLbitfield MAP_WRITE_BIT = 0x0002;
constexpr GLbitfield MAP_INVALIDATE_BUFFER_BIT = 0x0008;
constexpr GLenum BGRA = 0x80E1;
constexpr GLenum CLAMP_TO_EDGE = 0x812F;
constexpr GLenum UNSIGNED_INT_8_8_8_8_REV = 0x8367;
constexpr GLenum WRITE_ONLY = 0x88B9;
constexpr GLenum STREAM_DRAW = 0x88E0;
constexpr GLenum PIXEL_UNPACK_BUFFER = 0x88EC;
constexpr GLenum SHADING_LANGUAGE_VERSION = 0x8B8C;

#define OVERLAY_GL_CORE_FUNCTIONS(X)                                                                                   \
    X(HGLRC, wglCreateContext, (HDC dc))                                                                               \
    X(BOOL, wglDeleteContext, (HGLRC context))                                                                         \
    X(BOOL, wglMakeCurrent, (HDC dc, HGLRC context))                                                                   \
    X(HGLRC, wglGetCurrentContext, (void))                                                                             \
    X(HDC, wglGetCurrentDC, (void))                                                                                    \
    X(PROC, wglGetProcAddress, (LPCSTR name))                                                                          \
    X(GLenum, glGetError, (void))                                                                                      \
    X(const GLubyte*, glGetString, (GLenum name))                                                                      \
    X(void, glViewport, (GLint x, GLint y, GLsizei width, GLsizei height))                                             \
    X(void, glEnable, (GLenum cap))                                                                                    \
    X(void, glDisable, (GLenum cap))                                                                                   \
    X(void, glBlendFunc, (GLenum source, GLenum destination))                                                          \
    X(void, glGenTextures, (GLsizei n, GLuint * textures))                                                             \
    X(void, glDeleteTextures, (GLsizei n, const GLuint* textures))                                                     \
    X(void, glBindTexture, (GLenum target, GLuint texture))                                                            \
    X(void, glTexParameteri, (GLenum target, GLenum name, GLint value))                                                \
    X(void, glTexEnvi, (GLenum target, GLenum name, GLint value))                                                      \
    X(void, glTexImage2D,                                                                                              \
      (GLenum target, GLint level, GLint internalFormat, GLsizei width, GLsizei height, GLint border, GLenum format,   \
       GLenum type, const void* pixels))                                                                               \
    X(void, glTexSubImage2D,                                                                                           \
      (GLenum target, GLint level, GLint x, GLint y, GLsizei width, GLsizei height, GLenum format, GLenum type,        \
       const void* pixels))                                                                                            \
    X(void, glPixelStorei, (GLenum name, GLint value))                                                                 \
    X(void, glMatrixMode, (GLenum mode))                                                                               \
    X(void, glLoadIdentity, (void))                                                                                    \
    X(void, glOrtho, (GLdouble left, GLdouble right, GLdouble bottom, GLdouble top, GLdouble nearZ, GLdouble farZ))    \
    X(void, glColor4f, (GLfloat r, GLfloat g, GLfloat b, GLfloat a))                                                   \
    X(void, glBegin, (GLenum mode))                                                                                    \
    X(void, glEnd, (void))                                                                                             \
    X(void, glTexCoord2f, (GLfloat s, GLfloat t))                                                                      \
    X(void, glVertex2i, (GLint x, GLint y))

#define OVERLAY_GL_EXTENDED_FUNCTIONS(X)                                                                               \
    X(void, glGenBuffers, (GLsizei n, GLuint * buffers))                                                               \
    X(void, glDeleteBuffers, (GLsizei n, const GLuint* buffers))                                                       \
    X(void, glBindBuffer, (GLenum target, GLuint buffer))                                                              \
    X(void, glBufferData, (GLenum target, GLsizeiptr size, const void* data, GLenum usage))                            \
    X(void*, glMapBuffer, (GLenum target, GLenum access))                                                              \
    X(GLboolean, glUnmapBuffer, (GLenum target))

// GL 3.0, null before.
#define OVERLAY_GL_OPTIONAL_FUNCTIONS(X)                                                                               \
    X(void*, glMapBufferRange, (GLenum target, GLintptr offset, GLsizeiptr length, GLbitfield access))

struct Functions
{
#define OVERLAY_GL_DECLARE(result, name, parameters) result(WINAPI* name) parameters = nullptr;
    OVERLAY_GL_CORE_FUNCTIONS(OVERLAY_GL_DECLARE)
    OVERLAY_GL_EXTENDED_FUNCTIONS(OVERLAY_GL_DECLARE)
    OVERLAY_GL_OPTIONAL_FUNCTIONS(OVERLAY_GL_DECLARE)
#undef OVERLAY_GL_DECLARE

    // GL 1.1 and WGL from the loaded opengl32.dll. Throws std::runtime_error when opengl32 is not
    // loaded or lacks one of them.
    void loadCore();
    // The later entry points, with a context of the pixel format they serve current, of GL
    // `major`.x. Throws std::runtime_error naming the first one missing.
    void loadExtended(int major);
};

}  // namespace Overlay::Rendering::Gl
