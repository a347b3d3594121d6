// The Direct3D 11 renderer draws on the game's immediate context: every binding the game made must
// read back identical after an overlay frame, with every reference count as it was.
#include "graphics_test_support.h"

#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/shaders/d3d11_shaders.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using namespace GraphicsTest;
namespace Shaders = Overlay::Rendering::D3D11Shaders;
using Overlay::Rendering::RectI;
using Overlay::Rendering::RendererD3D11;
using Overlay::Rendering::SizeU;

const UINT slotsVB = D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT;
const UINT slotsRT = D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT;
const UINT slotsVP = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;
const UINT slotsSampler = D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT;
const UINT slotsResource = D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT;
const UINT slotsBuffer = D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT;

// Takes over references without adding one (MinGW's ComPtr::Attach adds one, Microsoft's does not).
template <class T, class U>
void adopt(ComPtr<T>& out, U* raw)
{
    *out.ReleaseAndGetAddressOf() = raw;
}

template <class T, size_t N>
void adopt(T* (&raw)[N], ComPtr<T> (&out)[N])
{
    for (size_t i = 0; i < N; ++i) {
        adopt(out[i], raw[i]);
    }
}

struct StageSnapshot
{
    ComPtr<ID3D11DeviceChild> shader;
    ComPtr<ID3D11SamplerState> samplers[slotsSampler];
    ComPtr<ID3D11ShaderResourceView> resources[slotsResource];
    ComPtr<ID3D11Buffer> buffers[slotsBuffer];
};

// Everything the game can bind on the graphics pipeline, read back with the Get calls.
struct Snapshot
{
    D3D11_PRIMITIVE_TOPOLOGY topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
    ComPtr<ID3D11InputLayout> layout;
    ComPtr<ID3D11Buffer> vertexBuffers[slotsVB];
    UINT strides[slotsVB] = {};
    UINT offsets[slotsVB] = {};
    ComPtr<ID3D11Buffer> indexBuffer;
    DXGI_FORMAT indexFormat = DXGI_FORMAT_UNKNOWN;
    UINT indexOffset = 0;
    ComPtr<ID3D11BlendState> blend;
    float blendFactor[4] = {};
    UINT sampleMask = 0;
    ComPtr<ID3D11DepthStencilState> depthStencil;
    UINT stencilRef = 0;
    ComPtr<ID3D11RenderTargetView> renderTargets[slotsRT];
    ComPtr<ID3D11DepthStencilView> depthView;
    ComPtr<ID3D11RasterizerState> rasterizer;
    UINT viewportCount = 0;
    D3D11_VIEWPORT viewports[slotsVP] = {};
    UINT scissorCount = 0;
    D3D11_RECT scissors[slotsVP] = {};
    StageSnapshot stages[5];  // vertex, pixel, geometry, hull, domain
    ComPtr<ID3D11Predicate> predicate;
    BOOL predicateValue = FALSE;
};

template <class Shader>
void takeStage(ID3D11DeviceContext* context, StageSnapshot& stage,
               void (STDMETHODCALLTYPE ID3D11DeviceContext::*getShader)(Shader**, ID3D11ClassInstance**, UINT*),
               void (STDMETHODCALLTYPE ID3D11DeviceContext::*getSamplers)(UINT, UINT, ID3D11SamplerState**),
               void (STDMETHODCALLTYPE ID3D11DeviceContext::*getResources)(UINT, UINT, ID3D11ShaderResourceView**),
               void (STDMETHODCALLTYPE ID3D11DeviceContext::*getBuffers)(UINT, UINT, ID3D11Buffer**))
{
    Shader* shader = nullptr;
    (context->*getShader)(&shader, nullptr, nullptr);
    adopt(stage.shader, shader);
    ID3D11SamplerState* samplers[slotsSampler] = {};
    (context->*getSamplers)(0, slotsSampler, samplers);
    adopt(samplers, stage.samplers);
    ID3D11ShaderResourceView* resources[slotsResource] = {};
    (context->*getResources)(0, slotsResource, resources);
    adopt(resources, stage.resources);
    ID3D11Buffer* buffers[slotsBuffer] = {};
    (context->*getBuffers)(0, slotsBuffer, buffers);
    adopt(buffers, stage.buffers);
}

Snapshot take(ID3D11DeviceContext* context)
{
    using C = ID3D11DeviceContext;
    Snapshot s;
    context->IAGetPrimitiveTopology(&s.topology);
    context->IAGetInputLayout(&s.layout);
    ID3D11Buffer* vertexBuffers[slotsVB] = {};
    context->IAGetVertexBuffers(0, slotsVB, vertexBuffers, s.strides, s.offsets);
    adopt(vertexBuffers, s.vertexBuffers);
    context->IAGetIndexBuffer(&s.indexBuffer, &s.indexFormat, &s.indexOffset);
    context->OMGetBlendState(&s.blend, s.blendFactor, &s.sampleMask);
    context->OMGetDepthStencilState(&s.depthStencil, &s.stencilRef);
    ID3D11RenderTargetView* targets[slotsRT] = {};
    context->OMGetRenderTargets(slotsRT, targets, &s.depthView);
    adopt(targets, s.renderTargets);
    context->RSGetState(&s.rasterizer);
    s.viewportCount = slotsVP;
    context->RSGetViewports(&s.viewportCount, s.viewports);
    s.scissorCount = slotsVP;
    context->RSGetScissorRects(&s.scissorCount, s.scissors);
    takeStage(context, s.stages[0], &C::VSGetShader, &C::VSGetSamplers, &C::VSGetShaderResources, &C::VSGetConstantBuffers);
    takeStage(context, s.stages[1], &C::PSGetShader, &C::PSGetSamplers, &C::PSGetShaderResources, &C::PSGetConstantBuffers);
    takeStage(context, s.stages[2], &C::GSGetShader, &C::GSGetSamplers, &C::GSGetShaderResources, &C::GSGetConstantBuffers);
    takeStage(context, s.stages[3], &C::HSGetShader, &C::HSGetSamplers, &C::HSGetShaderResources, &C::HSGetConstantBuffers);
    takeStage(context, s.stages[4], &C::DSGetShader, &C::DSGetSamplers, &C::DSGetShaderResources, &C::DSGetConstantBuffers);
    context->GetPredication(&s.predicate, &s.predicateValue);
    return s;
}

// Compared through Get(): MinGW's ComPtr has no operator== and would compare only whether both are set.
template <class T, size_t N>
bool sameObjects(const ComPtr<T> (&a)[N], const ComPtr<T> (&b)[N])
{
    for (size_t i = 0; i < N; ++i) {
        if (a[i].Get() != b[i].Get()) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> differences(const Snapshot& a, const Snapshot& b)
{
    std::vector<std::string> out;
    auto expect = [&out](bool same, const std::string& what) {
        if (!same) {
            out.push_back(what);
        }
    };
    expect(a.topology == b.topology, "topology");
    expect(a.layout.Get() == b.layout.Get(), "input layout");
    expect(sameObjects(a.vertexBuffers, b.vertexBuffers) && !std::memcmp(a.strides, b.strides, sizeof a.strides) &&
               !std::memcmp(a.offsets, b.offsets, sizeof a.offsets),
           "vertex buffers");
    expect(a.indexBuffer.Get() == b.indexBuffer.Get() && a.indexFormat == b.indexFormat && a.indexOffset == b.indexOffset,
           "index buffer");
    expect(a.blend.Get() == b.blend.Get() && !std::memcmp(a.blendFactor, b.blendFactor, sizeof a.blendFactor) &&
               a.sampleMask == b.sampleMask,
           "blend state");
    expect(a.depthStencil.Get() == b.depthStencil.Get() && a.stencilRef == b.stencilRef, "depth-stencil state");
    expect(sameObjects(a.renderTargets, b.renderTargets) && a.depthView.Get() == b.depthView.Get(), "render targets");
    expect(a.rasterizer.Get() == b.rasterizer.Get(), "rasterizer state");
    expect(a.viewportCount == b.viewportCount &&
               !std::memcmp(a.viewports, b.viewports, sizeof(D3D11_VIEWPORT) * a.viewportCount),
           "viewports");
    expect(a.scissorCount == b.scissorCount && !std::memcmp(a.scissors, b.scissors, sizeof(D3D11_RECT) * a.scissorCount),
           "scissor rectangles");
    const char* names[5] = {"vertex", "pixel", "geometry", "hull", "domain"};
    for (int i = 0; i < 5; ++i) {
        expect(a.stages[i].shader.Get() == b.stages[i].shader.Get(), std::string(names[i]) + " shader");
        expect(sameObjects(a.stages[i].samplers, b.stages[i].samplers), std::string(names[i]) + " samplers");
        expect(sameObjects(a.stages[i].resources, b.stages[i].resources), std::string(names[i]) + " resources");
        expect(sameObjects(a.stages[i].buffers, b.stages[i].buffers), std::string(names[i]) + " constant buffers");
    }
    expect(a.predicate.Get() == b.predicate.Get() && a.predicateValue == b.predicateValue, "predication");
    return out;
}

std::string join(const std::vector<std::string>& items)
{
    std::string text;
    for (const auto& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

void check(HRESULT hr)
{
    ASSERT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
}

// A game context with a binding in every slot the renderer saves, none of them a default.
class GameState
{
public:
    explicit GameState(ID3D11Device* device) : device_(device) {}

    void create()
    {
        const D3D11_INPUT_ELEMENT_DESC element = {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0};
        check(device_->CreateInputLayout(&element, 1, Shaders::solidVertexShader, sizeof Shaders::solidVertexShader, &layout));
        for (auto& buffer : buffers) {
            D3D11_BUFFER_DESC desc = {256, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER | D3D11_BIND_INDEX_BUFFER, 0, 0, 0};
            check(device_->CreateBuffer(&desc, nullptr, &buffer));
        }
        for (auto& buffer : constantBuffers) {
            D3D11_BUFFER_DESC desc = {64, D3D11_USAGE_DEFAULT, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0};
            check(device_->CreateBuffer(&desc, nullptr, &buffer));
        }
        D3D11_BLEND_DESC blendDesc = {};
        blendDesc.RenderTarget[0] = {TRUE, D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_MAX, D3D11_BLEND_ONE,
                                     D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD, 0x7};
        check(device_->CreateBlendState(&blendDesc, &blend));
        D3D11_DEPTH_STENCIL_DESC depthDesc = {};
        depthDesc.DepthEnable = TRUE;
        depthDesc.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ZERO;
        depthDesc.DepthFunc = D3D11_COMPARISON_GREATER;
        depthDesc.StencilEnable = TRUE;
        depthDesc.StencilReadMask = depthDesc.StencilWriteMask = 0xF0;
        depthDesc.FrontFace = depthDesc.BackFace = {D3D11_STENCIL_OP_INCR, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                                                    D3D11_COMPARISON_EQUAL};
        check(device_->CreateDepthStencilState(&depthDesc, &depthStencil));
        D3D11_RASTERIZER_DESC rasterizerDesc = {};
        rasterizerDesc.FillMode = D3D11_FILL_WIREFRAME;
        rasterizerDesc.CullMode = D3D11_CULL_FRONT;
        rasterizerDesc.ScissorEnable = TRUE;
        check(device_->CreateRasterizerState(&rasterizerDesc, &rasterizer));

        D3D11_TEXTURE2D_DESC textureDesc = {32, 32, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                            D3D11_BIND_RENDER_TARGET, 0, 0};
        for (auto& target : renderTargets) {
            ComPtr<ID3D11Texture2D> texture;
            check(device_->CreateTexture2D(&textureDesc, nullptr, &texture));
            check(device_->CreateRenderTargetView(texture.Get(), nullptr, &target));
        }
        textureDesc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        for (auto& view : resources) {
            ComPtr<ID3D11Texture2D> texture;
            check(device_->CreateTexture2D(&textureDesc, nullptr, &texture));
            check(device_->CreateShaderResourceView(texture.Get(), nullptr, &view));
        }
        textureDesc.Format = DXGI_FORMAT_D24_UNORM_S8_UINT;
        textureDesc.BindFlags = D3D11_BIND_DEPTH_STENCIL;
        ComPtr<ID3D11Texture2D> depthTexture;
        check(device_->CreateTexture2D(&textureDesc, nullptr, &depthTexture));
        check(device_->CreateDepthStencilView(depthTexture.Get(), nullptr, &depthView));
        for (size_t i = 0; i < 2; ++i) {
            D3D11_SAMPLER_DESC samplerDesc = {};
            samplerDesc.Filter = i ? D3D11_FILTER_MIN_MAG_MIP_POINT : D3D11_FILTER_ANISOTROPIC;
            samplerDesc.AddressU = samplerDesc.AddressV = samplerDesc.AddressW = D3D11_TEXTURE_ADDRESS_MIRROR;
            samplerDesc.MaxAnisotropy = 4;
            samplerDesc.ComparisonFunc = D3D11_COMPARISON_NEVER;
            samplerDesc.MaxLOD = 5.0f;
            check(device_->CreateSamplerState(&samplerDesc, &samplers[i]));
        }
        check(device_->CreateVertexShader(Shaders::solidVertexShader, sizeof Shaders::solidVertexShader, nullptr, &vertexShader));
        check(device_->CreatePixelShader(Shaders::texturedPixelShader, sizeof Shaders::texturedPixelShader, nullptr, &pixelShader));
        const auto gs = minimalGeometryShader();
        check(device_->CreateGeometryShader(gs.data(), gs.size(), nullptr, &geometryShader));
        const auto hs = minimalHullShader();
        check(device_->CreateHullShader(hs.data(), hs.size(), nullptr, &hullShader));
        const auto ds = minimalDomainShader();
        check(device_->CreateDomainShader(ds.data(), ds.size(), nullptr, &domainShader));
        const D3D11_QUERY_DESC queryDesc = {D3D11_QUERY_OCCLUSION_PREDICATE, 0};
        check(device_->CreatePredicate(&queryDesc, &predicate));
    }

    void bind(ID3D11DeviceContext* context, UINT viewportCount)
    {
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_3_CONTROL_POINT_PATCHLIST);
        context->IASetInputLayout(layout.Get());
        ID3D11Buffer* vertexBuffers[slotsVB];
        UINT strides[slotsVB];
        UINT offsets[slotsVB];
        for (UINT i = 0; i < slotsVB; ++i) {
            vertexBuffers[i] = buffers[i % 3].Get();
            strides[i] = 4 + 4 * i;
            offsets[i] = 16 * i;
        }
        context->IASetVertexBuffers(0, slotsVB, vertexBuffers, strides, offsets);
        context->IASetIndexBuffer(buffers[3].Get(), DXGI_FORMAT_R32_UINT, 12);
        const float factor[4] = {0.1f, 0.2f, 0.3f, 0.4f};
        context->OMSetBlendState(blend.Get(), factor, 0x00FF00FF);
        context->OMSetDepthStencilState(depthStencil.Get(), 0x5A);
        ID3D11RenderTargetView* targets[slotsRT];
        for (UINT i = 0; i < slotsRT; ++i) {
            targets[i] = renderTargets[i].Get();
        }
        context->OMSetRenderTargets(slotsRT, targets, depthView.Get());
        context->RSSetState(rasterizer.Get());
        D3D11_VIEWPORT viewports[slotsVP];
        D3D11_RECT scissors[slotsVP];
        for (UINT i = 0; i < slotsVP; ++i) {
            viewports[i] = {float(i), float(2 * i), float(10 + i), float(20 + i), 0.1f, 0.9f};
            scissors[i] = {LONG(i), LONG(i + 1), LONG(i + 20), LONG(i + 30)};
        }
        context->RSSetViewports(viewportCount, viewports);
        context->RSSetScissorRects(viewportCount, scissors);

        ID3D11SamplerState* samplerSlots[slotsSampler];
        for (UINT i = 0; i < slotsSampler; ++i) {
            samplerSlots[i] = samplers[i % 2].Get();
        }
        ID3D11ShaderResourceView* resourceSlots[slotsResource];
        for (UINT i = 0; i < slotsResource; ++i) {
            resourceSlots[i] = resources[i % 3].Get();
        }
        ID3D11Buffer* bufferSlots[slotsBuffer];
        for (UINT i = 0; i < slotsBuffer; ++i) {
            bufferSlots[i] = constantBuffers[i % 2].Get();
        }
        context->VSSetShader(vertexShader.Get(), nullptr, 0);
        context->PSSetShader(pixelShader.Get(), nullptr, 0);
        context->GSSetShader(geometryShader.Get(), nullptr, 0);
        context->HSSetShader(hullShader.Get(), nullptr, 0);
        context->DSSetShader(domainShader.Get(), nullptr, 0);
        using C = ID3D11DeviceContext;
        for (auto set : {&C::VSSetSamplers, &C::PSSetSamplers, &C::GSSetSamplers, &C::HSSetSamplers, &C::DSSetSamplers}) {
            (context->*set)(0, slotsSampler, samplerSlots);
        }
        for (auto set : {&C::VSSetShaderResources, &C::PSSetShaderResources, &C::GSSetShaderResources,
                         &C::HSSetShaderResources, &C::DSSetShaderResources}) {
            (context->*set)(0, slotsResource, resourceSlots);
        }
        for (auto set : {&C::VSSetConstantBuffers, &C::PSSetConstantBuffers, &C::GSSetConstantBuffers,
                         &C::HSSetConstantBuffers, &C::DSSetConstantBuffers}) {
            (context->*set)(0, slotsBuffer, bufferSlots);
        }
        context->SetPredication(predicate.Get(), TRUE);
    }

    std::vector<IUnknown*> objects() const
    {
        std::vector<IUnknown*> all = {layout.Get(), blend.Get(), depthStencil.Get(), rasterizer.Get(), depthView.Get(),
                                      vertexShader.Get(), pixelShader.Get(), geometryShader.Get(), hullShader.Get(),
                                      domainShader.Get(), predicate.Get()};
        for (const auto& b : buffers) all.push_back(b.Get());
        for (const auto& b : constantBuffers) all.push_back(b.Get());
        for (const auto& t : renderTargets) all.push_back(t.Get());
        for (const auto& r : resources) all.push_back(r.Get());
        for (const auto& s : samplers) all.push_back(s.Get());
        return all;
    }

    std::vector<ULONG> refCounts() const
    {
        std::vector<ULONG> counts;
        for (IUnknown* object : objects()) {
            counts.push_back(refCount(object));
        }
        return counts;
    }

private:
    ID3D11Device* device_;  // borrowed
    ComPtr<ID3D11InputLayout> layout;
    ComPtr<ID3D11Buffer> buffers[4];
    ComPtr<ID3D11Buffer> constantBuffers[2];
    ComPtr<ID3D11BlendState> blend;
    ComPtr<ID3D11DepthStencilState> depthStencil;
    ComPtr<ID3D11RasterizerState> rasterizer;
    ComPtr<ID3D11RenderTargetView> renderTargets[slotsRT];
    ComPtr<ID3D11DepthStencilView> depthView;
    ComPtr<ID3D11ShaderResourceView> resources[3];
    ComPtr<ID3D11SamplerState> samplers[2];
    ComPtr<ID3D11VertexShader> vertexShader;
    ComPtr<ID3D11PixelShader> pixelShader;
    ComPtr<ID3D11GeometryShader> geometryShader;
    ComPtr<ID3D11HullShader> hullShader;
    ComPtr<ID3D11DomainShader> domainShader;
    ComPtr<ID3D11Predicate> predicate;
};

class D3D11StateRestore : public ::testing::Test
{
protected:
    D3D11StateRestore() : game(SwapChainOptions{96, 64}), state(game.device.Get()) { state.create(); }

    // One overlay frame: darkening and a bitmap, as the overlay draws them.
    void overlayFrame(RendererD3D11& renderer)
    {
        auto bitmap = renderer.createBitmap(SizeU{16, 16});
        std::vector<uint8_t> pixels(16 * 16 * 4, 0x80);
        bitmap->update(pixels.data(), 16 * 4, nullptr);
        renderer.beginDraw();
        renderer.fillRect(RectI{0, 0, 96, 64}, Overlay::Rendering::RenderOverlay::dimColor);
        renderer.drawBitmap(*bitmap, RectI{8, 8, 24, 24});
        renderer.endDraw();
    }

    TestSwapChain game;
    GameState state;
};

TEST_F(D3D11StateRestore, EveryBindingReadsBackIdenticalWithBalancedReferences)
{
    RendererD3D11 renderer(game.swapChain.Get());
    clearBackBuffer(game.swapChain.Get(), Rgba{200, 100, 50, 255});
    state.bind(game.context.Get(), slotsVP);
    const std::vector<ULONG> countsBefore = state.refCounts();
    const ULONG contextBefore = refCount(game.context.Get());
    {
        const Snapshot before = take(game.context.Get());
        EXPECT_EQ(before.viewportCount, slotsVP);
        EXPECT_EQ(before.scissorCount, slotsVP);
        EXPECT_NE(before.stages[3].shader.Get(), nullptr) << "the hull shader is bound";
        EXPECT_NE(before.predicate.Get(), nullptr);

        overlayFrame(renderer);
        overlayFrame(renderer);

        const Snapshot after = take(game.context.Get());
        EXPECT_TRUE(differences(before, after).empty()) << "changed: " << join(differences(before, after));
    }
    EXPECT_EQ(state.refCounts(), countsBefore);
    EXPECT_EQ(refCount(game.context.Get()), contextBefore) << "the backup holds nothing between frames";

    // Both frames were drawn into the back buffer (darkened twice: 40 % of 40 %), not into the game's targets.
    const Image image = readBackBuffer(game.swapChain.Get());
    EXPECT_TRUE(closeTo(image.at(50, 40), Rgba{32, 16, 8, 255}, 2)) << describe(image.at(50, 40));
    EXPECT_TRUE(closeTo(image.at(10, 10), Rgba{0x80, 0x80, 0x80, 255}, 1)) << describe(image.at(10, 10));
}

TEST_F(D3D11StateRestore, ZeroViewportsAndScissorsStayZero)
{
    RendererD3D11 renderer(game.swapChain.Get());
    state.bind(game.context.Get(), 0);
    overlayFrame(renderer);
    UINT viewports = slotsVP;
    D3D11_VIEWPORT viewport[slotsVP];
    game.context->RSGetViewports(&viewports, viewport);
    UINT scissors = slotsVP;
    D3D11_RECT scissor[slotsVP];
    game.context->RSGetScissorRects(&scissors, scissor);
    EXPECT_EQ(viewports, 0u);
    EXPECT_EQ(scissors, 0u);
}

TEST_F(D3D11StateRestore, AFailedFrameStillRestoresEverything)
{
    // The host names a window that does not exist: drawing it fails after the darkening.
    auto sharedOverlay = Overlay::Ipc::SharedOverlay::create();
    auto host = Overlay::Host::HostOverlay::open(sharedOverlay->name());
    host->showWindow(Overlay::Ipc::makeSharedId());
    auto renderer = std::make_shared<RendererD3D11>(game.swapChain.Get());
    Overlay::Rendering::RenderOverlay overlay(sharedOverlay, SizeU{96, 64}, renderer);

    state.bind(game.context.Get(), 3);
    const std::vector<ULONG> countsBefore = state.refCounts();
    {
        const Snapshot before = take(game.context.Get());
        EXPECT_ANY_THROW(overlay.draw());
        const Snapshot after = take(game.context.Get());
        EXPECT_TRUE(differences(before, after).empty()) << "changed: " << join(differences(before, after));
    }
    EXPECT_EQ(state.refCounts(), countsBefore);
}

}  // namespace
