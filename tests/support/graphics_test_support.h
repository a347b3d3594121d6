#pragma once
// Shared by the graphics tests: real windows, devices and swap chains, reading back what was drawn,
// a host showing frames of a known pattern, log counts.

#include "host_sdk/shared_blocks.h"
#include "log_capture.h"
#include "overlay/overlay_client/impl/rendering/renderer.h"

#include <d3d11.h>
#include <dxgi.h>
#include <windows.h>
#include <wrl/client.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace GraphicsTest {

using Microsoft::WRL::ComPtr;

// Throws std::runtime_error naming the call when `hr` is a failure.
void check(HRESULT hr, const char* call = "a Direct3D call");

struct Rgba
{
    uint8_t r = 0, g = 0, b = 0, a = 0;
};

std::string describe(const Rgba& pixel);
// True when every colour channel differs by at most `tolerance` (alpha is not compared).
bool closeTo(const Rgba& actual, const Rgba& expected, int tolerance);
// 40 % of a colour, as the overlay's darkening leaves it.
Rgba dimmed(const Rgba& color);

struct Image
{
    uint32_t width = 0, height = 0;
    std::vector<Rgba> pixels;

    const Rgba& at(uint32_t x, uint32_t y) const { return pixels[size_t(y) * width + x]; }
};

struct ExpectedPixel
{
    Rgba color;
    int tolerance;
};
// Compares every pixel of `image` with `expected(x, y)`: empty when all match, else the count of
// wrong pixels and the first of them.
std::string wrongPixels(const Image& image, const std::function<ExpectedPixel(uint32_t x, uint32_t y)>& expected);

// A demo game's clear colour of a frame (Demo:: or Demo12::DemoGame), as bytes.
template <class Game>
Rgba backgroundOf(uint64_t frame)
{
    float rgba[4];
    Game::clearColor(frame, rgba);
    auto channel = [](float value) { return static_cast<uint8_t>(std::lround(value * 255)); };
    return {channel(rgba[0]), channel(rgba[1]), channel(rgba[2]), 255};
}

// The reference count of a COM object, read without changing it.
inline ULONG references(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// Options of a hidden demo game (Demo::, Demo9:: or Demo12::Options) presenting without waiting.
template <class Options>
Options hiddenGame(uint32_t width, uint32_t height)
{
    Options options;
    options.width = width;
    options.height = height;
    options.syncInterval = 0;
    options.hidden = true;
    return options;
}

// Pumps a demo game's messages and renders `count` frames, each presenting; the first result that
// is not S_OK ends it and is returned.
template <class Game>
HRESULT renderFrames(Game& game, int count)
{
    for (int i = 0; i < count; ++i) {
        game.pumpMessages();
        const HRESULT result = game.renderFrame();
        if (result != S_OK)
            return result;
    }
    return S_OK;
}

inline bool contains(const Overlay::Rendering::RectI& rect, uint32_t x, uint32_t y)
{
    return int32_t(x) >= rect.left && int32_t(x) < rect.right && int32_t(y) >= rect.top && int32_t(y) < rect.bottom;
}

// A hidden window with a swap chain (one R8G8B8A8 buffer, windowed, blit discard) on a new hardware
// device with Direct2D support, made by `create`.
struct TestSwapChain
{
    TestSwapChain(uint32_t width, uint32_t height,
                  decltype(&D3D11CreateDeviceAndSwapChain) create = &D3D11CreateDeviceAndSwapChain);
    ~TestSwapChain();
    TestSwapChain(const TestSwapChain&) = delete;
    TestSwapChain& operator=(const TestSwapChain&) = delete;

    HWND window = nullptr;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<IDXGISwapChain> swapChain;
};

// A host frame whose every pixel differs from its neighbours (B, G, R, A bytes); alpha varies too.
std::vector<uint8_t> pattern(uint32_t width, uint32_t height, uint8_t seed);
// The colour of its pixel (x, y), alpha 255.
Rgba patternPixel(uint32_t x, uint32_t y, uint8_t seed);

// A host with one window at `rect` in a client's overlay block (a new one unless given).
struct TestHost
{
    explicit TestHost(const Overlay::Ipc::SharedRect& rect,
                      std::shared_ptr<Overlay::Ipc::SharedOverlay> shared = Overlay::Ipc::SharedOverlay::create());
    // Writes a frame of pattern `seed` into the window's buffer, marked dirty or not, and shows the window.
    void publish(uint32_t width, uint32_t height, uint8_t seed, bool dirty = true);

    std::shared_ptr<Overlay::Ipc::SharedOverlay> sharedOverlay;
    std::unique_ptr<Overlay::Host::HostOverlay> overlay;
    std::unique_ptr<Overlay::Host::HostWindow> window;
    std::unique_ptr<Overlay::Host::HostFrameBuffer> buffer;
};

// The host's overlay and window mutexes held by another thread for this object's life, as a hung
// host holds them. `Host` has the blocks as `overlay` and `window` (TestHost, the benches' host).
class HostMutexesHeld
{
public:
    template <class Host>
    explicit HostMutexesHeld(Host& host)
        : holder_([this, overlay = host.overlay.get(), window = host.window.get()] {
              const auto overlayLock = overlay->lock();
              const auto windowLock = window->lock();
              held_.set_value();
              release_.get_future().wait();
          })
    {
        held_.get_future().wait();
    }
    ~HostMutexesHeld()
    {
        release_.set_value();
        holder_.join();
    }
    HostMutexesHeld(const HostMutexesHeld&) = delete;
    HostMutexesHeld& operator=(const HostMutexesHeld&) = delete;

private:
    std::promise<void> held_;
    std::promise<void> release_;
    std::thread holder_;  // last: started once the promises exist
};

// Fills back buffer 0 with a colour.
void clearBackBuffer(IDXGISwapChain* swapChain, const Rgba& color);
// Copies back buffer 0 (R8G8B8A8) to a staging texture and reads it.
Image readBackBuffer(IDXGISwapChain* swapChain);

// How many logged messages equal `text`, or start with it.
size_t count(const LogTest::LogCapture& log, const std::wstring& text, bool prefix = false);
inline size_t countPrefix(const LogTest::LogCapture& log, const std::wstring& prefix)
{
    return count(log, prefix, true);
}

}  // namespace GraphicsTest
