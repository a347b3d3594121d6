#pragma once
// Draws the overlay on a game's Direct3D 9 device with the fixed-function pipeline: pre-transformed
// screen-space quads, one untextured for fills and one textured per bitmap, each clipped by the
// viewport, into the back buffer of swap chain 0. The game's device state is captured in a state
// block before drawing and applied afterwards, its render target and depth buffer put back; the
// overlay is drawn in a scene of its own. Between frames the renderer holds nothing of the game's
// but the device.

#include "overlay/overlay_client/impl/rendering/renderer.h"

#include <d3d9.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

namespace Overlay::Rendering {

class BitmapD3D9 final : public Bitmap
{
public:
    // `dynamic`: a default-pool texture written with discard (Direct3D 9Ex devices have no managed pool).
    BitmapD3D9(Microsoft::WRL::ComPtr<IDirect3DTexture9> texture, const SizeU& size, bool dynamic);

    void update(const void* pixels, uint32_t pitch, const RectI* dstRect) override;
    SizeU size() const override { return size_; }

    IDirect3DTexture9* texture() const { return texture_.Get(); }

private:
    Microsoft::WRL::ComPtr<IDirect3DTexture9> texture_;
    SizeU size_;
    bool dynamic_;
};

class RendererD3D9 final : public Renderer
{
public:
    // A state of SetRenderState or SetSamplerState (sampler 0), or of SetTextureStageState.
    struct StateId
    {
        uint32_t stage;  // texture stage; 0 for render and sampler states
        uint32_t state;
    };

    // `device` is borrowed and referenced for the renderer's life. Throws when the vertex buffer
    // cannot be made.
    explicit RendererD3D9(IDirect3DDevice9* device);
    ~RendererD3D9() override;

    void beginDraw() override;
    void endDraw() override;
    std::shared_ptr<Bitmap> createBitmap(const SizeU& size) override;
    // Blends the bitmap over the frame by its own alpha.
    void drawBitmap(Bitmap& bitmap, const RectI& dst) override;
    void fillRect(const RectI& dst, const ColorF& color) override;

    IDirect3DDevice9* device() const { return device_.Get(); }

    // Every state the renderer sets, for whoever checks that the game gets them back.
    static std::vector<StateId> touchedRenderStates();
    static std::vector<StateId> touchedSamplerStates();
    static std::vector<StateId> touchedStageStates();

private:
    void setViewport(const RectI& dst);
    void fillQuad(const RectI& dst, D3DCOLOR color);
    void drawQuad();
    // Gives the game its target, depth buffer and states back and lets go of them; false when a
    // call failed.
    bool restoreState();

    Microsoft::WRL::ComPtr<IDirect3DDevice9> device_;
    Microsoft::WRL::ComPtr<IDirect3DVertexBuffer9> vertexBuffer_;
    // The game's, from beginDraw to endDraw only.
    Microsoft::WRL::ComPtr<IDirect3DStateBlock9> stateBlock_;
    Microsoft::WRL::ComPtr<IDirect3DSurface9> gameTarget_;  // null when it is the back buffer
    Microsoft::WRL::ComPtr<IDirect3DSurface9> gameDepth_;
    DWORD savedFvf_ = 0;
    bool fvfSaved_ = false;  // a pure device refuses the read; its state block puts the FVF back
    bool extended_ = false;
    SizeU targetSize_;
};

// The viewport of the part of `dst` inside a target of `target` pixels (all zero when nothing is).
D3DVIEWPORT9 viewportFor(const RectI& dst, const SizeU& target);
// Straight-alpha colour as a D3DCOLOR: each channel times 255, truncated.
D3DCOLOR toD3DColor(const ColorF& color);

}  // namespace Overlay::Rendering
