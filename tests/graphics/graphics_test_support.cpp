#include "graphics_test_support.h"

#include "dxbc_reader.h"
#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
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

LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

DXGI_SWAP_CHAIN_DESC swapChainDesc(HWND window, const SwapChainOptions& options)
{
    DXGI_SWAP_CHAIN_DESC desc = {};
    desc.BufferDesc.Width = options.width;
    desc.BufferDesc.Height = options.height;
    desc.BufferDesc.RefreshRate = {60, 1};
    desc.BufferDesc.Format = options.format;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = options.bufferCount;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    desc.SwapEffect = options.swapEffect;
    return desc;
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

std::string utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

}  // namespace

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

Rgba dimmed(const Rgba& color)
{
    auto channel = [](uint8_t value) { return static_cast<uint8_t>(value * 0.4f + 0.5f); };
    return {channel(color.r), channel(color.g), channel(color.b), color.a};
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

TestWindow::TestWindow(uint32_t width, uint32_t height, const wchar_t* title)
{
    static const wchar_t className[] = L"GraphicsTestWindow";
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = testWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass);
    RECT frame = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    window_ = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, 0, 0, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window_) {
        throw std::runtime_error("CreateWindowExW failed");
    }
    // Not shown: under Wine without a window manager, destroying a shown window waits two seconds.
}

TestWindow::~TestWindow()
{
    DestroyWindow(window_);
}

TestSwapChain::TestSwapChain(const SwapChainOptions& options) : window(options.width, options.height)
{
    const DXGI_SWAP_CHAIN_DESC desc = swapChainDesc(window.handle(), options);
    check(D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, options.deviceFlags,
                                        &options.featureLevel, 1, D3D11_SDK_VERSION, &desc, &swapChain, &device,
                                        nullptr, &context),
          "D3D11CreateDeviceAndSwapChain");
}

TestSwapChain::TestSwapChain(const TestSwapChain& other, uint32_t width, uint32_t height)
    : window(width, height), device(other.device), context(other.context)
{
    ComPtr<IDXGIDevice> dxgiDevice;
    check(device.As(&dxgiDevice), "QueryInterface(IDXGIDevice)");
    ComPtr<IDXGIAdapter> adapter;
    check(dxgiDevice->GetAdapter(&adapter), "GetAdapter");
    ComPtr<IDXGIFactory> factory;
    check(adapter->GetParent(IID_PPV_ARGS(&factory)), "GetParent(IDXGIFactory)");
    DXGI_SWAP_CHAIN_DESC otherDesc = {};
    other.swapChain->GetDesc(&otherDesc);
    SwapChainOptions options;
    options.width = width;
    options.height = height;
    options.format = otherDesc.BufferDesc.Format;
    DXGI_SWAP_CHAIN_DESC desc = swapChainDesc(window.handle(), options);
    check(factory->CreateSwapChain(device.Get(), &desc, &swapChain), "CreateSwapChain");
}

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

void clearBackBuffer(IDXGISwapChain* swapChain, const Rgba& color)
{
    const BackBuffer back(swapChain);
    ComPtr<ID3D11Device> device = back.device;
    ComPtr<ID3D11DeviceContext> context = back.context;
    ComPtr<ID3D11Texture2D> backBuffer = back.texture;
    ComPtr<ID3D11RenderTargetView> view;
    check(device->CreateRenderTargetView(backBuffer.Get(), nullptr, &view), "CreateRenderTargetView");
    const float rgba[4] = {color.r / 255.0f, color.g / 255.0f, color.b / 255.0f, color.a / 255.0f};
    context->ClearRenderTargetView(view.Get(), rgba);
}

Image readBackBuffer(IDXGISwapChain* swapChain)
{
    const BackBuffer back(swapChain);
    ComPtr<ID3D11Device> device = back.device;
    ComPtr<ID3D11DeviceContext> context = back.context;
    ComPtr<ID3D11Texture2D> backBuffer = back.texture;
    D3D11_TEXTURE2D_DESC desc = {};
    backBuffer->GetDesc(&desc);
    const bool bgra = desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM || desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM_SRGB;
    const bool rgba = desc.Format == DXGI_FORMAT_R8G8B8A8_UNORM || desc.Format == DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
    if (!bgra && !rgba) {
        throw std::runtime_error("readBackBuffer: unsupported back-buffer format");
    }
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    check(device->CreateTexture2D(&desc, nullptr, &staging), "CreateTexture2D(staging)");
    context->CopyResource(staging.Get(), backBuffer.Get());
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    check(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped), "Map(staging)");
    Image image;
    image.width = desc.Width;
    image.height = desc.Height;
    image.pixels.resize(size_t(desc.Width) * desc.Height);
    for (uint32_t y = 0; y < desc.Height; ++y) {
        const auto* row = static_cast<const uint8_t*>(mapped.pData) + size_t(y) * mapped.RowPitch;
        for (uint32_t x = 0; x < desc.Width; ++x) {
            const uint8_t* p = row + size_t(x) * 4;
            image.pixels[size_t(y) * desc.Width + x] = bgra ? Rgba{p[2], p[1], p[0], p[3]} : Rgba{p[0], p[1], p[2], p[3]};
        }
    }
    context->Unmap(staging.Get(), 0);
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

LogFileCapture::LogFileCapture()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    wchar_t name[64];
    std::swprintf(name, 64, L"graphics-log-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    folder_ = std::wstring(base) + name;
    CreateDirectoryW(folder_.c_str(), nullptr);
    Log::Core::release();
    auto core = Log::Core::initialize(Log::Mode::Synchronous);
    auto sink = std::make_shared<Log::FileSink>(folder_);
    sink->setPrefix(L"overlay_client_");
    sink->setFlushEachRecord(true);
    sink->setMaxFileSize(0);
    sink->start();
    core->rootLogger()->addSink(sink);
}

LogFileCapture::~LogFileCapture()
{
    Log::Core::release();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder_ + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder_.c_str());
}

std::vector<std::string> LogFileCapture::messages() const
{
    std::vector<std::string> result;
    for (const auto& line : lines()) {
        result.push_back(line.message);
    }
    return result;
}

std::vector<LogFileCapture::Line> LogFileCapture::lines() const
{
    std::vector<Line> result;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"\\*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return result;
    }
    std::vector<std::wstring> files;
    do {
        files.push_back(folder_ + L"\\" + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (const auto& file : files) {
        std::ifstream in(utf8(file), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            // " LEVEL | thread | time | message"
            size_t at = line.find(" | ");
            for (int separator = 1; separator < 3 && at != std::string::npos; ++separator) {
                at = line.find(" | ", at + 3);
            }
            if (at != std::string::npos) {
                std::string level = line.substr(0, line.find(" | "));
                level.erase(0, level.find_first_not_of(" \xEF\xBB\xBF"));
                level.erase(level.find_last_not_of(' ') + 1);
                result.push_back({level, line.substr(at + 3)});
            }
        }
    }
    return result;
}

size_t LogFileCapture::count(const std::string& message) const
{
    size_t n = 0;
    for (const auto& line : messages()) {
        n += line == message ? 1 : 0;
    }
    return n;
}

size_t LogFileCapture::countPrefix(const std::string& prefix) const
{
    size_t n = 0;
    for (const auto& line : messages()) {
        n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return n;
}

}  // namespace GraphicsTest
