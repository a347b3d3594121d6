#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/d3d/viewport.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/shaders/d3d11_shaders.h"

#include <cfloat>
#include <cstring>

using Microsoft::WRL::ComPtr;

namespace Overlay::Rendering {
namespace {

namespace Shaders = D3D11Shaders;

// Triangle strips covering the clip space; z = 0.
const float solidQuad[] = {-1, -1, 0, -1, 1, 0, 1, -1, 0, 1, 1, 0};
const float texturedQuad[] = {-1, -1, 0, 0, 1, -1, 1, 0, 0, 0, 1, -1, 0, 1, 1, 1, 1, 0, 1, 0};
const UINT solidStride = 3 * sizeof(float);
const UINT texturedStride = 5 * sizeof(float);

ComPtr<ID3D11Buffer> createVertexBuffer(ID3D11Device* device, const void* data, UINT size)
{
    D3D11_BUFFER_DESC desc = {};
    desc.ByteWidth = size;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    D3D11_SUBRESOURCE_DATA initial = {data, 0, 0};
    ComPtr<ID3D11Buffer> buffer;
    Err::throwIfFailed(device->CreateBuffer(&desc, &initial, &buffer), "Failed to create VertexBuffer");
    return buffer;
}

// Unmaps a mapped subresource on every way out.
class MappedTexture
{
public:
    MappedTexture(ID3D11DeviceContext* context, ID3D11Resource* resource) : context_(context), resource_(resource)
    {
        Err::throwIfFailed(context_->Map(resource_, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped_), "Failed to map texture");
    }
    ~MappedTexture() { context_->Unmap(resource_, 0); }
    MappedTexture(const MappedTexture&) = delete;
    MappedTexture& operator=(const MappedTexture&) = delete;

    const D3D11_MAPPED_SUBRESOURCE& mapped() const { return mapped_; }

private:
    ID3D11DeviceContext* context_;  // borrowed
    ID3D11Resource* resource_;      // borrowed
    D3D11_MAPPED_SUBRESOURCE mapped_ = {};
};

}  // namespace

ComPtr<ID3D11Device> d3d11DeviceOf(IDXGISwapChain* swapChain)
{
    ComPtr<ID3D11Device> device;
    Err::throwIfFailed(swapChain->GetDevice(IID_PPV_ARGS(&device)), "Failed to get ID3D11Device");
    return device;
}

// --- BitmapD3D11 ------------------------------------------------------------------------------

BitmapD3D11::BitmapD3D11(const SizeU& size, ID3D11DeviceContext* context, ID3D11Device* device)
    : size_(size), context_(context)
{
    LOG_INFO(L"Create BitmapD3D11: %0", static_cast<const void*>(this));
    Err::throwIfFailed(device->CreateVertexShader(Shaders::texturedVertexShader, sizeof Shaders::texturedVertexShader,
                                                  nullptr, &texturedVertexShader_),
                       "Failed to create VertexShader");
    Err::throwIfFailed(device->CreatePixelShader(Shaders::texturedPixelShader, sizeof Shaders::texturedPixelShader,
                                                 nullptr, &texturedPixelShader_),
                       "Failed to create PixelShader");
    texturedVertexBuffer_ = createVertexBuffer(device, texturedQuad, sizeof texturedQuad);

    D3D11_TEXTURE2D_DESC textureDesc = {};
    textureDesc.Width = size.width;
    textureDesc.Height = size.height;
    textureDesc.MipLevels = 1;
    textureDesc.ArraySize = 1;
    textureDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    textureDesc.SampleDesc = {1, 0};
    textureDesc.Usage = D3D11_USAGE_DYNAMIC;
    textureDesc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    textureDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    Err::throwIfFailed(device->CreateTexture2D(&textureDesc, nullptr, &texture_), "Failed to create D3D11Texture2D");

    D3D11_SAMPLER_DESC samplerDesc = {};
    samplerDesc.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    samplerDesc.AddressU = samplerDesc.AddressV = samplerDesc.AddressW = D3D11_TEXTURE_ADDRESS_BORDER;
    samplerDesc.MipLODBias = 0.0f;
    samplerDesc.MaxAnisotropy = 0;
    samplerDesc.ComparisonFunc = D3D11_COMPARISON_NEVER;
    samplerDesc.BorderColor[0] = samplerDesc.BorderColor[1] = samplerDesc.BorderColor[2] = 0.0f;
    samplerDesc.BorderColor[3] = 1.0f;
    samplerDesc.MinLOD = 0.0f;
    samplerDesc.MaxLOD = FLT_MAX;
    Err::throwIfFailed(device->CreateSamplerState(&samplerDesc, &samplerState_), "Failed to create SamplerState");

    D3D11_SHADER_RESOURCE_VIEW_DESC viewDesc = {};
    viewDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    viewDesc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
    viewDesc.Texture2D.MostDetailedMip = 0;
    viewDesc.Texture2D.MipLevels = 1;
    Err::throwIfFailed(device->CreateShaderResourceView(texture_.Get(), &viewDesc, &shaderResourceView_),
                       "Failed to create ShaderResourceView");

    const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 12, D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    Err::throwIfFailed(device->CreateInputLayout(layout, 2, Shaders::texturedVertexShader,
                                                 sizeof Shaders::texturedVertexShader, &texturedInputLayout_),
                       "Failed to create InputLayout");
}

BitmapD3D11::~BitmapD3D11()
{
    LOG_INFO(L"Destroy BitmapD3D11: %0", static_cast<const void*>(this));
}

void BitmapD3D11::update(const void* pixels, uint32_t pitch, const RectI* dstRect)
{
    if (dstRect) {
        throw std::logic_error("Unimplemented dstRect feature");
    }
    MappedTexture map(context_.Get(), texture_.Get());
    auto* destination = static_cast<uint8_t*>(map.mapped().pData);
    if (!destination) {
        throw std::runtime_error("mappedResource.pData is null");
    }
    const auto* source = static_cast<const uint8_t*>(pixels);
    const size_t rowBytes = size_t(size_.width) * 4;
    if (map.mapped().RowPitch == pitch) {
        std::memcpy(destination, source, size_t(size_.height) * pitch);
        return;
    }
    for (uint32_t row = 0; row < size_.height; ++row) {
        std::memcpy(destination, source, rowBytes);
        destination += map.mapped().RowPitch;
        source += pitch;
    }
}

void BitmapD3D11::draw(const RectI& dst)
{
    const UINT offset = 0;
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context_->IASetInputLayout(texturedInputLayout_.Get());
    context_->IASetVertexBuffers(0, 1, texturedVertexBuffer_.GetAddressOf(), &texturedStride, &offset);
    context_->VSSetShader(texturedVertexShader_.Get(), nullptr, 0);
    context_->PSSetShader(texturedPixelShader_.Get(), nullptr, 0);
    context_->PSSetShaderResources(0, 1, shaderResourceView_.GetAddressOf());
    context_->PSSetSamplers(0, 1, samplerState_.GetAddressOf());
    // Blending off: the frame replaces the pixels it covers, its alpha is ignored.
    context_->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
    const D3D11_VIEWPORT viewport = viewportOver<D3D11_VIEWPORT>(dst);
    context_->RSSetViewports(1, &viewport);
    context_->Draw(4, 0);
}

// --- RendererD3D11 ----------------------------------------------------------------------------

RendererD3D11::RendererD3D11(IDXGISwapChain* swapChain) : swapChain_(swapChain)
{
    LOG_INFO(L"Create RendererD3D11: %0", static_cast<const void*>(this));
    device_ = d3d11DeviceOf(swapChain_.Get());
    device_->GetImmediateContext(&context_);
    if (!context_) {
        throw std::runtime_error("ID3D11DeviceContext is null");
    }
    Err::throwIfFailed(device_->CreateVertexShader(Shaders::solidVertexShader, sizeof Shaders::solidVertexShader,
                                                   nullptr, &solidVertexShader_),
                       "Failed to create VertexShader");
    Err::throwIfFailed(device_->CreatePixelShader(Shaders::solidPixelShader, sizeof Shaders::solidPixelShader, nullptr,
                                                  &solidPixelShader_),
                       "Failed to create PixelShader");
    solidVertexBuffer_ = createVertexBuffer(device_.Get(), solidQuad, sizeof solidQuad);

    const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    Err::throwIfFailed(device_->CreateInputLayout(layout, 1, Shaders::solidVertexShader,
                                                  sizeof Shaders::solidVertexShader, &solidInputLayout_),
                       "Failed to create InputLayout");

    D3D11_BLEND_DESC blendDesc = {};
    blendDesc.AlphaToCoverageEnable = FALSE;
    blendDesc.IndependentBlendEnable = FALSE;
    blendDesc.RenderTarget[0].BlendEnable = TRUE;
    blendDesc.RenderTarget[0].SrcBlend = D3D11_BLEND_SRC_ALPHA;
    blendDesc.RenderTarget[0].DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    blendDesc.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
    blendDesc.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
    blendDesc.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_ZERO;
    blendDesc.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    blendDesc.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    Err::throwIfFailed(device_->CreateBlendState(&blendDesc, &alphaBlendState_), "Failed to create BlendState");

    D3D11_BUFFER_DESC colorDesc = {};
    colorDesc.ByteWidth = 16;
    colorDesc.Usage = D3D11_USAGE_DEFAULT;
    colorDesc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    Err::throwIfFailed(device_->CreateBuffer(&colorDesc, nullptr, &colorBuffer_), "Failed to create ConstantBuffer");
}

RendererD3D11::~RendererD3D11()
{
    LOG_INFO(L"Destroy RendererD3D11: %0", static_cast<const void*>(this));
}

void RendererD3D11::createRenderTargetView()
{
    if (!swapChain_) {
        throw std::logic_error("SwapChain is null");
    }
    ComPtr<ID3D11Texture2D> backBuffer;
    Err::throwIfFailed(swapChain_->GetBuffer(0, IID_PPV_ARGS(&backBuffer)), "Failed to get back buffer from SwapChain");
    Err::throwIfFailed(device_->CreateRenderTargetView(backBuffer.Get(), nullptr, &renderTargetView_),
                       "Failed to create RenderTargetView");
    LOG_DEBUG(L"Create ID3D11RenderTargetView: %1", static_cast<const void*>(renderTargetView_.Get()));
}

void RendererD3D11::destroyRenderTargetView()
{
    if (renderTargetView_) {
        LOG_DEBUG(L"Destroy ID3D11RenderTargetView: %1", static_cast<const void*>(renderTargetView_.Get()));
        renderTargetView_.Reset();
    }
}

void RendererD3D11::releaseBackBuffer()
{
    destroyRenderTargetView();
    swapChain_.Reset();
}

bool RendererD3D11::usesDeviceOf(IDXGISwapChain* swapChain) const
{
    // Compared as pointers (see RendererD2D::usesDeviceOf).
    return device_.Get() == d3d11DeviceOf(swapChain).Get();
}

std::shared_ptr<SwapChainRenderer> RendererD3D11::recreateFor(IDXGISwapChain* swapChain) const
{
    return std::make_shared<RendererD3D11>(swapChain);
}

void RendererD3D11::setSwapChain(IDXGISwapChain* swapChain)
{
    if (swapChain == swapChain_.Get()) {
        return;
    }
    swapChain_ = swapChain;
    destroyRenderTargetView();
}

void RendererD3D11::resetPipeline()
{
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED);
    context_->IASetInputLayout(nullptr);
    context_->IASetIndexBuffer(nullptr, DXGI_FORMAT_UNKNOWN, 0);
    context_->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
    context_->OMSetDepthStencilState(nullptr, 0);
    context_->RSSetState(nullptr);
    context_->RSSetViewports(0, nullptr);
    context_->RSSetScissorRects(0, nullptr);
    context_->VSSetShader(nullptr, nullptr, 0);
    context_->PSSetShader(nullptr, nullptr, 0);
    context_->GSSetShader(nullptr, nullptr, 0);
    context_->HSSetShader(nullptr, nullptr, 0);
    context_->DSSetShader(nullptr, nullptr, 0);
    context_->SetPredication(nullptr, FALSE);
}

void RendererD3D11::beginDraw()
{
    // The view is made before anything of the game's is touched, so a failure leaves its state alone.
    if (!renderTargetView_) {
        createRenderTargetView();
    }
    stateBackup_.capture(context_.Get());
    resetPipeline();
    context_->OMSetRenderTargets(1, renderTargetView_.GetAddressOf(), nullptr);
}

void RendererD3D11::endDraw()
{
    stateBackup_.restore();
}

std::shared_ptr<Bitmap> RendererD3D11::createBitmap(const SizeU& size)
{
    return std::make_shared<BitmapD3D11>(size, context_.Get(), device_.Get());
}

void RendererD3D11::drawBitmap(Bitmap& bitmap, const RectI& dst)
{
    dynamic_cast<BitmapD3D11&>(bitmap).draw(dst);
}

void RendererD3D11::fillRect(const RectI& dst, const ColorF& color)
{
    const float rgba[4] = {color.r, color.g, color.b, color.a};
    context_->UpdateSubresource(colorBuffer_.Get(), 0, nullptr, rgba, 0, 0);
    context_->PSSetConstantBuffers(0, 1, colorBuffer_.GetAddressOf());
    const UINT offset = 0;
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context_->IASetInputLayout(solidInputLayout_.Get());
    context_->IASetVertexBuffers(0, 1, solidVertexBuffer_.GetAddressOf(), &solidStride, &offset);
    context_->VSSetShader(solidVertexShader_.Get(), nullptr, 0);
    context_->PSSetShader(solidPixelShader_.Get(), nullptr, 0);
    context_->OMSetBlendState(alphaBlendState_.Get(), nullptr, 0xFFFFFFFF);
    const D3D11_VIEWPORT viewport = viewportOver<D3D11_VIEWPORT>(dst);
    context_->RSSetViewports(1, &viewport);
    context_->Draw(4, 0);
}

}  // namespace Overlay::Rendering
