#pragma once
// Shared by the graphics tests: real windows, devices and swap chains, reading back what was drawn,
// minimal shaders for every stage, and a log file to read lines back from.

#include <d3d11.h>
#include <dxgi.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

namespace GraphicsTest {

using Microsoft::WRL::ComPtr;

struct Rgba
{
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    uint8_t a = 0;
};

std::string describe(const Rgba& pixel);
// True when every colour channel differs by at most `tolerance` (alpha is not compared).
bool closeTo(const Rgba& actual, const Rgba& expected, int tolerance);

struct Image
{
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<Rgba> pixels;

    const Rgba& at(uint32_t x, uint32_t y) const { return pixels[size_t(y) * width + x]; }
};

// A hidden top-level window with the given client size, destroyed with the object.
class TestWindow
{
public:
    TestWindow(uint32_t width, uint32_t height, const wchar_t* title = L"graphics test");
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;
    HWND handle() const { return window_; }

private:
    HWND window_ = nullptr;
};

struct SwapChainOptions
{
    uint32_t width = 256;
    uint32_t height = 192;
    DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM;
    UINT deviceFlags = D3D11_CREATE_DEVICE_BGRA_SUPPORT;
    D3D_FEATURE_LEVEL featureLevel = D3D_FEATURE_LEVEL_11_0;
    DXGI_SWAP_EFFECT swapEffect = DXGI_SWAP_EFFECT_DISCARD;
    UINT bufferCount = 1;
};

// A window with a swap chain on a new hardware device.
struct TestSwapChain
{
    explicit TestSwapChain(const SwapChainOptions& options = SwapChainOptions());
    // Another window with a swap chain on the device of `other`.
    TestSwapChain(const TestSwapChain& other, uint32_t width, uint32_t height);

    TestWindow window;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<IDXGISwapChain> swapChain;
};

// A host frame whose every pixel differs from its neighbours (B, G, R, A bytes); alpha varies too.
std::vector<uint8_t> pattern(uint32_t width, uint32_t height, uint8_t seed);
// The colour of its pixel (x, y), alpha 255.
Rgba patternPixel(uint32_t x, uint32_t y, uint8_t seed);

// 40 % of a colour, as the overlay's darkening leaves it.
Rgba dimmed(const Rgba& color);

// Fills back buffer 0 with a colour (0..255 per channel).
void clearBackBuffer(IDXGISwapChain* swapChain, const Rgba& color);
// Copies back buffer 0 to a staging texture and reads it (R8G8B8A8 and B8G8R8A8 formats).
Image readBackBuffer(IDXGISwapChain* swapChain);

// Minimal valid shaders of each stage, assembled by hand (Wine's compiler makes no hull, domain or
// geometry shaders). They declare what the stage needs and return.
std::vector<unsigned char> minimalGeometryShader();
std::vector<unsigned char> minimalHullShader();
std::vector<unsigned char> minimalDomainShader();

// The reference count of a COM object, read without changing it.
ULONG refCount(IUnknown* object);

// Logging into a file in a fresh temporary folder for the object's life (initialises the log core).
class LogFileCapture
{
public:
    LogFileCapture();
    ~LogFileCapture();
    LogFileCapture(const LogFileCapture&) = delete;
    LogFileCapture& operator=(const LogFileCapture&) = delete;

    struct Line
    {
        std::string level;    // "DEBUG", "INFO", ...
        std::string message;  // UTF-8
    };
    // The lines written so far (the file's header and status lines included).
    std::vector<Line> lines() const;
    // Their messages.
    std::vector<std::string> messages() const;
    // How many messages equal `message` / start with `prefix`.
    size_t count(const std::string& message) const;
    size_t countPrefix(const std::string& prefix) const;

private:
    std::wstring folder_;
};

}  // namespace GraphicsTest
