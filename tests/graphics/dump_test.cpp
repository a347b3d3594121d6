// The swap-chain dump, read back from the log file.
#include "graphics_test_support.h"

#include "log/log.h"
#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace GraphicsTest;

std::string hwndText(HWND window)
{
    char text[32];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    return text;
}

// A swap chain whose description and device are chosen by the test; every other call fails.
class StubSwapChain : public IDXGISwapChain
{
public:
    HRESULT descResult = S_OK;
    DXGI_SWAP_CHAIN_DESC desc = {};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void** parent) override
    {
        *parent = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID, void** device) override
    {
        *device = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Present(UINT, UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBuffer(UINT, REFIID, void** surface) override
    {
        *surface = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetFullscreenState(BOOL, IDXGIOutput*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFullscreenState(BOOL*, IDXGIOutput**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_SWAP_CHAIN_DESC* out) override
    {
        *out = desc;
        return descResult;
    }
    HRESULT STDMETHODCALLTYPE ResizeBuffers(UINT, UINT, UINT, DXGI_FORMAT, UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ResizeTarget(const DXGI_MODE_DESC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetContainingOutput(IDXGIOutput**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFrameStatistics(DXGI_FRAME_STATISTICS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetLastPresentCount(UINT*) override { return E_NOTIMPL; }

    ULONG references = 1;
};

// The dump's lines: from the start line to the end line.
std::vector<LogFileCapture::Line> dumpLines(const LogFileCapture& log)
{
    std::vector<LogFileCapture::Line> result;
    bool inside = false;
    for (const auto& line : log.lines()) {
        inside = inside || line.message == "=== SwapChain dump Start ===";
        if (inside) {
            result.push_back(line);
        }
        if (line.message == "=== SwapChain dump End ===") {
            break;
        }
    }
    return result;
}

std::vector<std::string> messagesOf(const std::vector<LogFileCapture::Line>& lines)
{
    std::vector<std::string> messages;
    for (const auto& line : lines) {
        messages.push_back(line.message);
    }
    return messages;
}

TEST(SwapChainDump, RealSwapChainDeviceAndAdapter)
{
    LogFileCapture log;
    TestSwapChain game(SwapChainOptions{320, 200});
    Overlay::dumpSwapChain(game.swapChain.Get(), Log::Level::Debug);

    const auto lines = dumpLines(log);
    ASSERT_EQ(lines.size(), 22u) << ::testing::PrintToString(messagesOf(lines));
    for (const auto& line : lines) {
        EXPECT_EQ(line.level, "DEBUG") << line.message;
    }
    const std::vector<std::string> expectedStart = {
        "=== SwapChain dump Start ===",
        "Width=320, Height=200",
        "RefreshRate: Numerator=60, Denominator=1",
        "Format: DXGI_FORMAT_R8G8B8A8_UNORM",
        "ScanlineOrdering: DXGI_MODE_SCANLINE_ORDER_UNSPECIFIED",
        "Scaling: DXGI_MODE_SCALING_UNSPECIFIED",
        "SampleDesc: Count=1, Quality=0",
        "BufferUsage: 32",
        "BufferCount: 1",
        "OutputWindow(HWND): " + hwndText(game.window.handle()),
        "Windowed: 1",
        "SwapEffect: DXGI_SWAP_EFFECT_DISCARD",
        "Flags: 0",
        "Device:",
        "Flags: D3D_FEATURE_LEVEL_11_0",
        "CreationFlags: " + std::to_string(game.device->GetCreationFlags()),
        "Adapter:",
    };
    const auto messages = messagesOf(lines);
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 17), expectedStart);

    ComPtr<IDXGIDevice> dxgiDevice;
    ASSERT_EQ(game.device.As(&dxgiDevice), S_OK);
    ComPtr<IDXGIAdapter> adapter;
    ASSERT_EQ(dxgiDevice->GetAdapter(&adapter), S_OK);
    DXGI_ADAPTER_DESC desc = {};
    ASSERT_EQ(adapter->GetDesc(&desc), S_OK);
    char luid[40];
    std::snprintf(luid, sizeof luid, "%lx%lx", desc.AdapterLuid.LowPart,
                  static_cast<unsigned long>(desc.AdapterLuid.HighPart));
    char ids[120];
    std::snprintf(ids, sizeof ids, "VendorId: %u, DeviceId: %u, SubSysId: %u, Revision: %u", desc.VendorId,
                  desc.DeviceId, desc.SubSysId, desc.Revision);
    char memory[160];
    std::snprintf(memory, sizeof memory, "DedicatedVideoMemory: %llu, DedicatedSystemMemory: %llu, SharedSystemMemory: %llu",
                  static_cast<unsigned long long>(desc.DedicatedVideoMemory),
                  static_cast<unsigned long long>(desc.DedicatedSystemMemory),
                  static_cast<unsigned long long>(desc.SharedSystemMemory));
    EXPECT_EQ(messages[17].rfind("Description: ", 0), 0u);
    EXPECT_EQ(messages[18], std::string("AdapterLuid: ") + luid);
    EXPECT_EQ(messages[19], ids);
    EXPECT_EQ(messages[20], memory);
    EXPECT_EQ(messages.back(), "=== SwapChain dump End ===");
}

TEST(SwapChainDump, SwapChainWithoutADirect3D11Device)
{
    LogFileCapture log;
    StubSwapChain swapChain;
    swapChain.desc.BufferDesc = {640, 480, {0, 0}, DXGI_FORMAT_B8G8R8A8_UNORM, DXGI_MODE_SCANLINE_ORDER_PROGRESSIVE,
                                 DXGI_MODE_SCALING_CENTERED};
    swapChain.desc.SampleDesc = {4, 2};
    swapChain.desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT | DXGI_USAGE_SHADER_INPUT;
    swapChain.desc.BufferCount = 3;
    swapChain.desc.Windowed = FALSE;
    swapChain.desc.SwapEffect = static_cast<DXGI_SWAP_EFFECT>(4);  // FLIP_DISCARD
    swapChain.desc.Flags = 2;
    Overlay::dumpSwapChain(&swapChain, Log::Level::Info);

    const std::vector<std::string> expected = {
        "=== SwapChain dump Start ===",
        "Width=640, Height=480",
        "RefreshRate: Numerator=0, Denominator=0",
        "Format: DXGI_FORMAT_B8G8R8A8_UNORM",
        "ScanlineOrdering: DXGI_MODE_SCANLINE_ORDER_PROGRESSIVE",
        "Scaling: DXGI_MODE_SCALING_CENTERED",
        "SampleDesc: Count=4, Quality=2",
        "BufferUsage: 48",
        "BufferCount: 3",
        "OutputWindow(HWND): 0000000000000000",
        "Windowed: 0",
        "SwapEffect: 4",
        "Flags: 2",
        "Failed to get device, error: -2147467262",
        "=== SwapChain dump End ===",
    };
    const auto lines = dumpLines(log);
    EXPECT_EQ(messagesOf(lines), expected);
    for (const auto& line : lines) {
        EXPECT_EQ(line.level, "INFO") << line.message;
    }
    EXPECT_EQ(swapChain.references, 1u);
}

TEST(SwapChainDump, UnreadableDescriptionAndLevelsBelowTheThreshold)
{
    LogFileCapture log;
    StubSwapChain swapChain;
    swapChain.descResult = DXGI_ERROR_INVALID_CALL;
    Overlay::dumpSwapChain(&swapChain, Log::Level::Trace);
    EXPECT_TRUE(dumpLines(log).empty()) << "TRACE is below the log's threshold";

    Overlay::dumpSwapChain(&swapChain, Log::Level::Warn);
    const std::vector<std::string> expected = {
        "=== SwapChain dump Start ===",
        "Failed to get DXGI_SWAP_CHAIN_DESC, error: -2005270527",
        "Failed to get device, error: -2147467262",
        "=== SwapChain dump End ===",
    };
    EXPECT_EQ(messagesOf(dumpLines(log)), expected);
}

}  // namespace
