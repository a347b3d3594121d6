// RendererD3D12 composing into a real Direct3D 12 swap chain (vkd3d under Wine), read back from the
// back buffer before Present: the game's picture darkened to 40 %, the host's frame at its place, a
// clean frame not uploaded, frames in flight on every back buffer; and the back buffer's state
// handed on from the game's command list to ours and from ours to Present.
#include "d3d12_read_back.h"

#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace GraphicsTest;
using Overlay::Ipc::SharedRect;
using Overlay::Rendering::RectI;
using Overlay::Rendering::RendererD3D12;
using Overlay::Rendering::SizeU;

const RectI placed = {40, 30, 136, 94};

// Every transition recorded into a command list of the process, in order: the runtime's
// ResourceBarrier is hooked, as vkd3d draws the same picture whatever state a back buffer is left in.
std::vector<D3D12_RESOURCE_TRANSITION_BARRIER> transitions;
Overlay::HookRecord* runtimeBarrier = nullptr;

void STDMETHODCALLTYPE recordingBarrier(ID3D12GraphicsCommandList* list, UINT count,
                                        const D3D12_RESOURCE_BARRIER* barriers)
{
    for (UINT i = 0; i < count; ++i) {
        if (barriers[i].Type == D3D12_RESOURCE_BARRIER_TYPE_TRANSITION) {
            transitions.push_back(barriers[i].Transition);
        }
    }
    runtimeBarrier->real<decltype(&recordingBarrier)>()(list, count, barriers);
}

std::unique_ptr<Overlay::HookRecord> hookBarriers(ID3D12Device* device)
{
    ComPtr<ID3D12CommandAllocator> allocator;
    check(device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator)), "allocator");
    ComPtr<ID3D12GraphicsCommandList> list;
    check(device->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocator.Get(), nullptr, IID_PPV_ARGS(&list)),
          "CreateCommandList");
    void* const* table = *reinterpret_cast<void* const* const*>(list.Get());  // ResourceBarrier is entry 26
    auto record =
        Overlay::makeUniqueHookRecord(table[26], Overlay::codeAddress(&recordingBarrier), "runtime ResourceBarrier");
    runtimeBarrier = record.get();
    Overlay::hook({record.get()});
    check(Overlay::allHooked({record.get()}) ? S_OK : E_FAIL, "hook ResourceBarrier");
    return record;
}

// The transitions recorded that do not start from the state their resource is in,
// all command lists together (each is executed as soon as it is recorded here): a back buffer is in the
// present state outside a list, any other resource in the state its first transition leaves it.
std::string brokenTransitions(IDXGISwapChain* swapChain)
{
    DXGI_SWAP_CHAIN_DESC desc = {};
    check(swapChain->GetDesc(&desc), "GetDesc");
    std::vector<ComPtr<ID3D12Resource>> buffers(desc.BufferCount);
    std::map<ID3D12Resource*, D3D12_RESOURCE_STATES> states;
    for (UINT i = 0; i < desc.BufferCount; ++i) {
        check(swapChain->GetBuffer(i, IID_PPV_ARGS(&buffers[i])), "GetBuffer");
        states[buffers[i].Get()] = D3D12_RESOURCE_STATE_PRESENT;
    }
    std::string errors = transitions.empty() ? "no transition recorded; " : "";
    for (const D3D12_RESOURCE_TRANSITION_BARRIER& transition : transitions) {
        const auto known = states.find(transition.pResource);
        if (known != states.end() && known->second != transition.StateBefore) {
            errors += "transition from state " + std::to_string(transition.StateBefore) + " of a resource in state " +
                      std::to_string(known->second) + "; ";
        }
        states[transition.pResource] = transition.StateAfter;
    }
    for (const auto& buffer : buffers) {
        if (states[buffer.Get()] != D3D12_RESOURCE_STATE_PRESENT) {
            errors += "back buffer left in state " + std::to_string(states[buffer.Get()]) + "; ";
        }
    }
    return errors;
}

Demo12::Options options()
{
    Demo12::Options options = hiddenGame<Demo12::Options>(256, 192);
    options.bufferCount = 3;
    return options;
}

class D3D12Composition : public ::testing::Test
{
protected:
    D3D12Composition()
        : game(options()), host(SharedRect{placed.left, placed.top, placed.right, placed.bottom}),
          overlay(host.sharedOverlay, SizeU{256, 192}, nullptr)
    {
        renderer = std::make_shared<RendererD3D12>(
            game.swapChain(), [this](IDXGISwapChain*) { return ComPtr<ID3D12CommandQueue>(game.queue()); });
        game.beforePresent = [this] {
            overlay.setRenderer(renderer);
            overlay.draw();
            image = D3D12Test::readBackBuffer(game);
            frame = game.frameCount();
        };
    }

    // Inside `rect` the host's pattern `seed`, elsewhere the game's background darkened (the bars at
    // the bottom move, they are not compared); and no broken transition in the frame.
    std::string drawAndCheck(const RectI* rect, uint8_t seed)
    {
        transitions.clear();
        EXPECT_EQ(game.renderFrame(), S_OK);
        const uint32_t barsTop = game.barsTop();
        const std::string pixels = wrongPixels(image, [&](uint32_t x, uint32_t y) -> ExpectedPixel {
            if (rect && contains(*rect, x, y)) {
                return {patternPixel(x - rect->left, y - rect->top, seed), 1};
            }
            if (y >= barsTop) {
                return {image.at(x, y), 0};
            }
            return {dimmed(backgroundOf<Demo12::DemoGame>(frame)), 2};
        });
        return brokenTransitions(game.swapChain()) + pixels;
    }

    LogTest::LogCapture log;
    Demo12::DemoGame game;
    const std::unique_ptr<Overlay::HookRecord> barrierHook = hookBarriers(game.device());
    TestHost host;
    Overlay::Rendering::RenderOverlay overlay;
    std::shared_ptr<RendererD3D12> renderer;
    Image image;
    uint64_t frame = 0;
};

TEST_F(D3D12Composition, HostFrameOverTheDarkenedGameUploadedOnlyWhenDirty)
{
    EXPECT_EQ(drawAndCheck(nullptr, 0), "") << "window id zero: only the darkening";
    host.publish(96, 64, 1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(drawAndCheck(&placed, 1), "") << "frame " << i << ": every back buffer, allocators reused";
    }
    host.publish(96, 64, 2, false);
    EXPECT_EQ(drawAndCheck(&placed, 1), "") << "a clean frame is not uploaded";
    {
        const auto lock = host.window->lock();
        host.buffer->setDirty(true);
    }
    EXPECT_EQ(drawAndCheck(&placed, 2), "");
    EXPECT_EQ(countPrefix(log, L"Create BitmapD3D12: "), 1u) << "the bitmap is reused while the size stays";

    // A new renderer (as after a device loss) uploads into a bitmap of its own; the old one waits for
    // the GPU before it lets go of anything.
    renderer = std::make_shared<RendererD3D12>(
        game.swapChain(), [this](IDXGISwapChain*) { return ComPtr<ID3D12CommandQueue>(game.queue()); });
    EXPECT_EQ(drawAndCheck(&placed, 2), "");
    EXPECT_EQ(countPrefix(log, L"Create BitmapD3D12: "), 2u);
}

TEST_F(D3D12Composition, ResizedBuffersAndABitmapFromRowsOfAnyPitch)
{
    game.requestResize(200, 150);
    host.publish(96, 64, 4);
    overlay.setSurfaceSize(SizeU{200, 150});
    EXPECT_EQ(drawAndCheck(&placed, 4), "");
    EXPECT_EQ(game.lastResizeResult(), S_OK) << "no reference to a back buffer is kept between frames";
    EXPECT_EQ(image.width, 200u);

    auto bitmap = renderer->createBitmap(SizeU{16, 8});
    std::vector<uint8_t> rows(size_t(16 * 4 + 12) * 8);
    bitmap->update(rows.data(), 16 * 4 + 12, nullptr);
    const RectI part = {0, 0, 4, 4};
    EXPECT_THROW(bitmap->update(rows.data(), 16 * 4, &part), std::logic_error);
    EXPECT_THROW(renderer->drawBitmap(*bitmap, part), std::logic_error) << "outside beginDraw and endDraw";
}

}  // namespace
