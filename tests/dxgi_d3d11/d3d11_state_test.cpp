// The Direct3D 11 renderer draws on the game's immediate context: every binding the game made must
// read back identical after an overlay frame, with every reference count as it was.
#include "d3d11_spy/d3d11_spy.h"
#include "dxbc_checksum.h"
#include "graphics_test_support.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/shaders/d3d11_shaders.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

#include <d3d11_1.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

using namespace GraphicsTest;
namespace Shaders = Overlay::Rendering::D3D11Shaders;
using C = ID3D11DeviceContext;

const UINT slotsVB = D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT;
const UINT slotsRT = D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT;
const UINT slotsVP = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;
const UINT slotsSampler = D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT;
const UINT slotsResource = D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT;
const UINT slotsBuffer = D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT;
const UINT slotsUAV = D3D11_1_UAV_SLOT_COUNT;  // feature level 11_1; 8 below

// A DXBC container with empty input, output (and, for tessellation stages, patch-constant)
// signatures around the given shader code, with a correct checksum.
std::vector<unsigned char> container(std::vector<uint32_t> code, bool patchConstants)
{
    code[1] = static_cast<uint32_t>(code.size());
    std::vector<std::pair<std::string, std::vector<uint32_t>>> chunks = {{"ISGN", {0, 8}}, {"OSGN", {0, 8}}};
    if (patchConstants) {
        chunks.push_back({"PCSG", {0, 8}});
    }
    const uint32_t major = (code[0] >> 4) & 0xF;
    chunks.push_back({major >= 5 ? "SHEX" : "SHDR", code});

    std::vector<unsigned char> out(32 + 4 * chunks.size(), 0);
    auto put = [&out](size_t at, uint32_t value) { std::memcpy(&out[at], &value, 4); };
    std::memcpy(out.data(), "DXBC", 4);
    put(20, 1);
    put(28, static_cast<uint32_t>(chunks.size()));
    for (size_t i = 0; i < chunks.size(); ++i) {
        put(32 + 4 * i, static_cast<uint32_t>(out.size()));
        out.insert(out.end(), chunks[i].first.begin(), chunks[i].first.end());
        const uint32_t size = static_cast<uint32_t>(chunks[i].second.size() * 4);
        out.resize(out.size() + 4 + size);
        std::memcpy(&out[out.size() - size - 4], &size, 4);
        std::memcpy(&out[out.size() - size], chunks[i].second.data(), size);
    }
    put(24, static_cast<uint32_t>(out.size()));
    uint32_t checksum[4];
    dxbcChecksum(out.data(), out.size(), checksum);
    std::memcpy(&out[4], checksum, 16);
    return out;
}

// Instruction tokens: opcode in bits 0-10, a declaration's value from bit 11, length from bit 24.
constexpr uint32_t token(uint32_t opcode, uint32_t value, uint32_t length)
{
    return opcode | (value << 11) | (length << 24);
}

constexpr uint32_t opRet = 0x3E;

// Minimal valid shaders, assembled by hand (Wine's compiler makes no hull, domain or geometry
// shaders): they declare what the stage needs and return.
std::vector<unsigned char> minimalGeometryShader()
{
    // gs_4_0: triangles in, a triangle strip of at most 3 vertices out.
    return container({0x00020040, 0, token(0x5D, 3, 1), token(0x5C, 5, 1), token(0x5E, 0, 2), 3, token(opRet, 0, 1)},
                     false);
}

std::vector<unsigned char> minimalHullShader()
{
    // hs_5_0: 3 control points in and out, triangle domain, integer partitioning, clockwise triangles.
    return container({0x00030050, 0, token(0x71, 0, 1), token(0x93, 3, 1), token(0x94, 3, 1), token(0x95, 2, 1),
                      token(0x96, 1, 1), token(0x97, 3, 1), token(opRet, 0, 1)},
                     true);
}

std::vector<unsigned char> minimalDomainShader()
{
    // ds_5_0: triangle domain, 3 control points.
    return container({0x00040050, 0, token(0x95, 2, 1), token(0x93, 3, 1), token(opRet, 0, 1)}, true);
}

// Everything the game can bind on the graphics pipeline, read back with the Get calls: one entry per
// value, objects by address. Their references are let go at once: the game's bindings keep them alive.
class Snapshot
{
public:
    explicit Snapshot(C* context)
    {
        D3D11_PRIMITIVE_TOPOLOGY topology;
        context->IAGetPrimitiveTopology(&topology);
        value("topology", topology);
        ID3D11InputLayout* layout = nullptr;
        context->IAGetInputLayout(&layout);
        objects("input layout", &layout, 1);
        ID3D11Buffer* vertexBuffers[slotsVB] = {};
        UINT strides[slotsVB];
        UINT offsets[slotsVB];
        context->IAGetVertexBuffers(0, slotsVB, vertexBuffers, strides, offsets);
        objects("vertex buffers", vertexBuffers, slotsVB);
        value("strides and offsets", strides, offsets);
        ID3D11Buffer* indexBuffer = nullptr;
        DXGI_FORMAT indexFormat;
        UINT indexOffset;
        context->IAGetIndexBuffer(&indexBuffer, &indexFormat, &indexOffset);
        objects("index buffer", &indexBuffer, 1);
        value("index format and offset", indexFormat, indexOffset);
        ID3D11BlendState* blend = nullptr;
        float factor[4];
        UINT sampleMask;
        context->OMGetBlendState(&blend, factor, &sampleMask);
        objects("blend state", &blend, 1);
        value("blend factor and sample mask", factor, sampleMask);
        ID3D11DepthStencilState* depthStencil = nullptr;
        UINT stencilRef;
        context->OMGetDepthStencilState(&depthStencil, &stencilRef);
        objects("depth-stencil state", &depthStencil, 1);
        value("stencil reference", stencilRef);
        ID3D11RenderTargetView* targets[slotsRT] = {};
        ID3D11DepthStencilView* depthView = nullptr;
        ID3D11UnorderedAccessView* views[slotsUAV] = {};
        ComPtr<ID3D11Device> device;
        context->GetDevice(&device);
        const UINT viewSlots = device->GetFeatureLevel() >= D3D_FEATURE_LEVEL_11_1 ? slotsUAV : 8;
        context->OMGetRenderTargetsAndUnorderedAccessViews(slotsRT, targets, &depthView, 0, viewSlots, views);
        objects("render targets", targets, slotsRT);
        objects("depth-stencil view", &depthView, 1);
        objects("unordered-access views", views, viewSlots);
        ID3D11RasterizerState* rasterizer = nullptr;
        context->RSGetState(&rasterizer);
        objects("rasterizer state", &rasterizer, 1);
        D3D11_VIEWPORT viewports[slotsVP] = {};
        context->RSGetViewports(&(viewportCount = slotsVP), viewports);
        value("viewports", viewportCount, viewports);
        D3D11_RECT scissors[slotsVP] = {};
        UINT scissorCount = slotsVP;
        context->RSGetScissorRects(&scissorCount, scissors);
        value("scissor rectangles", scissorCount, scissors);
        stage("vertex", context, &C::VSGetShader, &C::VSGetSamplers, &C::VSGetShaderResources,
              &C::VSGetConstantBuffers);
        stage("pixel", context, &C::PSGetShader, &C::PSGetSamplers, &C::PSGetShaderResources, &C::PSGetConstantBuffers);
        stage("geometry", context, &C::GSGetShader, &C::GSGetSamplers, &C::GSGetShaderResources,
              &C::GSGetConstantBuffers);
        stage("hull", context, &C::HSGetShader, &C::HSGetSamplers, &C::HSGetShaderResources, &C::HSGetConstantBuffers);
        stage("domain", context, &C::DSGetShader, &C::DSGetSamplers, &C::DSGetShaderResources,
              &C::DSGetConstantBuffers);
        ComPtr<ID3D11DeviceContext1> context1;
        if (SUCCEEDED(context->QueryInterface(IID_PPV_ARGS(&context1)))) {
            using C1 = ID3D11DeviceContext1;
            const std::pair<const char*, void (STDMETHODCALLTYPE C1::*)(UINT, UINT, ID3D11Buffer**, UINT*, UINT*)>
                ranges[] = {{"vertex", &C1::VSGetConstantBuffers1},
                            {"pixel", &C1::PSGetConstantBuffers1},
                            {"geometry", &C1::GSGetConstantBuffers1},
                            {"hull", &C1::HSGetConstantBuffers1},
                            {"domain", &C1::DSGetConstantBuffers1}};
            for (const auto& [name, get] : ranges) {
                ID3D11Buffer* buffers[slotsBuffer] = {};
                UINT first[slotsBuffer] = {};
                UINT counts[slotsBuffer] = {};
                (context1.Get()->*get)(0, slotsBuffer, buffers, first, counts);
                for (ID3D11Buffer* buffer : buffers) {
                    if (buffer) {
                        buffer->Release();
                    }
                }
                value(std::string(name) + " constant ranges", first, counts);
            }
        }
        ID3D11Predicate* predicate = nullptr;
        BOOL predicateValue;
        context->GetPredication(&predicate, &predicateValue);
        objects("predicate", &predicate, 1);
        value("predicate value", predicateValue);
    }

    // The names of the entries that differ, comma-separated.
    std::string differences(const Snapshot& other) const
    {
        std::string text;
        for (size_t i = 0; i < entries_.size() && i < other.entries_.size(); ++i) {
            if (entries_[i] != other.entries_[i]) {
                text += (text.empty() ? "" : ", ") + entries_[i].first;
            }
        }
        return text;
    }

    std::map<IUnknown*, ULONG> referenceCounts() const
    {
        std::map<IUnknown*, ULONG> counts;
        for (IUnknown* object : bound) {
            counts[object] = references(object);
        }
        return counts;
    }

    std::vector<IUnknown*> bound;
    UINT viewportCount = 0;

private:
    template <class T>
    void objects(const std::string& name, T* const* items, UINT count)
    {
        for (UINT i = 0; i < count; ++i) {
            value(name + " " + std::to_string(i), items[i]);
            if (items[i]) {
                bound.push_back(items[i]);
                items[i]->Release();
            }
        }
    }

    template <class... Values>
    void value(const std::string& name, const Values&... values)
    {
        std::string bytes;
        (bytes.append(reinterpret_cast<const char*>(&values), sizeof values), ...);
        entries_.emplace_back(name, bytes);
    }

    template <class Shader>
    void stage(const std::string& name, C* context,
               void (STDMETHODCALLTYPE C::*getShader)(Shader**, ID3D11ClassInstance**, UINT*),
               void (STDMETHODCALLTYPE C::*getSamplers)(UINT, UINT, ID3D11SamplerState**),
               void (STDMETHODCALLTYPE C::*getResources)(UINT, UINT, ID3D11ShaderResourceView**),
               void (STDMETHODCALLTYPE C::*getBuffers)(UINT, UINT, ID3D11Buffer**))
    {
        Shader* shader = nullptr;
        (context->*getShader)(&shader, nullptr, nullptr);
        objects(name + " shader", &shader, 1);
        ID3D11SamplerState* samplers[slotsSampler] = {};
        (context->*getSamplers)(0, slotsSampler, samplers);
        objects(name + " samplers", samplers, slotsSampler);
        ID3D11ShaderResourceView* resources[slotsResource] = {};
        (context->*getResources)(0, slotsResource, resources);
        objects(name + " resources", resources, slotsResource);
        ID3D11Buffer* buffers[slotsBuffer] = {};
        (context->*getBuffers)(0, slotsBuffer, buffers);
        objects(name + " constant buffers", buffers, slotsBuffer);
    }

    std::vector<std::pair<std::string, std::string>> entries_;
};

// The objects a game binds, one or a few of each kind, none of them a default.
struct GameState
{
    explicit GameState(ID3D11Device* device)
    {
        const D3D11_INPUT_ELEMENT_DESC position = {
            "POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0};
        const auto& vs = Shaders::solidVertexShader;
        check(device->CreateInputLayout(&position, 1, vs, sizeof vs, &layout));
        D3D11_BUFFER_DESC bufferDesc = {256, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER | D3D11_BIND_INDEX_BUFFER};
        for (auto& buffer : buffers) {
            check(device->CreateBuffer(&bufferDesc, nullptr, &buffer));
        }
        bufferDesc = {1024, D3D11_USAGE_DEFAULT, D3D11_BIND_CONSTANT_BUFFER};
        for (auto& buffer : constantBuffers) {
            check(device->CreateBuffer(&bufferDesc, nullptr, &buffer));
        }
        D3D11_BLEND_DESC blendDesc = {};
        const D3D11_BLEND one = D3D11_BLEND_ONE;
        blendDesc.RenderTarget[0] = {TRUE, one, one, D3D11_BLEND_OP_MAX, one, one, D3D11_BLEND_OP_ADD, 0x7};
        check(device->CreateBlendState(&blendDesc, &blend));
        D3D11_DEPTH_STENCIL_DESC depthDesc = {TRUE, D3D11_DEPTH_WRITE_MASK_ZERO, D3D11_COMPARISON_GREATER, TRUE, 0xF0,
                                              0xF0};
        depthDesc.FrontFace = depthDesc.BackFace = {D3D11_STENCIL_OP_INCR, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                                                    D3D11_COMPARISON_EQUAL};
        check(device->CreateDepthStencilState(&depthDesc, &depthStencil));
        const D3D11_RASTERIZER_DESC rasterizerDesc = {
            D3D11_FILL_WIREFRAME, D3D11_CULL_FRONT, FALSE, 0, 0, 0, TRUE, TRUE};
        check(device->CreateRasterizerState(&rasterizerDesc, &rasterizer));
        auto texture = [device](UINT bind, DXGI_FORMAT format) {
            const D3D11_TEXTURE2D_DESC desc = {32, 32, 1, 1, format, {1, 0}, D3D11_USAGE_DEFAULT, bind, 0, 0};
            ComPtr<ID3D11Texture2D> made;
            check(device->CreateTexture2D(&desc, nullptr, &made));
            return made;
        };
        for (auto& target : renderTargets) {
            check(device->CreateRenderTargetView(texture(D3D11_BIND_RENDER_TARGET, DXGI_FORMAT_R8G8B8A8_UNORM).Get(),
                                                 nullptr, &target));
        }
        for (auto& view : unorderedViews) {
            check(device->CreateUnorderedAccessView(texture(D3D11_BIND_UNORDERED_ACCESS, DXGI_FORMAT_R32_FLOAT).Get(),
                                                    nullptr, &view));
        }
        for (auto& view : resources) {
            check(device->CreateShaderResourceView(
                texture(D3D11_BIND_SHADER_RESOURCE, DXGI_FORMAT_R8G8B8A8_UNORM).Get(), nullptr, &view));
        }
        check(device->CreateDepthStencilView(texture(D3D11_BIND_DEPTH_STENCIL, DXGI_FORMAT_D24_UNORM_S8_UINT).Get(),
                                             nullptr, &depthView));
        for (size_t i = 0; i < 2; ++i) {
            const D3D11_TEXTURE_ADDRESS_MODE mirror = D3D11_TEXTURE_ADDRESS_MIRROR;
            const D3D11_FILTER filter = i ? D3D11_FILTER_MIN_MAG_MIP_POINT : D3D11_FILTER_ANISOTROPIC;
            D3D11_SAMPLER_DESC samplerDesc = {filter, mirror, mirror, mirror, 0.0f, 4, D3D11_COMPARISON_NEVER};
            samplerDesc.MaxLOD = 5.0f;
            check(device->CreateSamplerState(&samplerDesc, &samplers[i]));
        }
        const auto& ps = Shaders::texturedPixelShader;
        const auto gs = minimalGeometryShader();
        const auto hs = minimalHullShader();
        const auto ds = minimalDomainShader();
        check(device->CreateVertexShader(vs, sizeof vs, nullptr, &vertexShader));
        check(device->CreatePixelShader(ps, sizeof ps, nullptr, &pixelShader));
        check(device->CreateGeometryShader(gs.data(), gs.size(), nullptr, &geometryShader));
        check(device->CreateHullShader(hs.data(), hs.size(), nullptr, &hullShader));
        check(device->CreateDomainShader(ds.data(), ds.size(), nullptr, &domainShader));
        const D3D11_QUERY_DESC queryDesc = {D3D11_QUERY_OCCLUSION_PREDICATE, 0};
        check(device->CreatePredicate(&queryDesc, &predicate));
    }

    // Every slot filled, with `viewportCount` viewports and scissor rectangles.
    void bind(C* context, UINT viewportCount) const
    {
        auto fill = [](auto* slots, UINT count, const auto& from) {
            for (UINT i = 0; i < count; ++i) {
                slots[i] = from[i % std::size(from)].Get();
            }
        };
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_3_CONTROL_POINT_PATCHLIST);
        context->IASetInputLayout(layout.Get());
        ID3D11Buffer* vertexBuffers[slotsVB];
        fill(vertexBuffers, slotsVB, buffers);
        UINT strides[slotsVB];
        UINT offsets[slotsVB];
        for (UINT i = 0; i < slotsVB; ++i) {
            strides[i] = 4 + 4 * i;
            offsets[i] = 16 * i;
        }
        context->IASetVertexBuffers(0, slotsVB, vertexBuffers, strides, offsets);
        context->IASetIndexBuffer(buffers[2].Get(), DXGI_FORMAT_R32_UINT, 12);
        const float factor[4] = {0.1f, 0.2f, 0.3f, 0.4f};
        context->OMSetBlendState(blend.Get(), factor, 0x00FF00FF);
        context->OMSetDepthStencilState(depthStencil.Get(), 0x5A);
        ID3D11RenderTargetView* targets[slotsRT];
        fill(targets, slotsRT, renderTargets);
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
        context->VSSetShader(vertexShader.Get(), nullptr, 0);
        context->PSSetShader(pixelShader.Get(), nullptr, 0);
        context->GSSetShader(geometryShader.Get(), nullptr, 0);
        context->HSSetShader(hullShader.Get(), nullptr, 0);
        context->DSSetShader(domainShader.Get(), nullptr, 0);
        ID3D11SamplerState* samplerSlots[slotsSampler];
        fill(samplerSlots, slotsSampler, samplers);
        ID3D11ShaderResourceView* resourceSlots[slotsResource];
        fill(resourceSlots, slotsResource, resources);
        ID3D11Buffer* bufferSlots[slotsBuffer];
        fill(bufferSlots, slotsBuffer, constantBuffers);
        for (auto set :
             {&C::VSSetSamplers, &C::PSSetSamplers, &C::GSSetSamplers, &C::HSSetSamplers, &C::DSSetSamplers}) {
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

    // Three render targets with unordered-access views after them up to slot `end`, and constant
    // buffers bound with ranges (Direct3D 11.1), on top of `bind`.
    void bindViewsAndRanges(C* context, UINT end = 5) const
    {
        ID3D11RenderTargetView* targets[3] = {renderTargets[0].Get(), renderTargets[1].Get(), renderTargets[2].Get()};
        ID3D11UnorderedAccessView* views[slotsUAV];
        UINT counters[slotsUAV];
        for (UINT i = 0; i < end - 3; ++i) {
            views[i] = unorderedViews[i % 2].Get();
            counters[i] = UINT(-1);
        }
        context->OMSetRenderTargetsAndUnorderedAccessViews(3, targets, depthView.Get(), 3, end - 3, views, counters);
        ComPtr<ID3D11DeviceContext1> context1;
        check(context->QueryInterface(IID_PPV_ARGS(&context1)));
        ID3D11Buffer* bufferSlots[slotsBuffer];
        UINT first[slotsBuffer];
        UINT counts[slotsBuffer];
        for (UINT i = 0; i < slotsBuffer; ++i) {
            bufferSlots[i] = constantBuffers[i % 2].Get();
            first[i] = 16 * (i % 3);
            counts[i] = 16;
        }
        using C1 = ID3D11DeviceContext1;
        for (auto set : {&C1::VSSetConstantBuffers1, &C1::PSSetConstantBuffers1, &C1::GSSetConstantBuffers1,
                         &C1::HSSetConstantBuffers1, &C1::DSSetConstantBuffers1}) {
            (context1.Get()->*set)(0, slotsBuffer, bufferSlots, first, counts);
        }
    }

    ComPtr<ID3D11InputLayout> layout;
    ComPtr<ID3D11UnorderedAccessView> unorderedViews[2];
    ComPtr<ID3D11Buffer> buffers[3];
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

// A game with every binding made, an overlay showing a host window over it, drawn with the Direct3D 11
// renderer on the game's immediate context.
class D3D11StateRestore : public ::testing::Test
{
protected:
    explicit D3D11StateRestore(decltype(&D3D11CreateDeviceAndSwapChain) create = &D3D11CreateDeviceAndSwapChain)
        : game(96, 64, create), state(game.device.Get()), host({8, 8, 24, 24}),
          overlay(host.sharedOverlay, {96, 64},
                  std::make_shared<Overlay::Rendering::RendererD3D11>(game.swapChain.Get()))
    {
        host.publish(16, 16, 4);
        overlay.draw();  // the window's bitmap, kept from frame to frame, references the context
    }

    // Draws overlay frames over the bound state and compares every binding and reference count before
    // and after; returns how many frames failed.
    int expectRestoredAfter(int frames)
    {
        const Snapshot before(game.context.Get());
        const auto counts = before.referenceCounts();
        const ULONG contextReferences = references(game.context.Get());
        int failed = 0;
        for (int i = 0; i < frames; ++i) {
            try {
                overlay.draw();
            } catch (const std::exception&) {
                ++failed;
            }
        }
        EXPECT_EQ(before.differences(Snapshot(game.context.Get())), "");
        EXPECT_EQ(before.referenceCounts(), counts);
        EXPECT_EQ(references(game.context.Get()), contextReferences) << "the backup holds nothing between frames";
        return failed;
    }

    TestSwapChain game;
    const GameState state;
    TestHost host;
    Overlay::Rendering::RenderOverlay overlay;
};

TEST_F(D3D11StateRestore, EveryBindingReadsBackIdenticalAndTheFramesGoIntoTheBackBuffer)
{
    clearBackBuffer(game.swapChain.Get(), Rgba{200, 100, 50, 255});
    state.bind(game.context.Get(), slotsVP);
    const Snapshot bound(game.context.Get());
    ASSERT_EQ(bound.viewportCount, slotsVP);
    // Input layout, index buffer, blend, depth-stencil and rasterizer states, depth-stencil view, predicate,
    // and every slot of the vertex buffers (Wine keeps 16 of the 32), render targets and the five stages.
    ASSERT_GE(bound.bound.size(), 7 + 16 + slotsRT + 5 * (1 + slotsSampler + slotsResource + slotsBuffer));
    EXPECT_EQ(expectRestoredAfter(2), 0);

    // Both frames went into the back buffer (darkened twice: 40 % of 40 %), not into the game's targets.
    const Image image = readBackBuffer(game.swapChain.Get());
    EXPECT_TRUE(closeTo(image.at(50, 40), Rgba{32, 16, 8, 255}, 2)) << describe(image.at(50, 40));
    EXPECT_TRUE(closeTo(image.at(10, 10), patternPixel(2, 2, 4), 1)) << describe(image.at(10, 10));
}

// No viewports at all; a window the host names that does not exist, refused after the darkening (the
// first such frame lets go of the old window's bitmap); unordered-access views after the render targets
// and constant-buffer ranges: each frame ends as any other.
TEST_F(D3D11StateRestore, NoViewportsARefusedWindowViewsAndRangesStay)
{
    state.bind(game.context.Get(), 0);
    EXPECT_EQ(expectRestoredAfter(1), 0);

    host.overlay->showWindow(Overlay::Ipc::makeSharedId());
    overlay.draw();
    state.bind(game.context.Get(), 3);
    EXPECT_EQ(expectRestoredAfter(1), 0);

    host.overlay->showWindow(host.window->id());
    overlay.draw();  // a new bitmap for the window again
    state.bind(game.context.Get(), 2);
    state.bindViewsAndRanges(game.context.Get());
    const Snapshot bound(game.context.Get());
    ASSERT_EQ(std::count(bound.bound.begin(), bound.bound.end(), state.unorderedViews[1].Get()), 1);
    EXPECT_EQ(expectRestoredAfter(1), 0);
}

// The same on a device of feature level 11_1, whose 64 unordered-access slots the spy stands in for.
decltype(&D3D11CreateDeviceAndSwapChain) level11_1()
{
    static Spy spy;
    spy.state->featureLevel11_1 = true;
    return spy.createDeviceAndSwapChain;
}

class D3D11_1StateRestore : public D3D11StateRestore
{
protected:
    D3D11_1StateRestore() : D3D11StateRestore(level11_1()) {}
};

TEST_F(D3D11_1StateRestore, ViewsInEverySlotAfterTheRenderTargetsStay)
{
    state.bind(game.context.Get(), 1);
    state.bindViewsAndRanges(game.context.Get(), slotsUAV);
    const Snapshot bound(game.context.Get());
    ASSERT_EQ(std::count(bound.bound.begin(), bound.bound.end(), state.unorderedViews[0].Get()), 31);
    EXPECT_EQ(expectRestoredAfter(1), 0);
}

// The Direct3D 11 renderer, except that no bitmap can be made.
struct NoBitmaps : Overlay::Rendering::Renderer
{
    explicit NoBitmaps(IDXGISwapChain* swapChain) : inner(swapChain) {}
    void beginDraw() override { inner.beginDraw(); }
    void endDraw() override { inner.endDraw(); }
    std::shared_ptr<Overlay::Rendering::Bitmap> createBitmap(const Overlay::Rendering::SizeU&) override
    {
        throw std::runtime_error("no bitmap");
    }
    void drawBitmap(Overlay::Rendering::Bitmap& bitmap, const Overlay::Rendering::RectI& dst) override
    {
        inner.drawBitmap(bitmap, dst);
    }
    void fillRect(const Overlay::Rendering::RectI& dst, const Overlay::Rendering::ColorF& color) override
    {
        inner.fillRect(dst, color);
    }
    Overlay::Rendering::RendererD3D11 inner;
};

TEST_F(D3D11StateRestore, AFrameFailingAfterTheDarkeningThrowsWithTheStateBack)
{
    overlay.setRenderer(std::make_shared<NoBitmaps>(game.swapChain.Get()));
    state.bind(game.context.Get(), 3);
    EXPECT_EQ(expectRestoredAfter(1), 1);
}

}  // namespace
