#pragma once
// Draws the overlay with Direct3D 11 on the immediate context of the game's swap-chain device: a
// solid quad for the darkening and a textured quad per bitmap, each placed by the viewport alone.
// The game's whole graphics pipeline state is captured before drawing and put back afterwards.

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/d3d11_state_backup.h"
#include "overlay/overlay_client/impl/rendering/swap_chain_renderer.h"

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

namespace Overlay::Rendering {

class BitmapD3D11 final : public Bitmap
{
public:
    BitmapD3D11(const SizeU& size, ID3D11DeviceContext* context, ID3D11Device* device);
    ~BitmapD3D11() override;

    // Only the whole texture can be updated: a destination rectangle throws std::logic_error.
    void update(const void* pixels, uint32_t pitch, const RectI* dstRect) override;
    SizeU size() const override { return size_; }

    // Draws the texture stretched into `dst` on the bitmap's context, blending off.
    void draw(const RectI& dst);

private:
    SizeU size_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<ID3D11VertexShader> texturedVertexShader_;
    Microsoft::WRL::ComPtr<ID3D11PixelShader> texturedPixelShader_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> texturedVertexBuffer_;
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> shaderResourceView_;
    Microsoft::WRL::ComPtr<ID3D11InputLayout> texturedInputLayout_;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> texture_;
    Microsoft::WRL::ComPtr<ID3D11SamplerState> samplerState_;
};

class RendererD3D11 final : public SwapChainRenderer
{
public:
    // `swapChain` is borrowed and referenced until releaseBackBuffer. Throws when a device object
    // cannot be created.
    explicit RendererD3D11(IDXGISwapChain* swapChain);
    ~RendererD3D11() override;

    void beginDraw() override;
    void endDraw() override;
    std::shared_ptr<Bitmap> createBitmap(const SizeU& size) override;
    void drawBitmap(Bitmap& bitmap, const RectI& dst) override;
    void fillRect(const RectI& dst, const ColorF& color) override;

    IDXGISwapChain* swapChain() const override { return swapChain_.Get(); }
    bool usesDeviceOf(IDXGISwapChain* swapChain) const override;
    void setSwapChain(IDXGISwapChain* swapChain) override;
    std::shared_ptr<SwapChainRenderer> recreateFor(IDXGISwapChain* swapChain) const override;
    void releaseBackBuffer() override;
    // Drops the view of the back buffer, so that the swap chain's buffers can be resized.
    void destroyRenderTargetView();

private:
    void createRenderTargetView();
    void resetPipeline();

    D3D11StateBackup stateBackup_;
    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain_;
    Microsoft::WRL::ComPtr<ID3D11Device> device_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<ID3D11RenderTargetView> renderTargetView_;
    Microsoft::WRL::ComPtr<ID3D11VertexShader> solidVertexShader_;
    Microsoft::WRL::ComPtr<ID3D11PixelShader> solidPixelShader_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> solidVertexBuffer_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> colorBuffer_;
    Microsoft::WRL::ComPtr<ID3D11InputLayout> solidInputLayout_;
    Microsoft::WRL::ComPtr<ID3D11BlendState> alphaBlendState_;
};

// The Direct3D 11 device of a swap chain (the Direct2D renderer draws with it too); throws
// "Failed to get ID3D11Device" when it has none.
Microsoft::WRL::ComPtr<ID3D11Device> d3d11DeviceOf(IDXGISwapChain* swapChain);

}  // namespace Overlay::Rendering
