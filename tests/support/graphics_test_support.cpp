#include "graphics_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace GraphicsTest {
namespace {

struct BackBuffer
{
    explicit BackBuffer(IDXGISwapChain* swapChain)
    {
        check(swapChain->GetDevice(IID_PPV_ARGS(&device)), "GetDevice");
        device->GetImmediateContext(&context);
        check(swapChain->GetBuffer(0, IID_PPV_ARGS(&texture)), "GetBuffer");
    }

    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<ID3D11Texture2D> texture;
};

}  // namespace

void check(HRESULT hr, const char* call)
{
    if (FAILED(hr)) {
        char text[128];
        std::snprintf(text, sizeof text, "%s failed: 0x%08lX", call, static_cast<unsigned long>(hr));
        throw std::runtime_error(text);
    }
}

std::string describe(const Rgba& pixel)
{
    char text[64];
    std::snprintf(text, sizeof text, "(%u, %u, %u, %u)", pixel.r, pixel.g, pixel.b, pixel.a);
    return text;
}

bool closeTo(const Rgba& actual, const Rgba& expected, int tolerance)
{
    return std::abs(actual.r - expected.r) <= tolerance && std::abs(actual.g - expected.g) <= tolerance &&
           std::abs(actual.b - expected.b) <= tolerance;
}

Rgba dimmed(const Rgba& color)
{
    auto channel = [](uint8_t value) { return static_cast<uint8_t>(value * 0.4f + 0.5f); };
    return {channel(color.r), channel(color.g), channel(color.b), color.a};
}

std::string wrongPixels(const Image& image, const std::function<ExpectedPixel(uint32_t x, uint32_t y)>& expected)
{
    size_t wrong = 0;
    std::string first;
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            const ExpectedPixel want = expected(x, y);
            if (!closeTo(image.at(x, y), want.color, want.tolerance) && wrong++ == 0) {
                first = "(" + std::to_string(x) + ", " + std::to_string(y) + "): " + describe(image.at(x, y)) +
                        " instead of " + describe(want.color);
            }
        }
    }
    return wrong ? std::to_string(wrong) + " wrong pixels, the first " + first : std::string();
}

TestSwapChain::TestSwapChain(uint32_t width, uint32_t height, decltype(&D3D11CreateDeviceAndSwapChain) create)
{
    static const wchar_t className[] = L"GraphicsTestWindow";
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass);
    RECT frame = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    // Not shown: under Wine without a window manager, destroying a shown window waits two seconds.
    window = CreateWindowExW(0, className, L"graphics test", WS_OVERLAPPEDWINDOW, 0, 0, frame.right - frame.left,
                             frame.bottom - frame.top, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window) {
        throw std::runtime_error("CreateWindowExW failed");
    }
    DXGI_SWAP_CHAIN_DESC desc = {};
    desc.BufferDesc = {width, height, {60, 1}, DXGI_FORMAT_R8G8B8A8_UNORM};
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 1;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    const HRESULT hr = create(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, &level, 1,
                              D3D11_SDK_VERSION, &desc, &swapChain, &device, nullptr, &context);
    if (FAILED(hr)) {
        DestroyWindow(window);
        check(hr, "D3D11CreateDeviceAndSwapChain");
    }
}

TestSwapChain::~TestSwapChain()
{
    swapChain.Reset();
    DestroyWindow(window);
}

std::vector<uint8_t> pattern(uint32_t width, uint32_t height, uint8_t seed)
{
    std::vector<uint8_t> bgra(size_t(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = &bgra[(size_t(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(x * 3 + seed);
            p[1] = static_cast<uint8_t>(y * 5 + seed * 2);
            p[2] = static_cast<uint8_t>((x + y) * 2 + 31 * seed);
            p[3] = static_cast<uint8_t>((x * 7) ^ y);
        }
    }
    return bgra;
}

Rgba patternPixel(uint32_t x, uint32_t y, uint8_t seed)
{
    return {static_cast<uint8_t>((x + y) * 2 + 31 * seed), static_cast<uint8_t>(y * 5 + seed * 2),
            static_cast<uint8_t>(x * 3 + seed), 255};
}

TestHost::TestHost(const Overlay::Ipc::SharedRect& rect, std::shared_ptr<Overlay::Ipc::SharedOverlay> shared)
    : sharedOverlay(std::move(shared)), overlay(Overlay::Host::HostOverlay::open(sharedOverlay->name())),
      window(Overlay::Host::HostWindow::create(rect)), buffer(Overlay::Host::HostFrameBuffer::create(256 * 256))
{
}

void TestHost::publish(uint32_t width, uint32_t height, uint8_t seed, bool dirty)
{
    const auto pixels = pattern(width, height, seed);
    {
        const auto lock = window->lock();
        buffer->write(width, height, pixels.data(), width * 4);
        buffer->setDirty(dirty);
        window->setFrameBuffer(buffer->id());
    }
    overlay->showWindow(window->id());
}

void clearBackBuffer(IDXGISwapChain* swapChain, const Rgba& color)
{
    const BackBuffer back(swapChain);
    ComPtr<ID3D11RenderTargetView> view;
    check(back.device->CreateRenderTargetView(back.texture.Get(), nullptr, &view), "CreateRenderTargetView");
    const float rgba[4] = {color.r / 255.0f, color.g / 255.0f, color.b / 255.0f, color.a / 255.0f};
    back.context->ClearRenderTargetView(view.Get(), rgba);
}

Image readBackBuffer(IDXGISwapChain* swapChain)
{
    const BackBuffer back(swapChain);
    D3D11_TEXTURE2D_DESC desc = {};
    back.texture->GetDesc(&desc);
    if (desc.Format != DXGI_FORMAT_R8G8B8A8_UNORM) {
        throw std::runtime_error("readBackBuffer: unsupported back-buffer format");
    }
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    check(back.device->CreateTexture2D(&desc, nullptr, &staging), "CreateTexture2D(staging)");
    back.context->CopyResource(staging.Get(), back.texture.Get());
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    check(back.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped), "Map(staging)");
    Image image;
    image.width = desc.Width;
    image.height = desc.Height;
    for (uint32_t y = 0; y < desc.Height; ++y) {
        const auto* row = static_cast<const uint8_t*>(mapped.pData) + size_t(y) * mapped.RowPitch;
        for (uint32_t x = 0; x < desc.Width; ++x) {
            const uint8_t* p = row + size_t(x) * 4;
            image.pixels.push_back(Rgba{p[0], p[1], p[2], p[3]});
        }
    }
    back.context->Unmap(staging.Get(), 0);
    return image;
}

size_t count(const LogTest::LogCapture& log, const std::wstring& text, bool prefix)
{
    const auto messages = log.messages();
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](const std::wstring& message) {
        return prefix ? message.compare(0, text.size(), text) == 0 : message == text;
    }));
}

}  // namespace GraphicsTest
