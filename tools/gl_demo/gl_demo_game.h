#pragma once
// The OpenGL demo game: one window with a WGL context (a 3.2 core profile made through a throw-away
// legacy context, or a legacy compatibility context on the GL 2.1 code path) drawing a grid of
// rotating, textured tiles over a slowly changing background, into a framebuffer object of its own
// that it blits to the window. It sets a wide range of GL state of its own once (and again after a
// resize) and relies on it in every later frame; at the start of each frame it reads that state
// back, with the current context, and counts a frame whose state differs from what it left before
// the swap.

#include "common_options.h"
#include "gl_api.h"
#include "windowed_game.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace DemoGl {

struct Options : DemoCommon::CommonOptions
{
    bool coreProfile = true;
    // Present with opengl32's wglSwapBuffers instead of gdi32's SwapBuffers.
    bool wglSwap = false;
    bool checkState = true;
    // Delete the context and make a new one before these frames (a game that loses its context).
    std::vector<uint64_t> recreateAt;
};

// Parses the arguments (without the program name). Returns false and fills `error` on bad input.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string usageText();

// The GL state the game relies on, each entry named, as glGet* and WGL report it.
using StateSnapshot = std::vector<std::pair<const char*, std::vector<int64_t>>>;
// Empty when equal, otherwise the first difference in words.
std::string firstDifference(const StateSnapshot& expected, const StateSnapshot& actual);

class DemoGame : public DemoCommon::WindowedGame
{
public:
    explicit DemoGame(const Options& options);  // throws std::runtime_error
    ~DemoGame() override;

    // Draws one frame and swaps (resizing first when a resize is pending). Returns the swap's result.
    bool renderFrame();
    // Frames until the window is closed or the frame limit is reached. Returns the exit code.
    int run();

    // Resizes the client area; the framebuffer follows before the next frame.
    void requestResize(uint32_t width, uint32_t height);
    // Deletes the context and everything in it, and makes them again.
    void recreateContext();
    StateSnapshot captureState() const;
    // "frames=N resizes=N state-mismatches=N contexts=N"
    std::string counters() const override;

    uint32_t stateMismatches() const { return stateMismatches_; }
    const std::string& lastMismatch() const { return lastMismatch_; }
    HWND window() const { return window_; }
    HDC deviceContext() const { return dc_; }
    HGLRC context() const { return context_; }
    const GlFunctions& gl() const { return gl_; }
    // GL 3.0 or later: the scene goes through the framebuffer object.
    bool framebufferObjects() const { return gl_.glGenFramebuffers != nullptr && glMajor_ >= 3; }
    // The background of a frame, RGBA 0..1.
    static void clearColor(uint64_t frame, float rgba[4]);

    // Called after the frame was drawn and before it is swapped.
    std::function<void()> beforeSwap;

private:
    void windowResized(HWND window, uint32_t width, uint32_t height) override;
    uint32_t currentWidth() const override { return width_; }
    void resizeFirstWindow(uint32_t width, uint32_t height) override { requestResize(width, height); }
    void createContext();
    void destroyContext();
    void createResources();
    void createTargets();
    void setStates();
    void drawTiles(float time);

    Options options_;
    HWND window_ = nullptr;
    HDC dc_ = nullptr;
    HGLRC context_ = nullptr;
    GlFunctions gl_;
    int glMajor_ = 0;
    GLuint program_ = 0;
    GLint placementLocation_ = -1;
    GLint tintLocation_ = -1;
    GLuint vertexArray_ = 0;
    GLuint vertexBuffer_ = 0;
    GLuint indexBuffer_ = 0;
    GLuint unpackBuffer_ = 0;
    GLuint pattern_ = 0;
    GLuint framebuffer_ = 0;
    GLuint colourTexture_ = 0;
    GLuint depthStencil_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t pendingWidth_ = 0;
    uint32_t pendingHeight_ = 0;
    bool resizePending_ = false;
    StateSnapshot expected_;
    bool expectedValid_ = false;
    uint32_t resizes_ = 0;
    uint32_t contexts_ = 0;
    uint32_t stateMismatches_ = 0;
    std::string lastMismatch_;
};

}  // namespace DemoGl
