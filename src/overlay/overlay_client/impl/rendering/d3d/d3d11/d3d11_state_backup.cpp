#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/d3d11_state_backup.h"

#include <algorithm>

namespace Overlay::Rendering {
namespace {

template <class T, size_t N>
void releaseAll(T* (&objects)[N])
{
    for (auto*& object : objects) {
        if (object) {
            object->Release();
            object = nullptr;
        }
    }
}

template <class T>
void releaseOne(T*& object)
{
    if (object) {
        object->Release();
        object = nullptr;
    }
}

// The Get and Set calls of one shader stage.
template <class Shader>
struct StageCalls
{
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*getShader)(Shader**, ID3D11ClassInstance**, UINT*);
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*getSamplers)(UINT, UINT, ID3D11SamplerState**);
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*getResources)(UINT, UINT, ID3D11ShaderResourceView**);
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*getConstantBuffers)(UINT, UINT, ID3D11Buffer**);
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*setShader)(Shader*, ID3D11ClassInstance* const*, UINT);
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*setSamplers)(UINT, UINT, ID3D11SamplerState* const*);
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*setResources)(UINT, UINT, ID3D11ShaderResourceView* const*);
    void (STDMETHODCALLTYPE ID3D11DeviceContext::*setConstantBuffers)(UINT, UINT, ID3D11Buffer* const*);
};

using Context = ID3D11DeviceContext;
using Context1 = ID3D11DeviceContext1;

// A stage's constant buffers with their ranges (Direct3D 11.1).
struct RangeCalls
{
    void (STDMETHODCALLTYPE Context1::*get)(UINT, UINT, ID3D11Buffer**, UINT*, UINT*);
    void (STDMETHODCALLTYPE Context1::*set)(UINT, UINT, ID3D11Buffer* const*, const UINT*, const UINT*);
};

const RangeCalls vertexRanges = {&Context1::VSGetConstantBuffers1, &Context1::VSSetConstantBuffers1};
const RangeCalls pixelRanges = {&Context1::PSGetConstantBuffers1, &Context1::PSSetConstantBuffers1};
const RangeCalls geometryRanges = {&Context1::GSGetConstantBuffers1, &Context1::GSSetConstantBuffers1};
const RangeCalls hullRanges = {&Context1::HSGetConstantBuffers1, &Context1::HSSetConstantBuffers1};
const RangeCalls domainRanges = {&Context1::DSGetConstantBuffers1, &Context1::DSSetConstantBuffers1};

const StageCalls<ID3D11VertexShader> vertexCalls = {
    &Context::VSGetShader, &Context::VSGetSamplers, &Context::VSGetShaderResources, &Context::VSGetConstantBuffers,
    &Context::VSSetShader, &Context::VSSetSamplers, &Context::VSSetShaderResources, &Context::VSSetConstantBuffers};
const StageCalls<ID3D11PixelShader> pixelCalls = {
    &Context::PSGetShader, &Context::PSGetSamplers, &Context::PSGetShaderResources, &Context::PSGetConstantBuffers,
    &Context::PSSetShader, &Context::PSSetSamplers, &Context::PSSetShaderResources, &Context::PSSetConstantBuffers};
const StageCalls<ID3D11GeometryShader> geometryCalls = {
    &Context::GSGetShader, &Context::GSGetSamplers, &Context::GSGetShaderResources, &Context::GSGetConstantBuffers,
    &Context::GSSetShader, &Context::GSSetSamplers, &Context::GSSetShaderResources, &Context::GSSetConstantBuffers};
const StageCalls<ID3D11HullShader> hullCalls = {
    &Context::HSGetShader, &Context::HSGetSamplers, &Context::HSGetShaderResources, &Context::HSGetConstantBuffers,
    &Context::HSSetShader, &Context::HSSetSamplers, &Context::HSSetShaderResources, &Context::HSSetConstantBuffers};
const StageCalls<ID3D11DomainShader> domainCalls = {
    &Context::DSGetShader, &Context::DSGetSamplers, &Context::DSGetShaderResources, &Context::DSGetConstantBuffers,
    &Context::DSSetShader, &Context::DSSetSamplers, &Context::DSSetShaderResources, &Context::DSSetConstantBuffers};

template <class Shader>
void captureStage(Context* context, Context1* context1, const StageCalls<Shader>& calls, const RangeCalls& ranges,
                  D3D11StateBackup::Stage<Shader>& stage)
{
    // The count goes in as the room in the array, so shaders with class linkage keep their instances.
    stage.classInstanceCount = D3D11StateBackup::classInstanceCapacity;
    (context->*calls.getShader)(&stage.shader, stage.classInstances, &stage.classInstanceCount);
    stage.classInstanceCount = std::min(stage.classInstanceCount, D3D11StateBackup::classInstanceCapacity);
    (context->*calls.getSamplers)(0, D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT, stage.samplers);
    (context->*calls.getResources)(0, D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT, stage.resources);
    if (context1) {
        (context1->*ranges.get)(0, D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT, stage.constantBuffers,
                                stage.firstConstants, stage.constantCounts);
    } else {
        (context->*calls.getConstantBuffers)(0, D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT,
                                             stage.constantBuffers);
    }
}

template <class Shader>
void restoreStage(Context* context, Context1* context1, const StageCalls<Shader>& calls, const RangeCalls& ranges,
                  const D3D11StateBackup::Stage<Shader>& stage)
{
    (context->*calls.setShader)(stage.shader, stage.classInstances, stage.classInstanceCount);
    (context->*calls.setSamplers)(0, D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT, stage.samplers);
    (context->*calls.setResources)(0, D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT, stage.resources);
    if (context1) {
        (context1->*ranges.set)(0, D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT, stage.constantBuffers,
                                stage.firstConstants, stage.constantCounts);
    } else {
        (context->*calls.setConstantBuffers)(0, D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT,
                                             stage.constantBuffers);
    }
}

}  // namespace

template <class Shader>
void D3D11StateBackup::Stage<Shader>::release()
{
    releaseOne(shader);
    releaseAll(classInstances);
    classInstanceCount = 0;
    releaseAll(samplers);
    releaseAll(resources);
    releaseAll(constantBuffers);
    std::fill(std::begin(firstConstants), std::end(firstConstants), 0u);
    std::fill(std::begin(constantCounts), std::end(constantCounts), 0u);
}

D3D11StateBackup::D3D11StateBackup() = default;

D3D11StateBackup::~D3D11StateBackup()
{
    clear();
}

void D3D11StateBackup::clear()
{
    releaseOne(inputLayout_);
    releaseAll(vertexBuffers_);
    std::fill(std::begin(vertexStrides_), std::end(vertexStrides_), 0u);
    std::fill(std::begin(vertexOffsets_), std::end(vertexOffsets_), 0u);
    releaseOne(indexBuffer_);
    indexFormat_ = DXGI_FORMAT_UNKNOWN;
    indexOffset_ = 0;
    topology_ = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;

    releaseOne(blendState_);
    std::fill(std::begin(blendFactor_), std::end(blendFactor_), 1.0f);
    sampleMask_ = 0xFFFFFFFF;
    releaseOne(depthStencilState_);
    stencilRef_ = 0;
    releaseAll(renderTargets_);
    releaseOne(depthStencilView_);
    releaseAll(unorderedAccessViews_);

    releaseOne(rasterizerState_);
    viewportCount_ = 0;
    scissorRectCount_ = 0;

    vertexStage_.release();
    pixelStage_.release();
    geometryStage_.release();
    hullStage_.release();
    domainStage_.release();

    releaseOne(predicate_);
    predicateValue_ = FALSE;

    releaseOne(context1_);
    releaseOne(context_);
    captured_ = false;
}

void D3D11StateBackup::capture(ID3D11DeviceContext* context)
{
    clear();
    context_ = context;
    context_->AddRef();
    if (FAILED(context_->QueryInterface(__uuidof(ID3D11DeviceContext1), reinterpret_cast<void**>(&context1_)))) {
        context1_ = nullptr;  // a Direct3D 11.0 runtime: no constant-buffer ranges to keep
    }

    context_->IAGetPrimitiveTopology(&topology_);
    context_->IAGetInputLayout(&inputLayout_);
    context_->IAGetVertexBuffers(0, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT, vertexBuffers_, vertexStrides_,
                                 vertexOffsets_);
    context_->IAGetIndexBuffer(&indexBuffer_, &indexFormat_, &indexOffset_);

    context_->OMGetBlendState(&blendState_, blendFactor_, &sampleMask_);
    context_->OMGetDepthStencilState(&depthStencilState_, &stencilRef_);
    unorderedAccessSlots_ = D3D11_PS_CS_UAV_REGISTER_COUNT;
    ID3D11Device* device = nullptr;
    context_->GetDevice(&device);
    if (device) {
        if (device->GetFeatureLevel() >= D3D_FEATURE_LEVEL_11_1) {
            unorderedAccessSlots_ = D3D11_1_UAV_SLOT_COUNT;
        }
        device->Release();
    }
    context_->OMGetRenderTargetsAndUnorderedAccessViews(D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT, renderTargets_,
                                                        &depthStencilView_, 0, unorderedAccessSlots_,
                                                        unorderedAccessViews_);

    context_->RSGetState(&rasterizerState_);
    viewportCount_ = 0;
    context_->RSGetViewports(&viewportCount_, nullptr);
    viewportCount_ = std::min<UINT>(viewportCount_, D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE);
    if (viewportCount_ != 0) {
        context_->RSGetViewports(&viewportCount_, viewports_);
    }
    scissorRectCount_ = 0;
    context_->RSGetScissorRects(&scissorRectCount_, nullptr);
    scissorRectCount_ = std::min<UINT>(scissorRectCount_, D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE);
    if (scissorRectCount_ != 0) {
        context_->RSGetScissorRects(&scissorRectCount_, scissorRects_);
    }

    captureStage(context_, context1_, vertexCalls, vertexRanges, vertexStage_);
    captureStage(context_, context1_, pixelCalls, pixelRanges, pixelStage_);
    captureStage(context_, context1_, geometryCalls, geometryRanges, geometryStage_);
    captureStage(context_, context1_, hullCalls, hullRanges, hullStage_);
    captureStage(context_, context1_, domainCalls, domainRanges, domainStage_);

    context_->GetPredication(&predicate_, &predicateValue_);
    captured_ = true;
}

void D3D11StateBackup::restoreOutputMerger()
{
    // Render targets and unordered-access views share the slots: the views start where the
    // targets end.
    ID3D11UnorderedAccessView** const end = unorderedAccessViews_ + unorderedAccessSlots_;
    const auto first =
        std::find_if(unorderedAccessViews_, end, [](const ID3D11UnorderedAccessView* view) { return view != nullptr; });
    if (first == end) {
        context_->OMSetRenderTargets(D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT, renderTargets_, depthStencilView_);
        return;
    }
    const auto start = static_cast<UINT>(first - unorderedAccessViews_);
    UINT keepCounters[D3D11_1_UAV_SLOT_COUNT];
    std::fill(std::begin(keepCounters), std::end(keepCounters), UINT(-1));  // counters as they are
    context_->OMSetRenderTargetsAndUnorderedAccessViews(start, renderTargets_, depthStencilView_, start,
                                                        unorderedAccessSlots_ - start, first, keepCounters);
}

void D3D11StateBackup::restore()
{
    if (!captured_ || !context_) {
        return;
    }
    context_->IASetPrimitiveTopology(topology_);
    context_->IASetInputLayout(inputLayout_);
    context_->IASetVertexBuffers(0, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT, vertexBuffers_, vertexStrides_,
                                 vertexOffsets_);
    context_->IASetIndexBuffer(indexBuffer_, indexFormat_, indexOffset_);

    context_->OMSetBlendState(blendState_, blendFactor_, sampleMask_);
    context_->OMSetDepthStencilState(depthStencilState_, stencilRef_);
    restoreOutputMerger();

    context_->RSSetState(rasterizerState_);
    context_->RSSetViewports(viewportCount_, viewports_);
    context_->RSSetScissorRects(scissorRectCount_, scissorRects_);

    restoreStage(context_, context1_, vertexCalls, vertexRanges, vertexStage_);
    restoreStage(context_, context1_, pixelCalls, pixelRanges, pixelStage_);
    restoreStage(context_, context1_, geometryCalls, geometryRanges, geometryStage_);
    restoreStage(context_, context1_, hullCalls, hullRanges, hullStage_);
    restoreStage(context_, context1_, domainCalls, domainRanges, domainStage_);

    context_->SetPredication(predicate_, predicateValue_);
    clear();
}

}  // namespace Overlay::Rendering
