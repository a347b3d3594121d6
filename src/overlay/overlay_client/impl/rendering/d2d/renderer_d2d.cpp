#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/d2d/renderer_d2d.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"

using Microsoft::WRL::ComPtr;

namespace Overlay::Rendering {
namespace {

D2D1_RECT_F toRectF(const RectI& rect)
{
    // At 96 DPI one device-independent unit is one pixel.
    return D2D1::RectF(static_cast<float>(rect.left), static_cast<float>(rect.top), static_cast<float>(rect.right),
                       static_cast<float>(rect.bottom));
}

}  // namespace

// --- BitmapD2D --------------------------------------------------------------------------------

BitmapD2D::BitmapD2D(ID2D1Bitmap* bitmap)
{
    if (!bitmap) {
        throw std::runtime_error("ID2D1Bitmap in null");
    }
    // Takes the reference over (ComPtr::Attach adds one with some WRL implementations).
    *bitmap_.ReleaseAndGetAddressOf() = bitmap;
    LOG_INFO(L"Create BitmapD2D: %1", static_cast<const void*>(this));
}

BitmapD2D::~BitmapD2D()
{
    LOG_INFO(L"Destroy BitmapD2D: %1", static_cast<const void*>(this));
}

void BitmapD2D::update(const void* pixels, uint32_t pitch, const RectI* dstRect)
{
    D2D1_RECT_U rect;
    if (dstRect) {
        rect = D2D1::RectU(static_cast<UINT32>(dstRect->left), static_cast<UINT32>(dstRect->top),
                           static_cast<UINT32>(dstRect->right), static_cast<UINT32>(dstRect->bottom));
    }
    Err::throwIfFailed(bitmap_->CopyFromMemory(dstRect ? &rect : nullptr, pixels, pitch), "Failed to CopyFromMemory");
}

SizeU BitmapD2D::size() const
{
    const D2D1_SIZE_U size = bitmap_->GetPixelSize();
    return {size.width, size.height};
}

// --- RendererD2D ------------------------------------------------------------------------------

namespace {

using D2D1CreateFactoryFn = HRESULT(WINAPI*)(D2D1_FACTORY_TYPE, REFIID, const D2D1_FACTORY_OPTIONS*, void**);

// Looked up when a Direct2D renderer is made, not imported: an import would load Direct2D, and under
// Wine Direct3D 10, DXGI, wined3d and opengl32 with it, into every game the DLL goes into, OpenGL
// and Direct3D 9 games too. Loaded once, never freed.
D2D1CreateFactoryFn d2d1CreateFactory()
{
    static const D2D1CreateFactoryFn create = [] {
        const HMODULE module = LoadLibraryW(L"d2d1.dll");
        if (module == nullptr) {
            Err::throwLastError("Failed to load d2d1.dll");
        }
        const auto function =
            reinterpret_cast<D2D1CreateFactoryFn>(reinterpret_cast<void*>(GetProcAddress(module, "D2D1CreateFactory")));
        if (function == nullptr) {
            Err::throwLastError("Failed to obtain address of D2D1CreateFactory()");
        }
        return function;
    }();
    return create;
}

}  // namespace

RendererD2D::RendererD2D(IDXGISwapChain* swapChain) : swapChain_(swapChain), device_(d3d11DeviceOf(swapChain))
{
    LOG_INFO(L"Create RendererD2D: %1", static_cast<const void*>(this));
    D2D1_FACTORY_OPTIONS options = {};
    options.debugLevel = D2D1_DEBUG_LEVEL_NONE;
    Err::throwIfFailed(d2d1CreateFactory()(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), &options,
                                           reinterpret_cast<void**>(factory_.GetAddressOf())),
                       "Failed to create D2D1CreateFactory");
    createRenderTarget();
}

RendererD2D::~RendererD2D()
{
    LOG_INFO(L"Destroy RendererD2D: %1", static_cast<const void*>(this));
}

void RendererD2D::createRenderTarget()
{
    if (renderTarget_) {
        return;
    }
    if (!swapChain_) {
        throw std::logic_error("SwapChain is null");
    }
    ComPtr<IDXGISurface> surface;
    Err::throwIfFailed(swapChain_->GetBuffer(0, IID_PPV_ARGS(&surface)), "Failed to get surface from swap chain");
    const D2D1_RENDER_TARGET_PROPERTIES properties = D2D1::RenderTargetProperties(
        D2D1_RENDER_TARGET_TYPE_DEFAULT, D2D1::PixelFormat(DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_IGNORE), 96.0f, 96.0f,
        D2D1_RENDER_TARGET_USAGE_NONE, D2D1_FEATURE_LEVEL_DEFAULT);
    ComPtr<ID2D1RenderTarget> renderTarget;
    Err::throwIfFailed(factory_->CreateDxgiSurfaceRenderTarget(surface.Get(), &properties, &renderTarget),
                       "Failed to create DxgiSurfaceRenderTarget");
    LOG_DEBUG(L"Create ID2D1RenderTarget: %1", static_cast<const void*>(renderTarget.Get()));
    ComPtr<ID2D1SolidColorBrush> brush;
    Err::throwIfFailed(renderTarget->CreateSolidColorBrush(D2D1::ColorF(0.0f, 0.0f, 0.0f, 1.0f), &brush),
                       "Failed to create CreateSolidColorBrush");
    // Stored only when both exist, so a half-made target is never used.
    renderTarget_ = renderTarget;
    brush_ = brush;
}

void RendererD2D::destroyRenderTarget()
{
    if (renderTarget_) {
        LOG_DEBUG(L"Destroy ID2D1RenderTarget: %1", static_cast<const void*>(renderTarget_.Get()));
        brush_.Reset();
        renderTarget_.Reset();
    }
}

bool RendererD2D::usesDeviceOf(IDXGISwapChain* swapChain) const
{
    // Compared as pointers: some ComPtr implementations have no operator== and would compare only
    // whether both are set.
    return device_.Get() == d3d11DeviceOf(swapChain).Get();
}

void RendererD2D::releaseBackBuffer()
{
    destroyRenderTarget();
    swapChain_.Reset();
}

std::shared_ptr<SwapChainRenderer> RendererD2D::recreateFor(IDXGISwapChain* swapChain) const
{
    return std::make_shared<RendererD2D>(swapChain);
}

void RendererD2D::setSwapChain(IDXGISwapChain* swapChain)
{
    if (swapChain == swapChain_.Get()) {
        return;
    }
    swapChain_ = swapChain;
    destroyRenderTarget();
}

ID2D1RenderTarget& RendererD2D::target() const
{
    if (!renderTarget_) {
        throw std::logic_error("ID2D1RenderTarget is null");
    }
    return *renderTarget_.Get();
}

void RendererD2D::beginDraw()
{
    createRenderTarget();
    renderTarget_->BeginDraw();
}

void RendererD2D::endDraw()
{
    Err::throwIfFailed(target().EndDraw(nullptr, nullptr), "Failed to perform ID2D1RenderTarget::EndDraw");
}

std::shared_ptr<Bitmap> RendererD2D::createBitmap(const SizeU& size)
{
    createRenderTarget();
    const D2D1_BITMAP_PROPERTIES properties =
        D2D1::BitmapProperties(D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_IGNORE), 96.0f, 96.0f);
    ID2D1Bitmap* bitmap = nullptr;
    Err::throwIfFailed(
        renderTarget_->CreateBitmap(D2D1::SizeU(size.width, size.height), nullptr, 0, &properties, &bitmap),
        "Failed to create ID2D1Bitmap");
    return std::make_shared<BitmapD2D>(bitmap);
}

void RendererD2D::drawBitmap(Bitmap& bitmap, const RectI& dst)
{
    ID2D1RenderTarget& renderTarget = target();
    auto& bitmapD2D = dynamic_cast<BitmapD2D&>(bitmap);
    const D2D1_RECT_F destination = toRectF(dst);
    renderTarget.DrawBitmap(bitmapD2D.bitmap(), &destination, 1.0f, D2D1_BITMAP_INTERPOLATION_MODE_LINEAR, nullptr);
}

void RendererD2D::fillRect(const RectI& dst, const ColorF& color)
{
    ID2D1RenderTarget& renderTarget = target();
    brush_->SetColor(D2D1::ColorF(color.r, color.g, color.b, color.a));
    const D2D1_RECT_F rect = toRectF(dst);
    renderTarget.FillRectangle(&rect, brush_.Get());
}

}  // namespace Overlay::Rendering
