#include "demo_game.h"

#include <d3dcompiler.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

using DemoCommon::check;
using DemoCommon::hex;
using Microsoft::WRL::ComPtr;

namespace Demo {
namespace {

const wchar_t windowClassName[] = L"D3D11DemoWindow";

const char shaderSource[] = R"(
cbuffer FrameConstants : register(b1)
{
    float aspect;
    float pulse;
    float2 padding;
};

struct VertexIn
{
    float2 corner : POSITION;
    float4 color : COLOR;
    float2 center : CENTER;
    float2 spin : SPIN;
};

struct PixelIn
{
    float4 position : SV_POSITION;
    float4 color : COLOR;
    float2 uv : TEXCOORD;
};

PixelIn vsMain(VertexIn v)
{
    float2 turned = float2(v.corner.x * v.spin.x - v.corner.y * v.spin.y, v.corner.x * v.spin.y + v.corner.y * v.spin.x);
    PixelIn o;
    o.position = float4(v.center + float2(turned.x / aspect, turned.y), 0.5, 1.0);
    o.color = v.color * pulse;
    o.uv = v.corner * 0.5 + 0.5;
    return o;
}

Texture2D<float4> pattern : register(t2);
SamplerState patternSampler : register(s1);

float4 psMain(PixelIn i) : SV_Target
{
    float shade = pattern.Sample(patternSampler, i.uv).r;
    return float4(i.color.rgb * (0.55 + 0.45 * shade), 0.9);
}
)";

const float blendFactor[4] = {0.2f, 0.4f, 0.6f, 0.8f};
const UINT sampleMask = 0x7FFFFFFF;
const UINT stencilRef = 7;
const UINT cornerStride = 8;
const UINT instanceStride = 32;
const UINT gridColumns = 12;
const UINT gridRows = 8;

ComPtr<ID3DBlob> compile(const char* entry, const char* profile)
{
    ComPtr<ID3DBlob> code;
    ComPtr<ID3DBlob> errors;
    const HRESULT hr = D3DCompile(shaderSource, sizeof shaderSource - 1, "demo_game.hlsl", nullptr, nullptr, entry,
                                  profile, 0, 0, &code, &errors);
    if (FAILED(hr)) {
        std::string message = std::string("D3DCompile of ") + entry + " failed: " + hex(hr);
        if (errors) {
            message +=
                "\n" + std::string(static_cast<const char*>(errors->GetBufferPointer()), errors->GetBufferSize());
        }
        throw std::runtime_error(message);
    }
    return code;
}

void hueToRgb(float hue, float rgb[3])
{
    // HSV with full saturation and value.
    const float h = std::fmod(hue, 1.0f) * 6.0f;
    const float x = 1.0f - std::fabs(std::fmod(h, 2.0f) - 1.0f);
    const int sector = static_cast<int>(h);
    const float table[6][3] = {{1, x, 0}, {x, 1, 0}, {0, 1, x}, {0, x, 1}, {x, 0, 1}, {1, 0, x}};
    for (int i = 0; i < 3; ++i) {
        rgb[i] = table[sector % 6][i];
    }
}

bool sameViewport(const D3D11_VIEWPORT& a, const D3D11_VIEWPORT& b)
{
    return a.TopLeftX == b.TopLeftX && a.TopLeftY == b.TopLeftY && a.Width == b.Width && a.Height == b.Height &&
           a.MinDepth == b.MinDepth && a.MaxDepth == b.MaxDepth;
}

}  // namespace

DemoGame::DemoGame(const Options& options) : WindowedGame(options, windowClassName, nullptr), options_(options)
{
    surfaces_.resize(options_.windows);
    for (size_t i = 0; i < surfaces_.size(); ++i) {
        // Side by side, the first at the options' place.
        const int x = options_.x + static_cast<int>(i) * (static_cast<int>(options_.width) + 24);
        surfaces_[i].window = createWindow(L"D3D11 demo", x);
    }
    createDevice();
    createPipeline();
    bindPipeline();
    bindSurfaceRegion(surfaces_.front());
}

DemoGame::~DemoGame()
{
    detachWindows();
    if (context_) {
        context_->ClearState();
    }
    for (auto& surface : surfaces_) {
        surface.renderTarget.Reset();
        surface.depthView.Reset();
        surface.depthBuffer.Reset();
        surface.swapChain.Reset();
    }
}

void DemoGame::createDevice()
{
    const UINT flags = options_.bgraDevice ? D3D11_CREATE_DEVICE_BGRA_SUPPORT : 0;
    const D3D_FEATURE_LEVEL allLevels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                           D3D_FEATURE_LEVEL_9_3,  D3D_FEATURE_LEVEL_9_2,  D3D_FEATURE_LEVEL_9_1};
    const D3D_FEATURE_LEVEL* levels = nullptr;
    UINT levelCount = 0;
    if (options_.maxFeatureLevel != 0) {
        const auto first = std::find(std::begin(allLevels), std::end(allLevels), options_.maxFeatureLevel);
        levels = first;
        levelCount = static_cast<UINT>(std::end(allLevels) - first);
    }

    if (!options_.factorySwapChain) {
        Surface& first = surfaces_.front();
        const DXGI_SWAP_CHAIN_DESC desc = swapChainDesc(first.window);
        const auto create =
            options_.createDeviceAndSwapChain ? options_.createDeviceAndSwapChain : &D3D11CreateDeviceAndSwapChain;
        check(create(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, flags, levels, levelCount, D3D11_SDK_VERSION, &desc,
                     &first.swapChain, &device_, nullptr, &context_),
              "D3D11CreateDeviceAndSwapChain");
        createSizeDependents(first);
        for (size_t i = 1; i < surfaces_.size(); ++i) {
            createSwapChain(surfaces_[i]);
        }
    } else {
        check(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, flags, levels, levelCount,
                                D3D11_SDK_VERSION, &device_, nullptr, &context_),
              "D3D11CreateDevice");
        for (auto& surface : surfaces_) {
            createSwapChain(surface);
        }
    }
}

DXGI_SWAP_CHAIN_DESC DemoGame::swapChainDesc(HWND window) const
{
    RECT client = {};
    GetClientRect(window, &client);
    DXGI_SWAP_CHAIN_DESC desc = {};
    desc.BufferDesc.Width = static_cast<UINT>(client.right);
    desc.BufferDesc.Height = static_cast<UINT>(client.bottom);
    desc.BufferDesc.RefreshRate = {60, 1};
    desc.BufferDesc.Format = options_.format;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = effectiveBufferCount(options_);
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    desc.SwapEffect = options_.swapEffect;
    return desc;
}

void DemoGame::createSwapChain(Surface& surface)
{
    ComPtr<IDXGIDevice> dxgiDevice;
    check(device_.As(&dxgiDevice), "QueryInterface(IDXGIDevice)");
    ComPtr<IDXGIAdapter> adapter;
    check(dxgiDevice->GetAdapter(&adapter), "IDXGIDevice::GetAdapter");
    ComPtr<IDXGIFactory> factory;
    check(adapter->GetParent(IID_PPV_ARGS(&factory)), "IDXGIAdapter::GetParent");

    DXGI_SWAP_CHAIN_DESC desc = swapChainDesc(surface.window);
    check(factory->CreateSwapChain(device_.Get(), &desc, &surface.swapChain), "IDXGIFactory::CreateSwapChain");
    createSizeDependents(surface);
}

void DemoGame::createSizeDependents(Surface& surface)
{
    ComPtr<ID3D11Texture2D> backBuffer;
    check(surface.swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer)), "IDXGISwapChain::GetBuffer");
    D3D11_TEXTURE2D_DESC backDesc = {};
    backBuffer->GetDesc(&backDesc);
    check(device_->CreateRenderTargetView(backBuffer.Get(), nullptr, &surface.renderTarget), "CreateRenderTargetView");

    D3D11_TEXTURE2D_DESC depthDesc = {};
    depthDesc.Width = backDesc.Width;
    depthDesc.Height = backDesc.Height;
    depthDesc.MipLevels = 1;
    depthDesc.ArraySize = 1;
    depthDesc.Format = DXGI_FORMAT_D24_UNORM_S8_UINT;
    depthDesc.SampleDesc = {1, 0};
    depthDesc.Usage = D3D11_USAGE_DEFAULT;
    depthDesc.BindFlags = D3D11_BIND_DEPTH_STENCIL;
    check(device_->CreateTexture2D(&depthDesc, nullptr, &surface.depthBuffer), "CreateTexture2D(depth)");
    check(device_->CreateDepthStencilView(surface.depthBuffer.Get(), nullptr, &surface.depthView),
          "CreateDepthStencilView");
    surface.width = backDesc.Width;
    surface.height = backDesc.Height;
}

void DemoGame::resizeSurface(Surface& surface)
{
    surface.resizePending = false;
    // Every reference to the old back buffers must be gone, bound views included.
    context_->OMSetRenderTargets(0, nullptr, nullptr);
    surface.renderTarget.Reset();
    surface.depthView.Reset();
    surface.depthBuffer.Reset();
    lastResizeResult_ =
        surface.swapChain->ResizeBuffers(0, surface.pendingWidth, surface.pendingHeight, DXGI_FORMAT_UNKNOWN, 0);
    ++resizes_;
    if (FAILED(lastResizeResult_)) {
        std::fprintf(stderr, "ResizeBuffers(%u, %u) failed: %s\n", surface.pendingWidth, surface.pendingHeight,
                     hex(lastResizeResult_).c_str());
    }
    // On failure the old buffers are still there; go on with them.
    createSizeDependents(surface);
    bindSurfaceRegion(surface);
}

void DemoGame::createPipeline()
{
    const ComPtr<ID3DBlob> vsCode = compile("vsMain", "vs_4_0");
    const ComPtr<ID3DBlob> psCode = compile("psMain", "ps_4_0");
    check(device_->CreateVertexShader(vsCode->GetBufferPointer(), vsCode->GetBufferSize(), nullptr, &vertexShader_),
          "CreateVertexShader");
    check(device_->CreatePixelShader(psCode->GetBufferPointer(), psCode->GetBufferSize(), nullptr, &pixelShader_),
          "CreatePixelShader");

    const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"CENTER", 0, DXGI_FORMAT_R32G32_FLOAT, 1, 16, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"SPIN", 0, DXGI_FORMAT_R32G32_FLOAT, 1, 24, D3D11_INPUT_PER_INSTANCE_DATA, 1},
    };
    check(device_->CreateInputLayout(layout, 4, vsCode->GetBufferPointer(), vsCode->GetBufferSize(), &inputLayout_),
          "CreateInputLayout");

    const float corners[] = {-1, -1, 1, -1, 1, 1, -1, 1};
    D3D11_BUFFER_DESC bufferDesc = {};
    bufferDesc.ByteWidth = sizeof corners;
    bufferDesc.Usage = D3D11_USAGE_IMMUTABLE;
    bufferDesc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    D3D11_SUBRESOURCE_DATA data = {corners, 0, 0};
    check(device_->CreateBuffer(&bufferDesc, &data, &cornerBuffer_), "CreateBuffer(corners)");

    instanceCount_ = gridColumns * gridRows;
    D3D11_BUFFER_DESC instanceDesc = {};
    instanceDesc.ByteWidth = instanceCount_ * instanceStride;
    instanceDesc.Usage = D3D11_USAGE_DYNAMIC;
    instanceDesc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    instanceDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    check(device_->CreateBuffer(&instanceDesc, nullptr, &instanceBuffer_), "CreateBuffer(instances)");

    const uint16_t indices[] = {0, 1, 2, 0, 2, 3};
    bufferDesc.ByteWidth = sizeof indices;
    bufferDesc.BindFlags = D3D11_BIND_INDEX_BUFFER;
    data.pSysMem = indices;
    check(device_->CreateBuffer(&bufferDesc, &data, &indexBuffer_), "CreateBuffer(indices)");

    bufferDesc.ByteWidth = 16;
    bufferDesc.Usage = D3D11_USAGE_DEFAULT;
    bufferDesc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    check(device_->CreateBuffer(&bufferDesc, nullptr, &constantBuffer_), "CreateBuffer(constants)");

    uint32_t texels[8 * 8];
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            texels[y * 8 + x] = ((x + y) & 1) ? 0xFFFFFFFFu : 0xFF606060u;
        }
    }
    D3D11_TEXTURE2D_DESC textureDesc = {};
    textureDesc.Width = 8;
    textureDesc.Height = 8;
    textureDesc.MipLevels = 1;
    textureDesc.ArraySize = 1;
    textureDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    textureDesc.SampleDesc = {1, 0};
    textureDesc.Usage = D3D11_USAGE_IMMUTABLE;
    textureDesc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    D3D11_SUBRESOURCE_DATA textureData = {texels, 8 * 4, 0};
    check(device_->CreateTexture2D(&textureDesc, &textureData, &patternTexture_), "CreateTexture2D(pattern)");
    check(device_->CreateShaderResourceView(patternTexture_.Get(), nullptr, &patternView_), "CreateShaderResourceView");

    D3D11_SAMPLER_DESC samplerDesc = {};
    samplerDesc.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
    samplerDesc.AddressU = samplerDesc.AddressV = samplerDesc.AddressW = D3D11_TEXTURE_ADDRESS_WRAP;
    samplerDesc.ComparisonFunc = D3D11_COMPARISON_NEVER;
    samplerDesc.MaxLOD = D3D11_FLOAT32_MAX;
    check(device_->CreateSamplerState(&samplerDesc, &sampler_), "CreateSamplerState");

    D3D11_BLEND_DESC blendDesc = {};
    blendDesc.RenderTarget[0].BlendEnable = TRUE;
    blendDesc.RenderTarget[0].SrcBlend = D3D11_BLEND_SRC_ALPHA;
    blendDesc.RenderTarget[0].DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    blendDesc.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
    blendDesc.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
    blendDesc.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_ZERO;
    blendDesc.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    blendDesc.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    check(device_->CreateBlendState(&blendDesc, &blendState_), "CreateBlendState");

    D3D11_DEPTH_STENCIL_DESC depthDesc = {};
    depthDesc.DepthEnable = TRUE;
    depthDesc.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
    depthDesc.DepthFunc = D3D11_COMPARISON_LESS;
    check(device_->CreateDepthStencilState(&depthDesc, &depthState_), "CreateDepthStencilState");

    D3D11_RASTERIZER_DESC rasterizerDesc = {};
    rasterizerDesc.FillMode = D3D11_FILL_SOLID;
    rasterizerDesc.CullMode = D3D11_CULL_NONE;
    rasterizerDesc.DepthClipEnable = TRUE;
    rasterizerDesc.ScissorEnable = TRUE;
    check(device_->CreateRasterizerState(&rasterizerDesc, &rasterizerState_), "CreateRasterizerState");
}

void DemoGame::bindPipeline()
{
    ID3D11Buffer* vertexBuffers[] = {cornerBuffer_.Get(), instanceBuffer_.Get()};
    const UINT strides[] = {cornerStride, instanceStride};
    const UINT offsets[] = {0, 0};
    context_->IASetInputLayout(inputLayout_.Get());
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context_->IASetVertexBuffers(0, 2, vertexBuffers, strides, offsets);
    context_->IASetIndexBuffer(indexBuffer_.Get(), DXGI_FORMAT_R16_UINT, 0);
    context_->VSSetShader(vertexShader_.Get(), nullptr, 0);
    context_->VSSetConstantBuffers(1, 1, constantBuffer_.GetAddressOf());
    context_->PSSetShader(pixelShader_.Get(), nullptr, 0);
    context_->PSSetShaderResources(2, 1, patternView_.GetAddressOf());
    context_->PSSetSamplers(1, 1, sampler_.GetAddressOf());
    context_->RSSetState(rasterizerState_.Get());
    context_->OMSetBlendState(blendState_.Get(), blendFactor, sampleMask);
    context_->OMSetDepthStencilState(depthState_.Get(), stencilRef);
}

void DemoGame::bindSurfaceRegion(const Surface& surface)
{
    viewport_ = {0.0f, 0.0f, static_cast<float>(surface.width), static_cast<float>(surface.height), 0.0f, 1.0f};
    // A margin outside the scissor rectangle keeps the clear colour, so scissor state matters.
    const LONG margin = 6;
    scissor_ = {margin, margin, std::max<LONG>(margin, static_cast<LONG>(surface.width) - margin),
                std::max<LONG>(margin, static_cast<LONG>(surface.height) - margin)};
    context_->RSSetViewports(1, &viewport_);
    context_->RSSetScissorRects(1, &scissor_);
}

void DemoGame::checkState()
{
    // Objects are compared through Get(): some ComPtr implementations have no operator== and would
    // compare only whether both are set.
    std::string mismatch;
    auto expect = [&mismatch](bool same, const char* what) {
        if (!same && mismatch.empty()) {
            mismatch = what;
        }
    };

    D3D11_PRIMITIVE_TOPOLOGY topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
    context_->IAGetPrimitiveTopology(&topology);
    expect(topology == D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST, "primitive topology");
    ComPtr<ID3D11InputLayout> layout;
    context_->IAGetInputLayout(&layout);
    expect(layout.Get() == inputLayout_.Get(), "input layout");
    ComPtr<ID3D11Buffer> buffers[2];
    UINT strides[2] = {};
    UINT offsets[2] = {};
    context_->IAGetVertexBuffers(0, 2, reinterpret_cast<ID3D11Buffer**>(buffers), strides, offsets);
    expect(buffers[0].Get() == cornerBuffer_.Get() && buffers[1].Get() == instanceBuffer_.Get() &&
               strides[0] == cornerStride && strides[1] == instanceStride && offsets[0] == 0 && offsets[1] == 0,
           "vertex buffers");
    ComPtr<ID3D11Buffer> indexBuffer;
    DXGI_FORMAT indexFormat = DXGI_FORMAT_UNKNOWN;
    UINT indexOffset = 1;
    context_->IAGetIndexBuffer(&indexBuffer, &indexFormat, &indexOffset);
    expect(indexBuffer.Get() == indexBuffer_.Get() && indexFormat == DXGI_FORMAT_R16_UINT && indexOffset == 0,
           "index buffer");

    ComPtr<ID3D11VertexShader> vertexShader;
    context_->VSGetShader(&vertexShader, nullptr, nullptr);
    expect(vertexShader.Get() == vertexShader_.Get(), "vertex shader");
    ComPtr<ID3D11Buffer> constants;
    context_->VSGetConstantBuffers(1, 1, &constants);
    expect(constants.Get() == constantBuffer_.Get(), "vertex constant buffer");
    ComPtr<ID3D11PixelShader> pixelShader;
    context_->PSGetShader(&pixelShader, nullptr, nullptr);
    expect(pixelShader.Get() == pixelShader_.Get(), "pixel shader");
    ComPtr<ID3D11ShaderResourceView> view;
    context_->PSGetShaderResources(2, 1, &view);
    expect(view.Get() == patternView_.Get(), "pixel shader resource");
    ComPtr<ID3D11SamplerState> sampler;
    context_->PSGetSamplers(1, 1, &sampler);
    expect(sampler.Get() == sampler_.Get(), "pixel sampler");
    ComPtr<ID3D11GeometryShader> geometryShader;
    context_->GSGetShader(&geometryShader, nullptr, nullptr);
    expect(geometryShader.Get() == nullptr, "geometry shader");
    ComPtr<ID3D11HullShader> hullShader;
    context_->HSGetShader(&hullShader, nullptr, nullptr);
    expect(hullShader.Get() == nullptr, "hull shader");
    ComPtr<ID3D11DomainShader> domainShader;
    context_->DSGetShader(&domainShader, nullptr, nullptr);
    expect(domainShader.Get() == nullptr, "domain shader");

    ComPtr<ID3D11RasterizerState> rasterizer;
    context_->RSGetState(&rasterizer);
    expect(rasterizer.Get() == rasterizerState_.Get(), "rasterizer state");
    D3D11_VIEWPORT viewports[D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE] = {};
    UINT viewportCount = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;
    context_->RSGetViewports(&viewportCount, viewports);
    expect(viewportCount == 1 && sameViewport(viewports[0], viewport_), "viewport");
    D3D11_RECT scissors[D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE] = {};
    UINT scissorCount = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;
    context_->RSGetScissorRects(&scissorCount, scissors);
    expect(scissorCount == 1 && EqualRect(&scissors[0], &scissor_), "scissor rectangle");

    ComPtr<ID3D11BlendState> blend;
    float factor[4] = {};
    UINT mask = 0;
    context_->OMGetBlendState(&blend, factor, &mask);
    expect(blend.Get() == blendState_.Get() && std::equal(factor, factor + 4, blendFactor) && mask == sampleMask,
           "blend state");
    ComPtr<ID3D11DepthStencilState> depth;
    UINT reference = 0;
    context_->OMGetDepthStencilState(&depth, &reference);
    expect(depth.Get() == depthState_.Get() && reference == stencilRef, "depth-stencil state");

    if (!mismatch.empty()) {
        ++stateMismatches_;
        lastMismatch_ = mismatch;
        std::fprintf(stderr, "frame %llu: pipeline state changed behind the game's back (%s)\n",
                     static_cast<unsigned long long>(frames_), mismatch.c_str());
        bindPipeline();
        context_->RSSetViewports(1, &viewport_);
        context_->RSSetScissorRects(1, &scissor_);
    }
}

void DemoGame::updateInstances(float time)
{
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    check(context_->Map(instanceBuffer_.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), "Map(instances)");
    auto* out = static_cast<float*>(mapped.pData);
    for (UINT row = 0; row < gridRows; ++row) {
        for (UINT column = 0; column < gridColumns; ++column) {
            const float x = -0.88f + 1.76f * (static_cast<float>(column) + 0.5f) / gridColumns;
            const float y = -0.85f + 1.70f * (static_cast<float>(row) + 0.5f) / gridRows;
            hueToRgb(static_cast<float>(column) / gridColumns + static_cast<float>(row) * 0.07f + time * 0.05f, out);
            out[3] = 1.0f;
            out[4] = x + 0.04f * std::sin(time + y * 3.0f);
            out[5] = y + 0.04f * std::cos(time * 0.7f + x * 3.0f);
            const float angle = time * 0.8f + x * 2.0f + y;
            out[6] = 0.075f * std::cos(angle);
            out[7] = 0.075f * std::sin(angle);
            out += instanceStride / sizeof(float);
        }
    }
    context_->Unmap(instanceBuffer_.Get(), 0);
}

void DemoGame::clearColor(uint64_t frame, float rgba[4])
{
    const float t = static_cast<float>(frame) / 60.0f;
    rgba[0] = 0.10f + 0.05f * std::sin(t * 0.5f);
    rgba[1] = 0.14f;
    rgba[2] = 0.24f + 0.05f * std::cos(t * 0.5f);
    rgba[3] = 1.0f;
}

HRESULT DemoGame::renderFrame()
{
    if (options_.checkState && frames_ > 0) {
        checkState();
    }
    for (auto& surface : surfaces_) {
        if (surface.resizePending) {
            resizeSurface(surface);
        }
    }

    const float time = static_cast<float>(frames_) / 60.0f;
    const float constants[4] = {static_cast<float>(surfaces_.front().width) /
                                    static_cast<float>(std::max<uint32_t>(1, surfaces_.front().height)),
                                0.85f + 0.15f * std::sin(time * 2.0f), 0.0f, 0.0f};
    context_->UpdateSubresource(constantBuffer_.Get(), 0, nullptr, constants, 0, 0);
    updateInstances(time);
    float clear[4];
    clearColor(frames_, clear);

    for (auto& surface : surfaces_) {
        if (surfaces_.size() > 1) {
            bindSurfaceRegion(surface);
        }
        // Flip-model presents unbind the back buffer, so the render targets are bound every frame.
        context_->OMSetRenderTargets(1, surface.renderTarget.GetAddressOf(), surface.depthView.Get());
        context_->ClearRenderTargetView(surface.renderTarget.Get(), clear);
        context_->ClearDepthStencilView(surface.depthView.Get(), D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 1.0f, 0);
        context_->DrawIndexedInstanced(6, instanceCount_, 0, 0, 0);
    }

    HRESULT result = S_OK;
    for (size_t i = 0; i < surfaces_.size(); ++i) {
        if (beforePresent) {
            beforePresent(i, surfaces_[i].swapChain.Get());
        }
        const HRESULT hr = surfaces_[i].swapChain->Present(options_.syncInterval, 0);
        lastPresentResult_ = hr;
        if (FAILED(hr) && SUCCEEDED(result)) {
            result = hr;
        }
    }
    ++frames_;
    if (frames_ % 30 == 0) {
        updateTitle();
    }
    return result;
}

void DemoGame::updateTitle()
{
    for (size_t i = 0; i < surfaces_.size(); ++i) {
        wchar_t title[128];
        std::swprintf(title, 128, L"D3D11 demo %u - frame %llu - %ux%u", static_cast<unsigned>(i + 1),
                      static_cast<unsigned long long>(frames_), surfaces_[i].width, surfaces_[i].height);
        SetWindowTextW(surfaces_[i].window, title);
    }
}

void DemoGame::requestResize(uint32_t width, uint32_t height, size_t windowIndex)
{
    Surface& surface = surfaces_.at(windowIndex);
    setClientSize(surface.window, width, height);
    // The swap chain follows the size asked for, even where a window manager gives another one.
    surface.pendingWidth = width;
    surface.pendingHeight = height;
    surface.resizePending = width != surface.width || height != surface.height;
}

void DemoGame::windowResized(HWND window, uint32_t width, uint32_t height)
{
    for (auto& surface : surfaces_) {
        if (surface.window == window && surface.swapChain && (width != surface.width || height != surface.height)) {
            surface.pendingWidth = width;
            surface.pendingHeight = height;
            surface.resizePending = true;
        }
    }
}

std::string DemoGame::counters() const
{
    return "frames=" + std::to_string(frames_) + " resizes=" + std::to_string(resizes_) +
           " state-mismatches=" + std::to_string(stateMismatches_);
}

int DemoGame::run()
{
    bool presentFailed = false;
    runFrames([this, &presentFailed] {
        const HRESULT hr = renderFrame();
        if (FAILED(hr)) {
            std::fprintf(stderr, "Present failed: %s\n", hex(hr).c_str());
            presentFailed = true;
        }
        return !presentFailed;
    });
    printLine(counters());
    if (presentFailed || FAILED(lastResizeResult_)) {
        return 1;
    }
    return stateMismatches_ != 0 ? 3 : 0;
}

}  // namespace Demo
