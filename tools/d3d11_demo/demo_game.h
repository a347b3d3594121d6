#pragma once
// The Direct3D 11 demo game: one or more windows, each with a DXGI swap chain on one device, drawing
// an animated grid of rotating tiles. Most of its pipeline state (input layout, buffers, shaders,
// samplers, textures, blend / depth / rasterizer states, viewport and scissor) is bound once and
// relied on in every later frame, the way an engine with a state cache does; a foreign component
// that draws inside Present and does not put that state back corrupts the next frame, and the
// game's own state check counts it.

#include "demo_options.h"
#include "windowed_game.h"

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Demo {

class DemoGame : public DemoCommon::WindowedGame
{
public:
    explicit DemoGame(const Options& options);  // throws std::runtime_error
    ~DemoGame() override;

    // Draws one frame into every window and presents them. Returns the first failed Present result or S_OK.
    HRESULT renderFrame();
    // The whole program: frames until the window is closed or the frame limit is reached. Returns the exit code.
    int run();

    // Resizes the client area of a window; its swap chain is resized before the next frame is drawn.
    void requestResize(uint32_t width, uint32_t height, size_t windowIndex = 0);

    uint32_t resizeCount() const { return resizes_; }
    HRESULT lastResizeResult() const { return lastResizeResult_; }
    HRESULT lastPresentResult() const { return lastPresentResult_; }
    // Frames whose starting pipeline state differed from what the game had bound.
    uint32_t stateMismatches() const { return stateMismatches_; }
    const std::string& lastMismatch() const { return lastMismatch_; }

    size_t windowCount() const { return surfaces_.size(); }
    HWND window(size_t index = 0) const { return surfaces_.at(index).window; }
    IDXGISwapChain* swapChain(size_t index = 0) const { return surfaces_.at(index).swapChain.Get(); }
    ID3D11Device* device() const { return device_.Get(); }
    ID3D11DeviceContext* context() const { return context_.Get(); }
    // Clear colour of a frame (the background outside the tiles and the scissor margin), RGBA 0..1.
    static void clearColor(uint64_t frame, float rgba[4]);

    // Called for each window after the frame was drawn and before it is presented.
    std::function<void(size_t windowIndex, IDXGISwapChain*)> beforePresent;

private:
    struct Surface
    {
        HWND window = nullptr;
        Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain;
        Microsoft::WRL::ComPtr<ID3D11RenderTargetView> renderTarget;
        Microsoft::WRL::ComPtr<ID3D11Texture2D> depthBuffer;
        Microsoft::WRL::ComPtr<ID3D11DepthStencilView> depthView;
        uint32_t width = 0;
        uint32_t height = 0;
        uint32_t pendingWidth = 0;
        uint32_t pendingHeight = 0;
        bool resizePending = false;
    };

    void windowResized(HWND window, uint32_t width, uint32_t height) override;
    uint32_t currentWidth() const override { return surfaces_.front().width; }
    void resizeFirstWindow(uint32_t width, uint32_t height) override { requestResize(width, height); }
    // "frames=N resizes=N state-mismatches=N"
    std::string counters() const override;
    void createDevice();
    DXGI_SWAP_CHAIN_DESC swapChainDesc(HWND window) const;
    void createSwapChain(Surface& surface);
    void createSizeDependents(Surface& surface);
    void resizeSurface(Surface& surface);
    void createPipeline();
    void bindPipeline();
    void bindSurfaceRegion(const Surface& surface);
    void checkState();
    void updateInstances(float time);
    void updateTitle();

    Options options_;
    std::vector<Surface> surfaces_;
    Microsoft::WRL::ComPtr<ID3D11Device> device_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<ID3D11VertexShader> vertexShader_;
    Microsoft::WRL::ComPtr<ID3D11PixelShader> pixelShader_;
    Microsoft::WRL::ComPtr<ID3D11InputLayout> inputLayout_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> cornerBuffer_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> instanceBuffer_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> indexBuffer_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> constantBuffer_;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> patternTexture_;
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> patternView_;
    Microsoft::WRL::ComPtr<ID3D11SamplerState> sampler_;
    Microsoft::WRL::ComPtr<ID3D11BlendState> blendState_;
    Microsoft::WRL::ComPtr<ID3D11DepthStencilState> depthState_;
    Microsoft::WRL::ComPtr<ID3D11RasterizerState> rasterizerState_;
    D3D11_VIEWPORT viewport_ = {};
    D3D11_RECT scissor_ = {};
    uint32_t instanceCount_ = 0;
    uint32_t resizes_ = 0;
    HRESULT lastResizeResult_ = S_OK;
    HRESULT lastPresentResult_ = S_OK;
    uint32_t stateMismatches_ = 0;
    std::string lastMismatch_;
};

}  // namespace Demo
