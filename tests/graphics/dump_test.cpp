// The swap-chain dump, read back from the log file.
#include "graphics_test_support.h"
#include "log_file.h"

#include "log/log.h"
#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace GraphicsTest;
using GraphicsTest::LogFile;
using Line = LogFile::Line;
// A swap chain whose description is chosen by the test; it has no device and every other call fails.
class StubSwapChain : public IDXGISwapChain
{
public:
    HRESULT descResult = S_OK;
    DXGI_SWAP_CHAIN_DESC desc = {};
    ULONG references = 1;

    STDMETHOD(QueryInterface)(REFIID, void** object) override { return *object = nullptr, E_NOINTERFACE; }
    STDMETHOD_(ULONG, AddRef)() override { return ++references; }
    STDMETHOD_(ULONG, Release)() override { return --references; }
    STDMETHOD(SetPrivateData)(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    STDMETHOD(SetPrivateDataInterface)(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    STDMETHOD(GetPrivateData)(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    STDMETHOD(GetParent)(REFIID, void** parent) override { return *parent = nullptr, E_NOTIMPL; }
    STDMETHOD(GetDevice)(REFIID, void** device) override { return *device = nullptr, E_NOINTERFACE; }
    STDMETHOD(Present)(UINT, UINT) override { return E_NOTIMPL; }
    STDMETHOD(GetBuffer)(UINT, REFIID, void** surface) override { return *surface = nullptr, E_NOTIMPL; }
    STDMETHOD(SetFullscreenState)(BOOL, IDXGIOutput*) override { return E_NOTIMPL; }
    STDMETHOD(GetFullscreenState)(BOOL*, IDXGIOutput**) override { return E_NOTIMPL; }
    STDMETHOD(GetDesc)(DXGI_SWAP_CHAIN_DESC* out) override { return *out = desc, descResult; }
    STDMETHOD(ResizeBuffers)(UINT, UINT, UINT, DXGI_FORMAT, UINT) override { return E_NOTIMPL; }
    STDMETHOD(ResizeTarget)(const DXGI_MODE_DESC*) override { return E_NOTIMPL; }
    STDMETHOD(GetContainingOutput)(IDXGIOutput**) override { return E_NOTIMPL; }
    STDMETHOD(GetFrameStatistics)(DXGI_FRAME_STATISTICS*) override { return E_NOTIMPL; }
    STDMETHOD(GetLastPresentCount)(UINT*) override { return E_NOTIMPL; }
};

template <class... Args>
std::string format(const char* pattern, Args... args)
{
    char text[200];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

std::vector<Line> linesAt(const char* level, const std::vector<std::string>& messages)
{
    std::vector<Line> lines;
    for (const auto& message : messages) {
        lines.emplace_back(level, message);
    }
    return lines;
}

TEST(SwapChainDump, RealSwapChainDeviceAndAdapter)
{
    LogFile log;
    TestSwapChain game(320, 200);
    Overlay::dumpSwapChain(game.swapChain.Get(), Log::Level::Debug);

    ComPtr<IDXGIDevice> dxgiDevice;
    ASSERT_EQ(game.device.As(&dxgiDevice), S_OK);
    ComPtr<IDXGIAdapter> adapter;
    ASSERT_EQ(dxgiDevice->GetAdapter(&adapter), S_OK);
    DXGI_ADAPTER_DESC adapterDesc = {};
    ASSERT_EQ(adapter->GetDesc(&adapterDesc), S_OK);
    const auto& d = adapterDesc;
    auto lines = log.lastDump("=== SwapChain dump Start ===", "=== SwapChain dump End ===");
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[17].second.rfind("Description: ", 0), 0u) << lines[17].second;
    lines[17].second = "Description: ";
    EXPECT_EQ(lines, linesAt("DEBUG", {
                                          "=== SwapChain dump Start ===",
                                          "Width=320, Height=200",
                                          "RefreshRate: Numerator=60, Denominator=1",
                                          "Format: DXGI_FORMAT_R8G8B8A8_UNORM",
                                          "ScanlineOrdering: DXGI_MODE_SCANLINE_ORDER_UNSPECIFIED",
                                          "Scaling: DXGI_MODE_SCALING_UNSPECIFIED",
                                          "SampleDesc: Count=1, Quality=0",
                                          "BufferUsage: 32",
                                          "BufferCount: 1",
                                          format("OutputWindow(HWND): %016llX", uint64_t(uintptr_t(game.window))),
                                          "Windowed: 1",
                                          "SwapEffect: DXGI_SWAP_EFFECT_DISCARD",
                                          "Flags: 0",
                                          "Device:",
                                          "Flags: D3D_FEATURE_LEVEL_11_0",
                                          "CreationFlags: " + std::to_string(game.device->GetCreationFlags()),
                                          "Adapter:",
                                          "Description: ",
                                          format("AdapterLuid: %lx%lx", d.AdapterLuid.LowPart,
                                                 static_cast<unsigned long>(d.AdapterLuid.HighPart)),
                                          format("VendorId: %u, DeviceId: %u, SubSysId: %u, Revision: %u", d.VendorId,
                                                 d.DeviceId, d.SubSysId, d.Revision),
                                          format("DedicatedVideoMemory: %llu, DedicatedSystemMemory: %llu, "
                                                 "SharedSystemMemory: %llu",
                                                 uint64_t(d.DedicatedVideoMemory), uint64_t(d.DedicatedSystemMemory),
                                                 uint64_t(d.SharedSystemMemory)),
                                          "=== SwapChain dump End ===",
                                      }));
}

TEST(SwapChainDump, SwapChainWithoutADeviceOrADescription)
{
    LogFile log;
    StubSwapChain swapChain;
    swapChain.descResult = DXGI_ERROR_INVALID_CALL;
    Overlay::dumpSwapChain(&swapChain, Log::Level::Trace);
    EXPECT_TRUE(log.lastDump("=== SwapChain dump Start ===", "=== SwapChain dump End ===").empty())
        << "TRACE is below the log's threshold";
    Overlay::dumpSwapChain(&swapChain, Log::Level::Warn);
    EXPECT_EQ(log.lastDump("=== SwapChain dump Start ===", "=== SwapChain dump End ==="),
              linesAt("WARN", {
                                  "=== SwapChain dump Start ===",
                                  "Failed to get DXGI_SWAP_CHAIN_DESC, error: -2005270527",
                                  "Failed to get device, error: -2147467262",
                                  "=== SwapChain dump End ===",
                              }));

    swapChain.descResult = S_OK;
    swapChain.desc.SwapEffect = static_cast<DXGI_SWAP_EFFECT>(4);  // FLIP_DISCARD, a value without a name
    Overlay::dumpSwapChain(&swapChain, Log::Level::Info);
    const auto lines = log.lastDump("=== SwapChain dump Start ===", "=== SwapChain dump End ===");
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[11], Line("INFO", "SwapEffect: 4"));
    EXPECT_EQ(lines[13], Line("INFO", "Failed to get device, error: -2147467262"));
    EXPECT_EQ(swapChain.references, 1u);
}

}  // namespace
