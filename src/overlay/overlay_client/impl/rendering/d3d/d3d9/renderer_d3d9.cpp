#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d9/renderer_d3d9.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <type_traits>

using Microsoft::WRL::ComPtr;

namespace Overlay::Rendering {
namespace {

struct Vertex
{
    float x, y, z, rhw;
    D3DCOLOR diffuse;
    float u, v;
};

const DWORD vertexFormat = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1;
const UINT quadBytes = 4 * sizeof(Vertex);
static_assert(sizeof(Vertex) == 28 && quadBytes == 112, "the quad's layout is fixed by its FVF");

struct StateValue
{
    DWORD state;
    DWORD value;
};

struct StageStateValue
{
    DWORD stage;
    DWORD state;
    DWORD value;
};

// Set at beginDraw. Besides depth, stencil, lighting, blending and culling, everything else a game
// may have left on that would change what the overlay looks like (alpha test, fog, write masks,
// sRGB, clip planes) is switched off.
const StateValue drawingRenderStates[] = {
    {D3DRS_ZENABLE, FALSE},
    {D3DRS_ZWRITEENABLE, FALSE},
    {D3DRS_STENCILENABLE, FALSE},
    {D3DRS_LIGHTING, FALSE},
    {D3DRS_ALPHABLENDENABLE, TRUE},
    {D3DRS_BLENDOP, D3DBLENDOP_ADD},
    {D3DRS_SRCBLEND, D3DBLEND_SRCALPHA},
    {D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA},
    {D3DRS_CULLMODE, D3DCULL_NONE},
    {D3DRS_SCISSORTESTENABLE, FALSE},
    {D3DRS_ALPHATESTENABLE, FALSE},
    {D3DRS_SEPARATEALPHABLENDENABLE, FALSE},
    {D3DRS_FOGENABLE, FALSE},
    {D3DRS_COLORWRITEENABLE, 0xF},
    {D3DRS_SRGBWRITEENABLE, FALSE},
    {D3DRS_CLIPPLANEENABLE, 0},
};

// Sampler 0. Clamped so that linear filtering does not wrap the bitmap's edges around.
const StateValue drawingSamplerStates[] = {
    {D3DSAMP_MINFILTER, D3DTEXF_LINEAR},   {D3DSAMP_MAGFILTER, D3DTEXF_LINEAR},   {D3DSAMP_MIPFILTER, D3DTEXF_NONE},
    {D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP}, {D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP}, {D3DSAMP_SRGBTEXTURE, FALSE},
};

// Only stage 0 takes part; its coordinates are the quad's own.
const StageStateValue drawingStageStates[] = {
    {0, D3DTSS_TEXCOORDINDEX, 0},
    {0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_DISABLE},
    {1, D3DTSS_COLOROP, D3DTOP_DISABLE},
    {1, D3DTSS_ALPHAOP, D3DTOP_DISABLE},
};

const StateValue bitmapRenderStates[] = {
    {D3DRS_COLORVERTEX, FALSE},
    {D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_MATERIAL},
};

// The texture's colour and alpha: the bitmap is blended by its own alpha whatever the game's stage did.
const StageStateValue bitmapStageStates[] = {
    {0, D3DTSS_COLOROP, D3DTOP_SELECTARG1}, {0, D3DTSS_COLORARG1, D3DTA_TEXTURE}, {0, D3DTSS_COLORARG2, D3DTA_DIFFUSE},
    {0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1}, {0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE},
};

const StateValue fillRenderStates[] = {
    {D3DRS_COLORVERTEX, TRUE},
    {D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR1},
};

// The vertex colour alone: with no texture bound a texture argument would give opaque white.
const StageStateValue fillStageStates[] = {
    {0, D3DTSS_COLOROP, D3DTOP_SELECTARG1},
    {0, D3DTSS_COLORARG1, D3DTA_DIFFUSE},
    {0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1},
    {0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE},
};

template <size_t N>
void setRenderStates(IDirect3DDevice9* device, const StateValue (&states)[N])
{
    for (const StateValue& entry : states) {
        const HRESULT hr = device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(entry.state), entry.value);
        if (FAILED(hr)) {
            throw std::runtime_error("Failed to set RenderState: type = " + std::to_string(entry.state) +
                                     ", value = " + std::to_string(entry.value) + ", hr = " + std::to_string(hr));
        }
    }
}

template <size_t N>
void setStageStates(IDirect3DDevice9* device, const StageStateValue (&states)[N])
{
    for (const StageStateValue& entry : states) {
        Err::throwIfFailed(
            device->SetTextureStageState(entry.stage, static_cast<D3DTEXTURESTAGESTATETYPE>(entry.state), entry.value),
            "SetTextureStageState");
    }
}

template <class Entry, size_t N>
void appendIds(std::vector<RendererD3D9::StateId>& ids, const Entry (&states)[N])
{
    for (const Entry& entry : states) {
        RendererD3D9::StateId id{0, entry.state};
        if constexpr (std::is_same_v<Entry, StageStateValue>) {
            id.stage = entry.stage;
        }
        const bool known = std::any_of(ids.begin(), ids.end(), [&](const RendererD3D9::StateId& other) {
            return other.stage == id.stage && other.state == id.state;
        });
        if (!known) {
            ids.push_back(id);
        }
    }
}

bool isExtended(IDirect3DDevice9* device)
{
    ComPtr<IDirect3DDevice9Ex> extended;
    return SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&extended)));
}

}  // namespace

D3DVIEWPORT9 viewportFor(const RectI& dst, const SizeU& target)
{
    const int32_t right = static_cast<int32_t>(std::min<uint32_t>(target.width, INT_MAX));
    const int32_t bottom = static_cast<int32_t>(std::min<uint32_t>(target.height, INT_MAX));
    const RectI clipped = {std::max(dst.left, 0), std::max(dst.top, 0), std::min(dst.right, right),
                           std::min(dst.bottom, bottom)};
    D3DVIEWPORT9 viewport = {};
    if (clipped.right > clipped.left && clipped.bottom > clipped.top) {
        viewport.X = static_cast<DWORD>(clipped.left);
        viewport.Y = static_cast<DWORD>(clipped.top);
        viewport.Width = static_cast<DWORD>(clipped.right - clipped.left);
        viewport.Height = static_cast<DWORD>(clipped.bottom - clipped.top);
    }
    viewport.MinZ = 0.0f;
    viewport.MaxZ = 0.0f;
    return viewport;
}

D3DCOLOR toD3DColor(const ColorF& color)
{
    auto channel = [](float value) { return static_cast<uint32_t>(static_cast<int64_t>(value * 255.0f)) & 0xFFu; };
    return channel(color.a) << 24 | channel(color.r) << 16 | channel(color.g) << 8 | channel(color.b);
}

// --- BitmapD3D9 -------------------------------------------------------------------------------

BitmapD3D9::BitmapD3D9(ComPtr<IDirect3DTexture9> texture, const SizeU& size, bool dynamic)
    : texture_(std::move(texture)), size_(size), dynamic_(dynamic)
{
}

void BitmapD3D9::update(const void* pixels, uint32_t pitch, const RectI* dstRect)
{
    const RECT whole = {0, 0, static_cast<LONG>(size_.width), static_cast<LONG>(size_.height)};
    const RECT target = dstRect ? RECT{dstRect->left, dstRect->top, dstRect->right, dstRect->bottom} : whole;
    const bool replaceAll = !dstRect || std::memcmp(&target, &whole, sizeof whole) == 0;
    D3DLOCKED_RECT locked = {};
    Err::throwIfFailed(texture_->LockRect(0, &locked, &target, dynamic_ && replaceAll ? D3DLOCK_DISCARD : 0),
                       "IDirect3DTexture9::LockRect");
    auto* destination = static_cast<uint8_t*>(locked.pBits);
    const auto* source = static_cast<const uint8_t*>(pixels);
    const size_t height = static_cast<size_t>(target.bottom - target.top);
    const auto lockedPitch = static_cast<uint32_t>(locked.Pitch);
    if (lockedPitch == pitch) {
        std::memcpy(destination, source, height * pitch);
    } else {
        // A source row longer than the texture's row is cut to the texture's.
        const size_t rowBytes = std::min(pitch, lockedPitch);
        for (size_t row = 0; row < height; ++row) {
            std::memcpy(destination, source, rowBytes);
            destination += lockedPitch;
            source += pitch;
        }
    }
    Err::throwIfFailed(texture_->UnlockRect(0), "IDirect3DTexture9::UnlockRect");
}

// --- RendererD3D9 -----------------------------------------------------------------------------

RendererD3D9::RendererD3D9(IDirect3DDevice9* device) : device_(device), extended_(isExtended(device))
{
    LOG_INFO(L"Create RendererD3D9: %0", static_cast<const void*>(this));
    // Direct3D 9Ex devices have no managed pool; their default-pool resources survive Reset.
    const DWORD usage = extended_ ? D3DUSAGE_WRITEONLY | D3DUSAGE_DYNAMIC : D3DUSAGE_WRITEONLY;
    const D3DPOOL pool = extended_ ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED;
    Err::throwIfFailed(device_->CreateVertexBuffer(quadBytes, usage, vertexFormat, pool, &vertexBuffer_, nullptr),
                       "Failed to create VertexBuffer");
}

RendererD3D9::~RendererD3D9()
{
    LOG_INFO(L"Destroy RendererD3D9: %0", static_cast<const void*>(this));
}

void RendererD3D9::beginDraw()
{
    // The overlay goes into the back buffer of the frame being presented, whatever target the game
    // left bound (an off-screen one, or one of another size).
    ComPtr<IDirect3DSurface9> backBuffer;
    Err::throwIfFailed(device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &backBuffer), "GetBackBuffer");
    D3DSURFACE_DESC desc = {};
    Err::throwIfFailed(backBuffer->GetDesc(&desc), "IDirect3DSurface9::GetDesc");
    Err::throwIfFailed(device_->BeginScene(), "Failed to BeginScene");
    try {
        // A state block is what works on a pure device too, whose Get calls of states fail.
        Err::throwIfFailed(device_->CreateStateBlock(D3DSBT_ALL, &stateBlock_), "CreateStateBlock");
        fvfSaved_ = SUCCEEDED(device_->GetFVF(&savedFvf_));
        // Render targets are no part of a state block. The game's depth buffer may be smaller than
        // the back buffer, and the overlay does not use one.
        Err::throwIfFailed(device_->GetRenderTarget(0, &gameTarget_), "GetRenderTarget");
        if (gameTarget_.Get() == backBuffer.Get()) {
            gameTarget_.Reset();
        } else {
            Err::throwIfFailed(device_->SetRenderTarget(0, backBuffer.Get()), "SetRenderTarget");
        }
        if (SUCCEEDED(device_->GetDepthStencilSurface(&gameDepth_))) {
            Err::throwIfFailed(device_->SetDepthStencilSurface(nullptr), "SetDepthStencilSurface");
        }
        targetSize_ = {desc.Width, desc.Height};

        setRenderStates(device_.Get(), drawingRenderStates);
        for (const StateValue& entry : drawingSamplerStates) {
            const HRESULT hr = device_->SetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(entry.state), entry.value);
            if (FAILED(hr)) {
                throw std::runtime_error("Failed to set SetSamplerState: type = " + std::to_string(entry.state) +
                                         ", value = " + std::to_string(entry.value) + ", hr = " + std::to_string(hr));
            }
        }
        setStageStates(device_.Get(), drawingStageStates);
        // The fixed-function pipeline; these cannot fail on a device that took the states above.
        device_->SetPixelShader(nullptr);
        device_->SetVertexShader(nullptr);
    } catch (...) {
        // No endDraw follows a failed beginDraw: the game gets its state back and the scene is closed
        // here. Best effort: the first failure is the one reported.
        restoreState();
        device_->EndScene();
        throw;
    }
}

bool RendererD3D9::restoreState()
{
    // The game's target first: setting a render target resets the viewport, which the state block
    // puts back.
    const bool targetSet = !gameTarget_ || SUCCEEDED(device_->SetRenderTarget(0, gameTarget_.Get()));
    const bool depthSet = !gameDepth_ || SUCCEEDED(device_->SetDepthStencilSurface(gameDepth_.Get()));
    const bool applied = !stateBlock_ || SUCCEEDED(stateBlock_->Apply());
    const bool fvfSet = !fvfSaved_ || SUCCEEDED(device_->SetFVF(savedFvf_));
    // Held no longer than the frame: the block references everything the game had bound.
    gameTarget_.Reset();
    gameDepth_.Reset();
    stateBlock_.Reset();
    fvfSaved_ = false;
    return targetSet && depthSet && applied && fvfSet;
}

void RendererD3D9::endDraw()
{
    if (!restoreState()) {
        device_->EndScene();
        throw std::runtime_error("Failed to restore all states");
    }
    Err::throwIfFailed(device_->EndScene(), "Failed to EndScene");
}

std::shared_ptr<Bitmap> RendererD3D9::createBitmap(const SizeU& size)
{
    ComPtr<IDirect3DTexture9> texture;
    const DWORD usage = extended_ ? D3DUSAGE_DYNAMIC : 0;
    const D3DPOOL pool = extended_ ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED;
    Err::throwIfFailed(
        device_->CreateTexture(size.width, size.height, 1, usage, D3DFMT_A8R8G8B8, pool, &texture, nullptr),
        "CreateTexture");
    return std::make_shared<BitmapD3D9>(std::move(texture), size, extended_);
}

void RendererD3D9::setViewport(const RectI& dst)
{
    const D3DVIEWPORT9 viewport = viewportFor(dst, targetSize_);
    Err::throwIfFailed(device_->SetViewport(&viewport), "SetViewport");
}

void RendererD3D9::fillQuad(const RectI& dst, D3DCOLOR color)
{
    void* data = nullptr;
    Err::throwIfFailed(vertexBuffer_->Lock(0, quadBytes, &data, extended_ ? D3DLOCK_DISCARD : 0),
                       "IDirect3DVertexBuffer9::Lock");
    // Shifted by half a pixel so that texels land on pixel centres.
    const float left = static_cast<float>(dst.left) - 0.5f;
    const float top = static_cast<float>(dst.top) - 0.5f;
    const float right = static_cast<float>(dst.right) - 0.5f;
    const float bottom = static_cast<float>(dst.bottom) - 0.5f;
    const Vertex quad[4] = {
        {left, bottom, 1.0f, 1.0f, color, 0.0f, 1.0f},
        {right, bottom, 1.0f, 1.0f, color, 1.0f, 1.0f},
        {left, top, 1.0f, 1.0f, color, 0.0f, 0.0f},
        {right, top, 1.0f, 1.0f, color, 1.0f, 0.0f},
    };
    std::memcpy(data, quad, sizeof quad);
    Err::throwIfFailed(vertexBuffer_->Unlock(), "IDirect3DVertexBuffer9::Unlock");
}

void RendererD3D9::drawQuad()
{
    Err::throwIfFailed(device_->SetFVF(vertexFormat), "SetFVF");
    Err::throwIfFailed(device_->SetStreamSource(0, vertexBuffer_.Get(), 0, sizeof(Vertex)), "SetStreamSource");
    Err::throwIfFailed(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), "DrawPrimitive");
}

void RendererD3D9::drawBitmap(Bitmap& bitmap, const RectI& dst)
{
    auto& texture = dynamic_cast<BitmapD3D9&>(bitmap);
    setViewport(dst);
    setRenderStates(device_.Get(), bitmapRenderStates);
    fillQuad(dst, 0xFFFFFFFF);
    Err::throwIfFailed(device_->SetTexture(0, texture.texture()), "SetTexture");
    setStageStates(device_.Get(), bitmapStageStates);
    drawQuad();
}

void RendererD3D9::fillRect(const RectI& dst, const ColorF& color)
{
    setRenderStates(device_.Get(), fillRenderStates);
    setViewport(dst);
    fillQuad(dst, toD3DColor(color));
    Err::throwIfFailed(device_->SetTexture(0, nullptr), "SetTexture");
    setStageStates(device_.Get(), fillStageStates);
    drawQuad();
}

std::vector<RendererD3D9::StateId> RendererD3D9::touchedRenderStates()
{
    std::vector<StateId> ids;
    appendIds(ids, drawingRenderStates);
    appendIds(ids, bitmapRenderStates);
    appendIds(ids, fillRenderStates);
    return ids;
}

std::vector<RendererD3D9::StateId> RendererD3D9::touchedSamplerStates()
{
    std::vector<StateId> ids;
    appendIds(ids, drawingSamplerStates);
    return ids;
}

std::vector<RendererD3D9::StateId> RendererD3D9::touchedStageStates()
{
    std::vector<StateId> ids;
    appendIds(ids, drawingStageStates);
    appendIds(ids, bitmapStageStates);
    appendIds(ids, fillStageStates);
    return ids;
}

}  // namespace Overlay::Rendering
