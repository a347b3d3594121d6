#pragma once
// Draws the overlay with Direct2D through a render target over the back buffer of the game's DXGI
// swap chain. Direct2D keeps its own device state, so nothing of the game's needs saving.

#include "overlay/overlay_client/impl/rendering/swap_chain_renderer.h"

#include <d2d1.h>
#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

namespace Overlay::Rendering {

class BitmapD2D final : public Bitmap
{
public:
    // Takes over the reference to `bitmap`; throws std::runtime_error when it is null.
    explicit BitmapD2D(ID2D1Bitmap* bitmap);
    ~BitmapD2D() override;

    void update(const void* pixels, uint32_t pitch, const RectI* dstRect) override;
    SizeU size() const override;

    ID2D1Bitmap* bitmap() const { return bitmap_.Get(); }

private:
    Microsoft::WRL::ComPtr<ID2D1Bitmap> bitmap_;
};

class RendererD2D final : public SwapChainRenderer
{
public:
    // `swapChain` is borrowed and referenced until releaseBackBuffer. Throws when Direct2D cannot
    // draw into the swap chain's back buffer.
    explicit RendererD2D(IDXGISwapChain* swapChain);
    ~RendererD2D() override;

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
    // Drops the render target over the back buffer, so that the swap chain's buffers can be resized.
    void destroyRenderTarget();

private:
    void createRenderTarget();
    ID2D1RenderTarget& target() const;

    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain_;
    Microsoft::WRL::ComPtr<ID3D11Device> device_;  // the swap chain's, to recognise its other swap chains
    Microsoft::WRL::ComPtr<ID2D1Factory> factory_;
    Microsoft::WRL::ComPtr<ID2D1RenderTarget> renderTarget_;
    Microsoft::WRL::ComPtr<ID2D1SolidColorBrush> brush_;
};

}  // namespace Overlay::Rendering
