#include "graphics_test_support.h"

#include "dxbc_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace GraphicsTest {
namespace {

void check(HRESULT hr, const char* call)
{
    if (FAILED(hr)) {
        char text[128];
        std::snprintf(text, sizeof text, "%s failed: 0x%08lX", call, static_cast<unsigned long>(hr));
        throw std::runtime_error(text);
    }
}

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
    : sharedOverlay(std::move(shared)),
      overlay(Overlay::Host::HostOverlay::open(sharedOverlay->name())),
      window(Overlay::Host::HostWindow::create(rect)),
      buffer(Overlay::Host::HostFrameBuffer::create(256 * 256))
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

ULONG refCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

size_t count(const LogTest::LogCapture& log, const std::wstring& message)
{
    const auto messages = log.messages();
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

size_t countPrefix(const LogTest::LogCapture& log, const std::wstring& prefix)
{
    const auto messages = log.messages();
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&prefix](const std::wstring& line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    }));
}

}  // namespace GraphicsTest
