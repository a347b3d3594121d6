#include "d3d12_read_back.h"

#include <cstring>

namespace D3D12Test {

using GraphicsTest::check;
using Microsoft::WRL::ComPtr;

GraphicsTest::Image readBackBuffer(Demo12::DemoGame& game)
{
    ID3D12Device* device = game.device();
    ComPtr<ID3D12Resource> buffer;
    check(game.swapChain()->GetBuffer(game.swapChain()->GetCurrentBackBufferIndex(), IID_PPV_ARGS(&buffer)),
          "GetBuffer");
    const D3D12_RESOURCE_DESC desc = buffer->GetDesc();
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT footprint = {};
    UINT64 bytes = 0;
    device->GetCopyableFootprints(&desc, 0, 1, 0, &footprint, nullptr, nullptr, &bytes);

    D3D12_HEAP_PROPERTIES heap = {};
    heap.Type = D3D12_HEAP_TYPE_READBACK;
    D3D12_RESOURCE_DESC bufferDesc = {};
    bufferDesc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    bufferDesc.Width = bytes;
    bufferDesc.Height = bufferDesc.DepthOrArraySize = bufferDesc.MipLevels = 1;
    bufferDesc.SampleDesc = {1, 0};
    bufferDesc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    ComPtr<ID3D12Resource> readBack;
    check(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &bufferDesc, D3D12_RESOURCE_STATE_COPY_DEST,
                                          nullptr, IID_PPV_ARGS(&readBack)),
          "CreateCommittedResource");
    ComPtr<ID3D12CommandAllocator> allocator;
    check(device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator)), "allocator");
    ComPtr<ID3D12GraphicsCommandList> list;
    check(device->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocator.Get(), nullptr, IID_PPV_ARGS(&list)),
          "CreateCommandList");
    D3D12_RESOURCE_BARRIER barrier = {};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition.pResource = buffer.Get();
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = D3D12_RESOURCE_STATE_PRESENT;
    barrier.Transition.StateAfter = D3D12_RESOURCE_STATE_COPY_SOURCE;
    list->ResourceBarrier(1, &barrier);
    D3D12_TEXTURE_COPY_LOCATION to = {};
    to.pResource = readBack.Get();
    to.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    to.PlacedFootprint = footprint;
    D3D12_TEXTURE_COPY_LOCATION from = {};
    from.pResource = buffer.Get();
    from.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    list->CopyTextureRegion(&to, 0, 0, 0, &from, nullptr);
    std::swap(barrier.Transition.StateBefore, barrier.Transition.StateAfter);
    list->ResourceBarrier(1, &barrier);
    check(list->Close(), "Close");
    ID3D12CommandList* lists[] = {list.Get()};
    game.queue()->ExecuteCommandLists(1, lists);
    game.waitForGpu();

    GraphicsTest::Image image;
    image.width = static_cast<uint32_t>(desc.Width);
    image.height = desc.Height;
    image.pixels.resize(size_t(image.width) * image.height);
    void* mapped = nullptr;
    const D3D12_RANGE all = {0, static_cast<SIZE_T>(bytes)};
    check(readBack->Map(0, &all, &mapped), "Map");
    for (uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(&image.pixels[size_t(y) * image.width],
                    static_cast<const uint8_t*>(mapped) + footprint.Offset + size_t(y) * footprint.Footprint.RowPitch,
                    size_t(image.width) * 4);
    }
    const D3D12_RANGE nothing = {0, 0};
    readBack->Unmap(0, &nothing);
    return image;
}

}  // namespace D3D12Test
