#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"
#include "overlay/overlay_client/impl/rendering/d3d/viewport.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d12/shaders/d3d12_shaders.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <emmintrin.h>

using Microsoft::WRL::ComPtr;

namespace Overlay::Rendering {
namespace {

namespace Shaders = D3D12Shaders;

// Triangle strips covering the clip space (z = 0), the textured one after the solid one.
const float quads[] = {-1, -1, 0, -1, 1, 0,  1, -1, 0, 1, 1, 0,                            // solid: x, y, z
                       -1, -1, 0, 0,  1, -1, 1, 0,  0, 0, 1, -1, 0, 1, 1, 1, 1, 0, 1, 0};  // x, y, z, u, v
const UINT solidStride = 3 * sizeof(float);
const UINT solidBytes = 4 * solidStride;
const UINT texturedStride = 5 * sizeof(float);
const UINT maxBackBuffers = DXGI_MAX_SWAP_CHAIN_BUFFERS;
// How long a wait for the GPU may take before we give up on it (a hung GPU must not hang the game
// in our code too).
const DWORD gpuWaitMs = 2000;

using SerializeRootSignatureFn = HRESULT(WINAPI*)(const D3D12_ROOT_SIGNATURE_DESC*, D3D_ROOT_SIGNATURE_VERSION,
                                                  ID3DBlob**, ID3DBlob**);

D3D12_HEAP_PROPERTIES heapOf(D3D12_HEAP_TYPE type)
{
    D3D12_HEAP_PROPERTIES heap = {};
    heap.Type = type;
    heap.CreationNodeMask = 1;
    heap.VisibleNodeMask = 1;
    return heap;
}

ComPtr<ID3D12Resource> createBuffer(ID3D12Device* device, UINT64 size)
{
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    desc.Width = size;
    desc.Height = 1;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.SampleDesc = {1, 0};
    desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    const D3D12_HEAP_PROPERTIES heap = heapOf(D3D12_HEAP_TYPE_UPLOAD);
    ComPtr<ID3D12Resource> buffer;
    Err::throwIfFailed(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc,
                                                       D3D12_RESOURCE_STATE_GENERIC_READ, nullptr,
                                                       IID_PPV_ARGS(&buffer)),
                       "Failed to create upload buffer");
    return buffer;
}

void transition(ID3D12GraphicsCommandList* list, ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                D3D12_RESOURCE_STATES after)
{
    D3D12_RESOURCE_BARRIER barrier = {};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition.pResource = resource;
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = before;
    barrier.Transition.StateAfter = after;
    list->ResourceBarrier(1, &barrier);
}

ComPtr<ID3D12RootSignature> createRootSignature(ID3D12Device* device)
{
    // Entry points are found at run time: the game has loaded d3d12.dll, we do not import it.
    const HMODULE d3d12 = GetModuleHandleW(L"d3d12.dll");
    const auto serialize = reinterpret_cast<SerializeRootSignatureFn>(
        d3d12 ? reinterpret_cast<void*>(GetProcAddress(d3d12, "D3D12SerializeRootSignature")) : nullptr);
    if (!serialize) {
        Err::throwLastError("Failed to get proc address: D3D12SerializeRootSignature");
    }
    D3D12_DESCRIPTOR_RANGE textureRange = {};
    textureRange.RangeType = D3D12_DESCRIPTOR_RANGE_TYPE_SRV;
    textureRange.NumDescriptors = 1;
    textureRange.BaseShaderRegister = 0;
    D3D12_ROOT_PARAMETER parameters[2] = {};
    // b0: the fill colour.
    parameters[0].ParameterType = D3D12_ROOT_PARAMETER_TYPE_32BIT_CONSTANTS;
    parameters[0].Constants.ShaderRegister = 0;
    parameters[0].Constants.Num32BitValues = 4;
    parameters[0].ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
    // t0: the bitmap's texture.
    parameters[1].ParameterType = D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE;
    parameters[1].DescriptorTable.NumDescriptorRanges = 1;
    parameters[1].DescriptorTable.pDescriptorRanges = &textureRange;
    parameters[1].ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
    // s0: linear, black outside the texture (as the Direct3D 11 renderer samples).
    D3D12_STATIC_SAMPLER_DESC sampler = {};
    sampler.Filter = D3D12_FILTER_MIN_MAG_MIP_LINEAR;
    sampler.AddressU = sampler.AddressV = sampler.AddressW = D3D12_TEXTURE_ADDRESS_MODE_BORDER;
    sampler.ComparisonFunc = D3D12_COMPARISON_FUNC_NEVER;
    sampler.BorderColor = D3D12_STATIC_BORDER_COLOR_OPAQUE_BLACK;
    sampler.MaxLOD = D3D12_FLOAT32_MAX;
    sampler.ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
    D3D12_ROOT_SIGNATURE_DESC desc = {};
    desc.NumParameters = 2;
    desc.pParameters = parameters;
    desc.NumStaticSamplers = 1;
    desc.pStaticSamplers = &sampler;
    desc.Flags = D3D12_ROOT_SIGNATURE_FLAG_ALLOW_INPUT_ASSEMBLER_INPUT_LAYOUT;
    ComPtr<ID3DBlob> blob;
    ComPtr<ID3DBlob> errors;
    Err::throwIfFailed(serialize(&desc, D3D_ROOT_SIGNATURE_VERSION_1, &blob, &errors),
                       "Failed to serialize root signature");
    ComPtr<ID3D12RootSignature> signature;
    Err::throwIfFailed(
        device->CreateRootSignature(0, blob->GetBufferPointer(), blob->GetBufferSize(), IID_PPV_ARGS(&signature)),
        "Failed to create root signature");
    return signature;
}

// BGRA pixels copied as RGBA in one pass, four at a time (SSE2, which every x64 processor has):
// swapping bytes in place after a copy would read and write the destination twice.
void copySwappingRedBlue(uint8_t* destination, const uint8_t* source, size_t pixels)
{
    const __m128i greenAlpha = _mm_set1_epi32(static_cast<int>(0xFF00FF00u));
    const __m128i low = _mm_set1_epi32(0xFF);
    size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        const __m128i pixel = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i * 4));
        const __m128i swapped =
            _mm_or_si128(_mm_and_si128(pixel, greenAlpha), _mm_or_si128(_mm_and_si128(_mm_srli_epi32(pixel, 16), low),
                                                                        _mm_slli_epi32(_mm_and_si128(pixel, low), 16)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i * 4), swapped);
    }
    for (; i < pixels; ++i) {
        destination[i * 4] = source[i * 4 + 2];
        destination[i * 4 + 1] = source[i * 4 + 1];
        destination[i * 4 + 2] = source[i * 4];
        destination[i * 4 + 3] = source[i * 4 + 3];
    }
}

}  // namespace

ComPtr<ID3D12Device> d3d12DeviceOf(IDXGISwapChain* swapChain)
{
    ComPtr<ID3D12Device> device;
    Err::throwIfFailed(swapChain->GetDevice(IID_PPV_ARGS(&device)), "Failed to get ID3D12Device");
    return device;
}

// --- D3D12Submissions ---------------------------------------------------------------------------

D3D12Submissions::D3D12Submissions(ID3D12Device* device)
{
    Err::throwIfFailed(device->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence_)), "Failed to create fence");
    event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event_) {
        Err::throwLastError("Failed to create fence event");
    }
}

uint64_t D3D12Submissions::signal(ID3D12CommandQueue* queue)
{
    Err::throwIfFailed(queue->Signal(fence_.Get(), value_ + 1), "Failed to signal fence");
    return ++value_;
}

void D3D12Submissions::waitFor(uint64_t value)
{
    if (value == 0 || value > value_) {
        return;  // nothing of ours in flight with that value
    }
    // A removed device reports UINT64_MAX: everything counts as done.
    if (fence_->GetCompletedValue() >= value) {
        return;
    }
    if (FAILED(fence_->SetEventOnCompletion(value, event_.get()))) {
        LOG_WARN(L"Failed to wait for the GPU: fence event refused");
        return;
    }
    if (WaitForSingleObject(event_.get(), gpuWaitMs) != WAIT_OBJECT_0 && fence_->GetCompletedValue() < value) {
        LOG_WARN(L"The GPU did not finish the overlay's commands in time: %0 ms", static_cast<uint32_t>(gpuWaitMs));
    }
}

// --- BitmapD3D12 --------------------------------------------------------------------------------

BitmapD3D12::BitmapD3D12(const SizeU& size, ID3D12Device* device, std::shared_ptr<D3D12Submissions> submissions,
                         DXGI_FORMAT format)
    : size_(size), format_(format == DXGI_FORMAT_R8G8B8A8_UNORM ? format : DXGI_FORMAT_B8G8R8A8_UNORM),
      submissions_(std::move(submissions))
{
    LOG_INFO(L"Create BitmapD3D12: %0", static_cast<const void*>(this));
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    desc.Width = size.width;
    desc.Height = size.height;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.Format = format_;
    desc.SampleDesc = {1, 0};
    const D3D12_HEAP_PROPERTIES heap = heapOf(D3D12_HEAP_TYPE_DEFAULT);
    Err::throwIfFailed(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc,
                                                       D3D12_RESOURCE_STATE_COPY_DEST, nullptr,
                                                       IID_PPV_ARGS(&texture_)),
                       "Failed to create D3D12 texture");
    UINT64 uploadSize = 0;
    device->GetCopyableFootprints(&desc, 0, 1, 0, &footprint_, nullptr, nullptr, &uploadSize);
    uploadBuffer_ = createBuffer(device, uploadSize);
    void* mapped = nullptr;
    const D3D12_RANGE nothingRead = {0, 0};
    Err::throwIfFailed(uploadBuffer_->Map(0, &nothingRead, &mapped), "Failed to map upload buffer");
    mapped_ = static_cast<uint8_t*>(mapped);

    D3D12_DESCRIPTOR_HEAP_DESC heapDesc = {};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV;
    heapDesc.NumDescriptors = 1;
    heapDesc.Flags = D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE;
    Err::throwIfFailed(device->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&viewHeap_)),
                       "Failed to create descriptor heap");
    D3D12_SHADER_RESOURCE_VIEW_DESC viewDesc = {};
    viewDesc.Format = format_;
    viewDesc.ViewDimension = D3D12_SRV_DIMENSION_TEXTURE2D;
    viewDesc.Shader4ComponentMapping = D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING;
    viewDesc.Texture2D.MipLevels = 1;
    device->CreateShaderResourceView(texture_.Get(), &viewDesc, viewHeap_->GetCPUDescriptorHandleForHeapStart());
}

BitmapD3D12::~BitmapD3D12()
{
    LOG_INFO(L"Destroy BitmapD3D12: %0", static_cast<const void*>(this));
    // The GPU may still copy from the upload buffer or sample the texture.
    submissions_->waitFor(lastUse_);
    if (mapped_) {
        uploadBuffer_->Unmap(0, nullptr);
    }
}

void BitmapD3D12::update(const void* pixels, uint32_t pitch, const RectI* dstRect)
{
    if (dstRect) {
        throw std::logic_error("Unimplemented dstRect feature");
    }
    // The last copy out of the upload buffer must be done before it is written again.
    submissions_->waitFor(lastUse_);
    const auto* source = static_cast<const uint8_t*>(pixels);
    uint8_t* destination = mapped_ + footprint_.Offset;
    const size_t rowBytes = size_t(size_.width) * 4;
    const bool swapRedBlue = format_ == DXGI_FORMAT_R8G8B8A8_UNORM;
    for (uint32_t row = 0; row < size_.height; ++row) {
        if (swapRedBlue) {
            copySwappingRedBlue(destination, source, size_.width);
        } else {
            std::memcpy(destination, source, rowBytes);
        }
        destination += footprint_.Footprint.RowPitch;
        source += pitch;
    }
    uploadPending_ = true;
}

void BitmapD3D12::recordUpload(ID3D12GraphicsCommandList* list)
{
    if (uploadPending_) {
        if (!copyDestination_) {
            transition(list, texture_.Get(), D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE,
                       D3D12_RESOURCE_STATE_COPY_DEST);
        }
        D3D12_TEXTURE_COPY_LOCATION to = {};
        to.pResource = texture_.Get();
        to.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        D3D12_TEXTURE_COPY_LOCATION from = {};
        from.pResource = uploadBuffer_.Get();
        from.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        from.PlacedFootprint = footprint_;
        list->CopyTextureRegion(&to, 0, 0, 0, &from, nullptr);
        transition(list, texture_.Get(), D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
        copyDestination_ = false;
        uploadPending_ = false;
        ++uploads_;
    } else if (copyDestination_) {
        throw std::logic_error("BitmapD3D12 drawn before its first update");
    }
    lastUse_ = submissions_->next();
}

void BitmapD3D12::record(ID3D12GraphicsCommandList* list)
{
    recordUpload(list);
    ID3D12DescriptorHeap* heaps[] = {viewHeap_.Get()};
    list->SetDescriptorHeaps(1, heaps);
    list->SetGraphicsRootDescriptorTable(1, viewHeap_->GetGPUDescriptorHandleForHeapStart());
}

void BitmapD3D12::recordCopy(ID3D12GraphicsCommandList* list, ID3D12Resource* target, const RectI& dst,
                             const SizeU& targetSize)
{
    recordUpload(list);
    const LONG left = std::max<LONG>(dst.left, 0);
    const LONG top = std::max<LONG>(dst.top, 0);
    const LONG right = std::min<LONG>(dst.right, static_cast<LONG>(targetSize.width));
    const LONG bottom = std::min<LONG>(dst.bottom, static_cast<LONG>(targetSize.height));
    if (left >= right || top >= bottom) {
        return;
    }
    const D3D12_BOX box = {static_cast<UINT>(left - dst.left),  static_cast<UINT>(top - dst.top),    0,
                           static_cast<UINT>(right - dst.left), static_cast<UINT>(bottom - dst.top), 1};
    transition(list, texture_.Get(), D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_SOURCE);
    transition(list, target, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_COPY_DEST);
    D3D12_TEXTURE_COPY_LOCATION to = {};
    to.pResource = target;
    to.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    D3D12_TEXTURE_COPY_LOCATION from = {};
    from.pResource = texture_.Get();
    from.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    list->CopyTextureRegion(&to, static_cast<UINT>(left), static_cast<UINT>(top), 0, &from, &box);
    transition(list, target, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_RENDER_TARGET);
    transition(list, texture_.Get(), D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
}

// --- RendererD3D12 ------------------------------------------------------------------------------

RendererD3D12::RendererD3D12(IDXGISwapChain* swapChain, CommandQueueLookup queueOf)
    : swapChain_(swapChain), queueOf_(std::move(queueOf))
{
    LOG_INFO(L"Create RendererD3D12: %0", static_cast<const void*>(this));
    device_ = d3d12DeviceOf(swapChain_);
    queue_ = queueOf_ ? queueOf_(swapChain_) : nullptr;
    if (!queue_) {
        throw std::runtime_error("Command queue of the swap chain is unknown");
    }
    submissions_ = std::make_shared<D3D12Submissions>(device_.Get());
    rootSignature_ = createRootSignature(device_.Get());
    vertexBuffer_ = createBuffer(device_.Get(), sizeof quads);
    void* mapped = nullptr;
    const D3D12_RANGE nothingRead = {0, 0};
    Err::throwIfFailed(vertexBuffer_->Map(0, &nothingRead, &mapped), "Failed to map vertex buffer");
    std::memcpy(mapped, quads, sizeof quads);
    vertexBuffer_->Unmap(0, nullptr);

    D3D12_DESCRIPTOR_HEAP_DESC heapDesc = {};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_RTV;
    heapDesc.NumDescriptors = maxBackBuffers;
    Err::throwIfFailed(device_->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&targetHeap_)),
                       "Failed to create descriptor heap");
    targetStride_ = device_->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    allocators_.resize(maxBackBuffers);
    allocatorUse_.assign(maxBackBuffers, 0);
    // Bitmaps take the back buffer's format from the start (see BitmapD3D12).
    DXGI_SWAP_CHAIN_DESC desc = {};
    Err::throwIfFailed(swapChain_->GetDesc(&desc), "Failed to get swap chain description");
    createPipelines(desc.BufferDesc.Format);
}

RendererD3D12::~RendererD3D12()
{
    LOG_INFO(L"Destroy RendererD3D12: %0", static_cast<const void*>(this));
    // Before the members go: the GPU may still use the lists, the allocators and the back buffer.
    submissions_->waitForAll();
}

bool RendererD3D12::usesDeviceOf(IDXGISwapChain* swapChain) const
{
    return device_.Get() == d3d12DeviceOf(swapChain).Get();
}

void RendererD3D12::setSwapChain(IDXGISwapChain* swapChain)
{
    if (swapChain == swapChain_) {
        return;
    }
    ComPtr<ID3D12CommandQueue> queue = queueOf_ ? queueOf_(swapChain) : nullptr;
    if (!queue) {
        throw std::runtime_error("Command queue of the swap chain is unknown");
    }
    if (queue != queue_) {
        // The fence counts submissions on one queue only.
        submissions_->waitForAll();
        queue_ = queue;
    }
    swapChain_ = swapChain;
}

std::shared_ptr<SwapChainRenderer> RendererD3D12::recreateFor(IDXGISwapChain* swapChain) const
{
    return std::make_shared<RendererD3D12>(swapChain, queueOf_);
}

void RendererD3D12::releaseBackBuffer()
{
    submissions_->waitForAll();
    backBuffer_.Reset();
}

void RendererD3D12::createPipelines(DXGI_FORMAT format)
{
    const D3D12_INPUT_ELEMENT_DESC solidLayout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D12_INPUT_CLASSIFICATION_PER_VERTEX_DATA, 0},
    };
    const D3D12_INPUT_ELEMENT_DESC texturedLayout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D12_INPUT_CLASSIFICATION_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 12, D3D12_INPUT_CLASSIFICATION_PER_VERTEX_DATA, 0},
    };
    D3D12_GRAPHICS_PIPELINE_STATE_DESC desc = {};
    desc.pRootSignature = rootSignature_.Get();
    desc.RasterizerState.FillMode = D3D12_FILL_MODE_SOLID;
    desc.RasterizerState.CullMode = D3D12_CULL_MODE_NONE;
    desc.RasterizerState.DepthClipEnable = TRUE;
    desc.BlendState.RenderTarget[0].RenderTargetWriteMask = D3D12_COLOR_WRITE_ENABLE_ALL;
    desc.SampleMask = UINT_MAX;
    desc.PrimitiveTopologyType = D3D12_PRIMITIVE_TOPOLOGY_TYPE_TRIANGLE;
    desc.NumRenderTargets = 1;
    desc.RTVFormats[0] = format;
    desc.SampleDesc = {1, 0};

    // The frame replaces the pixels it covers, its alpha ignored (as under Direct2D and Direct3D 11).
    desc.VS = {Shaders::texturedVertexShader, sizeof Shaders::texturedVertexShader};
    desc.PS = {Shaders::texturedPixelShader, sizeof Shaders::texturedPixelShader};
    desc.InputLayout = {texturedLayout, 2};
    ComPtr<ID3D12PipelineState> textured;
    Err::throwIfFailed(device_->CreateGraphicsPipelineState(&desc, IID_PPV_ARGS(&textured)),
                       "Failed to create pipeline state");

    // The fill colour blended by its alpha.
    D3D12_RENDER_TARGET_BLEND_DESC& blend = desc.BlendState.RenderTarget[0];
    blend.BlendEnable = TRUE;
    blend.SrcBlend = D3D12_BLEND_SRC_ALPHA;
    blend.DestBlend = D3D12_BLEND_INV_SRC_ALPHA;
    blend.BlendOp = D3D12_BLEND_OP_ADD;
    blend.SrcBlendAlpha = D3D12_BLEND_ONE;
    blend.DestBlendAlpha = D3D12_BLEND_ZERO;
    blend.BlendOpAlpha = D3D12_BLEND_OP_ADD;
    blend.LogicOp = D3D12_LOGIC_OP_NOOP;
    desc.VS = {Shaders::solidVertexShader, sizeof Shaders::solidVertexShader};
    desc.PS = {Shaders::solidPixelShader, sizeof Shaders::solidPixelShader};
    desc.InputLayout = {solidLayout, 1};
    ComPtr<ID3D12PipelineState> solid;
    Err::throwIfFailed(device_->CreateGraphicsPipelineState(&desc, IID_PPV_ARGS(&solid)),
                       "Failed to create pipeline state");

    solidPipeline_ = solid;
    texturedPipeline_ = textured;
    pipelineFormat_ = format;
}

void RendererD3D12::beginDraw()
{
    if (backBuffer_) {
        throw std::logic_error("RendererD3D12: beginDraw twice");
    }
    ComPtr<IDXGISwapChain3> swapChain3;
    Err::throwIfFailed(swapChain_->QueryInterface(IID_PPV_ARGS(&swapChain3)), "Failed to get IDXGISwapChain3");
    DXGI_SWAP_CHAIN_DESC desc = {};
    Err::throwIfFailed(swapChain_->GetDesc(&desc), "Failed to get swap chain description");
    if (desc.BufferDesc.Format != pipelineFormat_) {
        createPipelines(desc.BufferDesc.Format);
    }
    const UINT index = swapChain3->GetCurrentBackBufferIndex();
    if (index >= maxBackBuffers) {
        throw std::runtime_error("Back buffer index out of range");
    }
    ComPtr<ID3D12Resource> backBuffer;
    Err::throwIfFailed(swapChain_->GetBuffer(index, IID_PPV_ARGS(&backBuffer)),
                       "Failed to get back buffer from SwapChain");
    ComPtr<ID3D12CommandAllocator>& allocator = allocators_[index];
    if (!allocator) {
        Err::throwIfFailed(device_->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator)),
                           "Failed to create command allocator");
    }
    submissions_->waitFor(allocatorUse_[index]);
    Err::throwIfFailed(allocator->Reset(), "Failed to reset command allocator");
    if (!list_) {
        Err::throwIfFailed(device_->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocator.Get(), nullptr,
                                                      IID_PPV_ARGS(&list_)),
                           "Failed to create command list");
    } else {
        Err::throwIfFailed(list_->Reset(allocator.Get(), nullptr), "Failed to reset command list");
    }
    D3D12_CPU_DESCRIPTOR_HANDLE target = targetHeap_->GetCPUDescriptorHandleForHeapStart();
    target.ptr += size_t(index) * targetStride_;
    device_->CreateRenderTargetView(backBuffer.Get(), nullptr, target);

    transition(list_.Get(), backBuffer.Get(), D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET);
    list_->OMSetRenderTargets(1, &target, FALSE, nullptr);
    list_->SetGraphicsRootSignature(rootSignature_.Get());
    list_->IASetPrimitiveTopology(D3D_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    const D3D12_RECT scissor = {0, 0, static_cast<LONG>(desc.BufferDesc.Width),
                                static_cast<LONG>(desc.BufferDesc.Height)};
    list_->RSSetScissorRects(1, &scissor);
    backBuffer_ = backBuffer;
    backBufferIndex_ = index;
    backBufferSize_ = {desc.BufferDesc.Width, desc.BufferDesc.Height};
}

void RendererD3D12::endDraw()
{
    if (!backBuffer_) {
        return;  // beginDraw failed before recording anything
    }
    const ComPtr<ID3D12Resource> backBuffer = std::move(backBuffer_);
    transition(list_.Get(), backBuffer.Get(), D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT);
    Err::throwIfFailed(list_->Close(), "Failed to close command list");
    ID3D12CommandList* lists[] = {list_.Get()};
    queue_->ExecuteCommandLists(1, lists);
    allocatorUse_[backBufferIndex_] = submissions_->signal(queue_.Get());
}

std::shared_ptr<Bitmap> RendererD3D12::createBitmap(const SizeU& size)
{
    return std::make_shared<BitmapD3D12>(size, device_.Get(), submissions_, pipelineFormat_);
}

void RendererD3D12::setViewport(const RectI& dst)
{
    const D3D12_VIEWPORT viewport = viewportOver<D3D12_VIEWPORT>(dst);
    list_->RSSetViewports(1, &viewport);
}

void RendererD3D12::drawBitmap(Bitmap& bitmap, const RectI& dst)
{
    auto& bitmap12 = dynamic_cast<BitmapD3D12&>(bitmap);
    if (!backBuffer_) {
        throw std::logic_error("RendererD3D12: drawing outside beginDraw and endDraw");
    }
    if (bitmap12.submissions() != submissions_.get()) {
        throw std::logic_error("BitmapD3D12 of another renderer");
    }
    if (dst.width() == int32_t(bitmap12.size().width) && dst.height() == int32_t(bitmap12.size().height) &&
        bitmap12.format() == pipelineFormat_) {
        // Drawn at its own size and opaque: a copy is exact and needs no pipeline.
        bitmap12.recordCopy(list_.Get(), backBuffer_.Get(), dst, backBufferSize_);
        return;
    }
    bitmap12.record(list_.Get());
    list_->SetPipelineState(texturedPipeline_.Get());
    const D3D12_VERTEX_BUFFER_VIEW vertices = {vertexBuffer_->GetGPUVirtualAddress() + solidBytes,
                                               sizeof quads - solidBytes, texturedStride};
    list_->IASetVertexBuffers(0, 1, &vertices);
    setViewport(dst);
    list_->DrawInstanced(4, 1, 0, 0);
}

void RendererD3D12::fillRect(const RectI& dst, const ColorF& color)
{
    if (!backBuffer_) {
        throw std::logic_error("RendererD3D12: drawing outside beginDraw and endDraw");
    }
    const float rgba[4] = {color.r, color.g, color.b, color.a};
    list_->SetPipelineState(solidPipeline_.Get());
    list_->SetGraphicsRoot32BitConstants(0, 4, rgba, 0);
    const D3D12_VERTEX_BUFFER_VIEW vertices = {vertexBuffer_->GetGPUVirtualAddress(), solidBytes, solidStride};
    list_->IASetVertexBuffers(0, 1, &vertices);
    setViewport(dst);
    list_->DrawInstanced(4, 1, 0, 0);
}

}  // namespace Overlay::Rendering
