#pragma once
// The graphics pipeline state of a Direct3D 11 device context, captured before the overlay draws on
// the game's immediate context and put back afterwards. Compute state and stream-output targets are
// not touched by the overlay and not saved; the output merger's unordered-access views are, since
// rebinding the render targets unbinds them: 8 slots, 64 on a device of feature level 11_1.

#include <d3d11_1.h>

namespace Overlay::Rendering {

class D3D11StateBackup
{
public:
    D3D11StateBackup();
    ~D3D11StateBackup();
    D3D11StateBackup(const D3D11StateBackup&) = delete;
    D3D11StateBackup& operator=(const D3D11StateBackup&) = delete;

    // Reads every binding of the context (each interface referenced once). A previous capture is
    // dropped first.
    void capture(ID3D11DeviceContext* context);
    // Binds everything captured again, then clears. Does nothing without a capture.
    void restore();
    // Releases all references and resets the values to their defaults.
    void clear();
    bool captured() const { return captured_; }

    static constexpr UINT classInstanceCapacity = 256;

    template <class Shader>
    struct Stage
    {
        Shader* shader = nullptr;
        ID3D11ClassInstance* classInstances[classInstanceCapacity] = {};
        UINT classInstanceCount = 0;
        ID3D11SamplerState* samplers[D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT] = {};
        ID3D11ShaderResourceView* resources[D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT] = {};
        ID3D11Buffer* constantBuffers[D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT] = {};
        // The ranges of ID3D11DeviceContext1's ...SetConstantBuffers1; used where the context has them.
        UINT firstConstants[D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT] = {};
        UINT constantCounts[D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT] = {};

        void release();
    };

private:
    void restoreOutputMerger();

    ID3D11DeviceContext* context_ = nullptr;
    ID3D11DeviceContext1* context1_ = nullptr;  // the same context, where it is a Direct3D 11.1 one

    D3D11_PRIMITIVE_TOPOLOGY topology_ = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
    ID3D11InputLayout* inputLayout_ = nullptr;
    ID3D11Buffer* vertexBuffers_[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
    UINT vertexStrides_[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
    UINT vertexOffsets_[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
    ID3D11Buffer* indexBuffer_ = nullptr;
    DXGI_FORMAT indexFormat_ = DXGI_FORMAT_UNKNOWN;
    UINT indexOffset_ = 0;

    ID3D11BlendState* blendState_ = nullptr;
    FLOAT blendFactor_[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    UINT sampleMask_ = 0xFFFFFFFF;
    ID3D11DepthStencilState* depthStencilState_ = nullptr;
    UINT stencilRef_ = 0;
    ID3D11RenderTargetView* renderTargets_[D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT] = {};
    ID3D11DepthStencilView* depthStencilView_ = nullptr;
    ID3D11UnorderedAccessView* unorderedAccessViews_[D3D11_1_UAV_SLOT_COUNT] = {};
    UINT unorderedAccessSlots_ = D3D11_PS_CS_UAV_REGISTER_COUNT;  // the device's

    ID3D11RasterizerState* rasterizerState_ = nullptr;
    D3D11_VIEWPORT viewports_[D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE] = {};
    UINT viewportCount_ = 0;
    D3D11_RECT scissorRects_[D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE] = {};
    UINT scissorRectCount_ = 0;

    Stage<ID3D11VertexShader> vertexStage_;
    Stage<ID3D11PixelShader> pixelStage_;
    Stage<ID3D11GeometryShader> geometryStage_;
    Stage<ID3D11HullShader> hullStage_;
    Stage<ID3D11DomainShader> domainStage_;

    ID3D11Predicate* predicate_ = nullptr;
    BOOL predicateValue_ = FALSE;

    bool captured_ = false;
};

}  // namespace Overlay::Rendering
