#pragma once
// The OpenGL the demo game uses beyond the GL 1.1 that opengl32's import library and <GL/gl.h>
// carry: the few constants and entry points it needs, loaded with wglGetProcAddress once a context
// is current. Declared here rather than taken from <GL/glext.h>, which not every Windows SDK has.

#include <windows.h>

#include <GL/gl.h>

#include <cstddef>

// opengl32 exports it; the Windows headers do not declare it.
extern "C" WINGDIAPI BOOL WINAPI wglSwapBuffers(HDC dc);

typedef char GLchar;
typedef ptrdiff_t GLsizeiptr;

#define GL_BLEND_COLOR 0x8005
#define GL_FUNC_ADD 0x8006
#define GL_MAX 0x8008
#define GL_BLEND_EQUATION_RGB 0x8009
#define GL_BLEND_DST_RGB 0x80C8
#define GL_BLEND_SRC_RGB 0x80C9
#define GL_BLEND_DST_ALPHA 0x80CA
#define GL_BLEND_SRC_ALPHA 0x80CB
#define GL_CLAMP_TO_EDGE 0x812F
#define GL_DEPTH_STENCIL_ATTACHMENT 0x821A
#define GL_TEXTURE0 0x84C0
#define GL_ACTIVE_TEXTURE 0x84E0
#define GL_INCR_WRAP 0x8507
#define GL_VERTEX_ARRAY_BINDING 0x85B5
#define GL_VERTEX_ATTRIB_ARRAY_ENABLED 0x8622
#define GL_VERTEX_ATTRIB_ARRAY_SIZE 0x8623
#define GL_VERTEX_ATTRIB_ARRAY_STRIDE 0x8624
#define GL_VERTEX_ATTRIB_ARRAY_TYPE 0x8625
#define GL_VERTEX_ATTRIB_ARRAY_POINTER 0x8645
#define GL_BLEND_EQUATION_ALPHA 0x883D
#define GL_VERTEX_ATTRIB_ARRAY_NORMALIZED 0x886A
#define GL_ARRAY_BUFFER 0x8892
#define GL_ELEMENT_ARRAY_BUFFER 0x8893
#define GL_ARRAY_BUFFER_BINDING 0x8894
#define GL_ELEMENT_ARRAY_BUFFER_BINDING 0x8895
#define GL_VERTEX_ATTRIB_ARRAY_BUFFER_BINDING 0x889F
#define GL_STREAM_DRAW 0x88E0
#define GL_STATIC_DRAW 0x88E4
#define GL_PIXEL_UNPACK_BUFFER 0x88EC
#define GL_PIXEL_UNPACK_BUFFER_BINDING 0x88EF
#define GL_DEPTH24_STENCIL8 0x88F0
#define GL_FRAGMENT_SHADER 0x8B30
#define GL_VERTEX_SHADER 0x8B31
#define GL_COMPILE_STATUS 0x8B81
#define GL_LINK_STATUS 0x8B82
#define GL_INFO_LOG_LENGTH 0x8B84
#define GL_CURRENT_PROGRAM 0x8B8D
#define GL_DRAW_FRAMEBUFFER_BINDING 0x8CA6
#define GL_RENDERBUFFER_BINDING 0x8CA7
#define GL_READ_FRAMEBUFFER 0x8CA8
#define GL_DRAW_FRAMEBUFFER 0x8CA9
#define GL_READ_FRAMEBUFFER_BINDING 0x8CAA
#define GL_FRAMEBUFFER_COMPLETE 0x8CD5
#define GL_COLOR_ATTACHMENT0 0x8CE0
#define GL_FRAMEBUFFER 0x8D40
#define GL_RENDERBUFFER 0x8D41
#define GL_FRAMEBUFFER_SRGB 0x8DB9

#define WGL_CONTEXT_MAJOR_VERSION_ARB 0x2091
#define WGL_CONTEXT_MINOR_VERSION_ARB 0x2092
#define WGL_CONTEXT_PROFILE_MASK_ARB 0x9126
#define WGL_CONTEXT_CORE_PROFILE_BIT_ARB 0x0001

namespace DemoGl {

// Entry points of GL 2.0 (every profile) and GL 3.0 (framebuffer objects and vertex arrays, null
// below 3.0), plus the WGL extensions.
#define DEMO_GL_FUNCTIONS(X)                                                                                           \
    X(void, glActiveTexture, (GLenum unit))                                                                            \
    X(void, glBlendColor, (GLfloat r, GLfloat g, GLfloat b, GLfloat a))                                                \
    X(void, glBlendEquationSeparate, (GLenum rgb, GLenum alpha))                                                       \
    X(void, glBlendFuncSeparate, (GLenum srcRgb, GLenum dstRgb, GLenum srcAlpha, GLenum dstAlpha))                     \
    X(void, glGenBuffers, (GLsizei n, GLuint * buffers))                                                               \
    X(void, glDeleteBuffers, (GLsizei n, const GLuint* buffers))                                                       \
    X(void, glBindBuffer, (GLenum target, GLuint buffer))                                                              \
    X(void, glBufferData, (GLenum target, GLsizeiptr size, const void* data, GLenum usage))                            \
    X(GLuint, glCreateShader, (GLenum type))                                                                           \
    X(void, glShaderSource, (GLuint shader, GLsizei count, const GLchar* const* text, const GLint* size))              \
    X(void, glCompileShader, (GLuint shader))                                                                          \
    X(void, glGetShaderiv, (GLuint shader, GLenum name, GLint * value))                                                \
    X(void, glGetShaderInfoLog, (GLuint shader, GLsizei size, GLsizei * length, GLchar * log))                         \
    X(void, glDeleteShader, (GLuint shader))                                                                           \
    X(GLuint, glCreateProgram, (void))                                                                                 \
    X(void, glAttachShader, (GLuint program, GLuint shader))                                                           \
    X(void, glBindAttribLocation, (GLuint program, GLuint index, const GLchar* name))                                  \
    X(void, glLinkProgram, (GLuint program))                                                                           \
    X(void, glGetProgramiv, (GLuint program, GLenum name, GLint * value))                                              \
    X(void, glGetProgramInfoLog, (GLuint program, GLsizei size, GLsizei * length, GLchar * log))                       \
    X(void, glUseProgram, (GLuint program))                                                                            \
    X(void, glDeleteProgram, (GLuint program))                                                                         \
    X(GLint, glGetUniformLocation, (GLuint program, const GLchar* name))                                               \
    X(void, glUniform1i, (GLint location, GLint value))                                                                \
    X(void, glUniform4f, (GLint location, GLfloat x, GLfloat y, GLfloat z, GLfloat w))                                 \
    X(void, glVertexAttribPointer,                                                                                     \
      (GLuint index, GLint size, GLenum type, GLboolean normalized, GLsizei stride, const void* offset))               \
    X(void, glEnableVertexAttribArray, (GLuint index))                                                                 \
    X(void, glGetVertexAttribiv, (GLuint index, GLenum name, GLint * value))                                           \
    X(void, glGetVertexAttribPointerv, (GLuint index, GLenum name, void** pointer))                                    \
    X(void, glGenVertexArrays, (GLsizei n, GLuint * arrays))                                                           \
    X(void, glDeleteVertexArrays, (GLsizei n, const GLuint* arrays))                                                   \
    X(void, glBindVertexArray, (GLuint array))                                                                         \
    X(void, glGenFramebuffers, (GLsizei n, GLuint * framebuffers))                                                     \
    X(void, glDeleteFramebuffers, (GLsizei n, const GLuint* framebuffers))                                             \
    X(void, glBindFramebuffer, (GLenum target, GLuint framebuffer))                                                    \
    X(void, glFramebufferTexture2D, (GLenum target, GLenum attachment, GLenum type, GLuint texture, GLint level))      \
    X(void, glFramebufferRenderbuffer, (GLenum target, GLenum attachment, GLenum type, GLuint renderbuffer))           \
    X(GLenum, glCheckFramebufferStatus, (GLenum target))                                                               \
    X(void, glBlitFramebuffer,                                                                                         \
      (GLint sx0, GLint sy0, GLint sx1, GLint sy1, GLint dx0, GLint dy0, GLint dx1, GLint dy1, GLbitfield mask,        \
       GLenum filter))                                                                                                 \
    X(void, glGenRenderbuffers, (GLsizei n, GLuint * renderbuffers))                                                   \
    X(void, glDeleteRenderbuffers, (GLsizei n, const GLuint* renderbuffers))                                           \
    X(void, glBindRenderbuffer, (GLenum target, GLuint renderbuffer))                                                  \
    X(void, glRenderbufferStorage, (GLenum target, GLenum format, GLsizei width, GLsizei height))                      \
    X(HGLRC, wglCreateContextAttribsARB, (HDC dc, HGLRC share, const int* attributes))                                 \
    X(BOOL, wglSwapIntervalEXT, (int interval))

struct GlFunctions
{
#define DEMO_GL_DECLARE(result, name, parameters) result(APIENTRY* name) parameters = nullptr;
    DEMO_GL_FUNCTIONS(DEMO_GL_DECLARE)
#undef DEMO_GL_DECLARE

    // Loads every entry point the current context offers; the missing ones stay null.
    void load();
};

}  // namespace DemoGl
