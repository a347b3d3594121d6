#pragma once
// The Direct3D 9 demo game: one window with a Direct3D 9 (or 9Ex) device drawing a grid of moving,
// textured tiles over a slowly changing background with the fixed-function pipeline. It sets a wide
// range of render, sampler and texture-stage states of its own once per device (and again after
// each Reset) and relies on them in every later frame; at the start of each frame it reads them
// back and counts a frame whose state differs from what it left before Present. Window resizes
// reset the device. The window procedure counts the keyboard and mouse messages it receives.

#include "common_options.h"
#include "windowed_game.h"

#include <d3d9.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Demo9 {

struct Options : DemoCommon::CommonOptions
{
    // Direct3DCreate9Ex and an IDirect3DDevice9Ex (default-pool resources only).
    bool extended = false;
    bool checkState = true;
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

class DemoGame : public DemoCommon::WindowedGame
{
public:
    explicit DemoGame(const Options& options);  // throws std::runtime_error
    ~DemoGame() override;

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
    std::string counters() const override;

    uint32_t resetCount() const { return resets_; }
    HRESULT lastResetResult() const { return lastResetResult_; }
    HRESULT lastPresentResult() const { return lastPresentResult_; }
    uint32_t stateMismatches() const { return stateMismatches_; }
    const std::string& lastMismatch() const { return lastMismatch_; }
    HWND window() const { return window_; }
    IDirect3DDevice9* device() const { return device_.Get(); }
    const D3DPRESENT_PARAMETERS& parameters() const { return parameters_; }
    // The background of a frame, outside the tiles.
    static D3DCOLOR clearColor(uint64_t frame);

    // Called after the frame was drawn (its scene ended) and before it is presented.
    std::function<void()> beforePresent;

private:
    void windowResized(HWND window, uint32_t width, uint32_t height) override;
    uint32_t currentWidth() const override { return parameters_.BackBufferWidth; }
    void resizeFirstWindow(uint32_t width, uint32_t height) override { requestResize(width, height); }
    void createDevice();
    void createResources();
    void setStates();
    void drawTiles(float time);

    Options options_;
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
    uint32_t resets_ = 0;
    HRESULT lastResetResult_ = S_OK;
    HRESULT lastPresentResult_ = S_OK;
    uint32_t stateMismatches_ = 0;
    std::string lastMismatch_;
};

}  // namespace Demo9
