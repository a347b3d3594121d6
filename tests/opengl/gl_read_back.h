#pragma once
// Reads the OpenGL demo game's back buffer with the game's context current.

#include "gl_demo_game.h"
#include "graphics_test_support.h"

#include <algorithm>

namespace GraphicsTest {

#ifndef GL_READ_BUFFER
#define GL_READ_BUFFER 0x0C02
#endif

// The window's back buffer, top row first; what the read changes is put back, so that the game's
// own state check stays quiet.
inline Image readBackBuffer(const DemoGl::DemoGame& game)
{
    RECT client = {};
    GetClientRect(game.window(), &client);
    Image image;
    image.width = static_cast<uint32_t>(client.right);
    image.height = static_cast<uint32_t>(client.bottom);
    std::vector<Rgba> bottomUp(size_t(image.width) * image.height);
    const bool framebuffers = game.framebufferObjects();
    GLint readFramebuffer = 0;
    GLint readBuffer = 0;
    GLint alignment = 0;
    if (framebuffers) {
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &readFramebuffer);
        game.gl().glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    }
    glGetIntegerv(GL_READ_BUFFER, &readBuffer);
    glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, GLsizei(image.width), GLsizei(image.height), GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
    glPixelStorei(GL_PACK_ALIGNMENT, alignment);
    if (framebuffers) {
        game.gl().glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(readFramebuffer));
    }
    glReadBuffer(static_cast<GLenum>(readBuffer));
    image.pixels.resize(bottomUp.size());
    for (uint32_t y = 0; y < image.height; ++y) {
        std::copy_n(bottomUp.begin() + ptrdiff_t(image.height - 1 - y) * image.width, image.width,
                    image.pixels.begin() + ptrdiff_t(y) * image.width);
    }
    return image;
}

}  // namespace GraphicsTest
