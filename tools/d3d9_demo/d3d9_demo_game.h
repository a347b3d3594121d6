#pragma once
// The Direct3D 9 demo game: one window with a Direct3D 9 (or 9Ex) device drawing a grid of moving,
// textured tiles over a slowly changing background with the fixed-function pipeline. It sets a wide
// range of render, sampler and texture-stage states of its own once per device (and again after
// each Reset) and relies on them in every later frame; at the start of each frame it reads them
// back and counts a frame whose state differs from what it left before Present. Window resizes
// reset the device. The window procedure counts the keyboard and mouse messages it receives.

#include <d3d9.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Demo9 {

struct ResizeStep
{
    uint64_t frame = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

struct Options
{
    uint32_t width = 800;
    uint32_t height = 600;
    int32_t x = 40;
    int32_t y = 40;
    // 0 runs until the window is closed.
    uint64_t frames = 0;
    // 0 presents immediately, 1 waits for the vertical blank.
    uint32_t syncInterval = 1;
    // Direct3DCreate9Ex and an IDirect3DDevice9Ex (default-pool resources only).
    bool extended = false;
    bool checkState = true;
    bool hidden = false;
    // Print the input counts every N frames (0: only on exit).
    uint64_t reportInputEvery = 0;
    std::vector<ResizeStep> resizes;
    bool help = false;
};

// Parses the arguments (without the program name). Returns false and fills `error` on bad input.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string usageText();

// A state set with SetRenderState (stage unused), SetSamplerState (sampler 0) or SetTextureStageState.
struct StateValue
{
    DWORD stage;
    DWORD state;
    DWORD value;
};
// What the game sets, none of it the device's default.
const std::vector<StateValue>& gameRenderStates();
const std::vector<StateValue>& gameSamplerStates();
const std::vector<StateValue>& gameStageStates();

// The device state the game relies on: its states above, FVF, shaders, viewport, stream 0, texture 0.
struct StateSnapshot
{
    std::vector<DWORD> values;
    DWORD fvf = 0;
    const void* vertexShader = nullptr;
    const void* pixelShader = nullptr;
    D3DVIEWPORT9 viewport = {};
    const void* stream = nullptr;
    UINT streamOffset = 0;
    UINT streamStride = 0;
    const void* texture = nullptr;
};
StateSnapshot captureState(IDirect3DDevice9* device);
// Empty when equal, otherwise the first difference in words.
std::string firstDifference(const StateSnapshot& expected, const StateSnapshot& actual);

class DemoGame
{
public:
    explicit DemoGame(const Options& options);  // throws std::runtime_error
    ~DemoGame();
    DemoGame(const DemoGame&) = delete;
    DemoGame& operator=(const DemoGame&) = delete;

    // Dispatches the pending window messages; false once the window was closed.
    bool pumpMessages();
    // Draws one frame and presents it (resetting the device first when a resize is pending).
    // Returns the Present result.
    HRESULT renderFrame();
    // Frames until the window is closed or the frame limit is reached. Returns the exit code.
    int run();

    // Resizes the client area; the device is reset to that size before the next frame.
    void requestResize(uint32_t width, uint32_t height);
    // Resets the device with the parameters the game would use, changed by `change`; returns Reset's result.
    HRESULT reset(const std::function<void(D3DPRESENT_PARAMETERS&)>& change = nullptr);
    // "frames=N resets=N state-mismatches=N key-messages=N mouse-messages=N"
    std::string counters() const;

    uint64_t frameCount() const { return frames_; }
    uint32_t resetCount() const { return resets_; }
    HRESULT lastResetResult() const { return lastResetResult_; }
    HRESULT lastPresentResult() const { return lastPresentResult_; }
    uint32_t stateMismatches() const { return stateMismatches_; }
    const std::string& lastMismatch() const { return lastMismatch_; }
    uint32_t keyMessages() const { return keyMessages_; }
    uint32_t mouseMessages() const { return mouseMessages_; }
    HWND window() const { return window_; }
    IDirect3DDevice9* device() const { return device_.Get(); }
    const D3DPRESENT_PARAMETERS& parameters() const { return parameters_; }
    // The background of a frame, outside the tiles.
    static D3DCOLOR clearColor(uint64_t frame);

    // Called after the frame was drawn (its scene ended) and before it is presented.
    std::function<void()> beforePresent;

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void createWindow();
    void createDevice();
    void createResources();
    void setStates();
    void drawTiles(float time);

    Options options_;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    Microsoft::WRL::ComPtr<IDirect3D9> direct3D_;
    Microsoft::WRL::ComPtr<IDirect3DDevice9> device_;
    Microsoft::WRL::ComPtr<IDirect3DVertexBuffer9> vertexBuffer_;  // default pool: released for Reset
    Microsoft::WRL::ComPtr<IDirect3DTexture9> texture_;
    D3DPRESENT_PARAMETERS parameters_ = {};
    StateSnapshot expected_;
    bool expectedValid_ = false;
    uint32_t pendingWidth_ = 0;
    uint32_t pendingHeight_ = 0;
    bool resizePending_ = false;
    uint64_t frames_ = 0;
    uint32_t resets_ = 0;
    HRESULT lastResetResult_ = S_OK;
    HRESULT lastPresentResult_ = S_OK;
    uint32_t stateMismatches_ = 0;
    std::string lastMismatch_;
    uint32_t keyMessages_ = 0;
    uint32_t mouseMessages_ = 0;
    UINT printMessage_ = 0;
    bool quit_ = false;
};

}  // namespace Demo9
