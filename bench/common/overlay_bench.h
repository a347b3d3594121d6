#pragma once

// Set-up shared by the graphics benchmarks (header only): the hidden overlay's listener, hook records
// timed detached against attached, a host showing a full-screen frame, and memcpy as the upload's
// baseline.

#include "common/bench_util.h"
#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace Bench {

// What the overlay client does on a frame while the overlay is hidden: look at its flag.
class HiddenOverlayListener : public Overlay::GraphicDeviceHookListener
{
public:
    void onPresent(Overlay::GraphicApi&) override
    {
        if (shown.load(std::memory_order_acquire)) {
            ++drawn;
        }
    }

    std::atomic<bool> shown{false};
    int drawn = 0;
};

// Seconds per call of `body` (which makes `calls` calls) with the hook records detached and attached:
// `rounds` alternating rounds, each the best of `best` runs, the best round kept.
inline std::pair<double, double> detachedAndAttached(const Overlay::HookList& hooks, int calls,
                                                     const std::function<void()>& body, int rounds = 3, int best = 3)
{
    double detached = 1e30;
    double attached = 1e30;
    for (int round = 0; round < rounds; ++round) {
        detached = std::min(detached, bestOf(best, body) / calls);
        Overlay::hook(hooks);
        attached = std::min(attached, bestOf(best, body) / calls);
        Overlay::unhook(hooks);
    }
    return {detached, attached};
}

// A host showing one window of `width` x `height` with a frame of varied bytes.
struct FullScreenHost
{
    FullScreenHost(uint32_t width, uint32_t height)
        : sharedOverlay(Overlay::Ipc::SharedOverlay::create()),
          overlay(Overlay::Host::HostOverlay::open(sharedOverlay->name())),
          window(Overlay::Host::HostWindow::create({0, 0, int32_t(width), int32_t(height)})),
          frameBuffer(Overlay::Host::HostFrameBuffer::create(width * height)), picture(size_t(width) * height * 4)
    {
        for (size_t i = 0; i < picture.size(); ++i) {
            picture[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
        }
        window->publishFrame(*frameBuffer, width, height, picture.data(), width * 4);
        overlay->showWindow(window->id());
    }

    // As after the host wrote a new frame.
    void markDirty()
    {
        const auto lock = window->lock();
        frameBuffer->setDirty(true);
    }

    std::shared_ptr<Overlay::Ipc::SharedOverlay> sharedOverlay;
    std::unique_ptr<Overlay::Host::HostOverlay> overlay;
    std::unique_ptr<Overlay::Host::HostWindow> window;
    std::unique_ptr<Overlay::Host::HostFrameBuffer> frameBuffer;
    std::vector<uint8_t> picture;
};

// memcpy of `bytes`, the upload's baseline: into a warm destination and into one the cache has not
// seen lately (as an upload's is), in seconds.
struct MemcpyBaseline
{
    explicit MemcpyBaseline(const std::vector<uint8_t>& bytes)
    {
        std::vector<uint8_t> target(bytes.size());
        warm = bestOf(21, [&] {
            std::memcpy(target.data(), bytes.data(), bytes.size());
            // Keeps the copy from being optimised away.
            target[target.size() / 3] ^= 1;
        });
        std::vector<std::vector<uint8_t>> ring(8, std::vector<uint8_t>(bytes.size(), 1));
        size_t next = 0;
        cold = bestOf(21, [&] { std::memcpy(ring[next++ % ring.size()].data(), bytes.data(), bytes.size()); });
    }

    double warm = 0;
    double cold = 0;

    // The line the graphics benches print for the upload of `bytes` that took `upload` seconds.
    void print(size_t bytes, double upload) const
    {
        std::printf("upload of one dirty frame (%.1f MB): %.2f ms, memcpy of the same bytes %.2f ms (cache-cold "
                    "destination %.2f ms): upload speed %.2f of memcpy (target >= 0.7), %.2f of the cache-cold "
                    "memcpy\n",
                    double(bytes) / 1e6, upload * 1e3, warm * 1e3, cold * 1e3, warm / upload, cold / upload);
    }
};

}  // namespace Bench
