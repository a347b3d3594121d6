// The swap-chain dump of a swap chain that fails its calls (a working one is dumped in the hook test).
#include "graphics_test_support.h"

#include "log/log.h"
#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"

#include <gtest/gtest.h>

namespace {

using namespace GraphicsTest;
using LogTest::Line;  // level, message

// The lines of the last dump logged since the previous call, from its start line to its end line.
std::vector<Line> lastDump(LogTest::LogCapture& log)
{
    std::vector<Line> lines;
    bool inside = false;
    for (const Line& line : log.take()) {
        if (line.second == L"=== SwapChain dump Start ===") {
            lines.clear();
            inside = true;
        }
        if (inside) {
            lines.push_back(line);
        }
        inside = inside && line.second != L"=== SwapChain dump End ===";
    }
    return lines;
}

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

TEST(SwapChainDump, SwapChainWithoutADeviceOrADescription)
{
    LogTest::LogCapture log;
    StubSwapChain swapChain;
    swapChain.descResult = DXGI_ERROR_INVALID_CALL;
    Overlay::dumpSwapChain(&swapChain, Log::Level::Trace);
    EXPECT_TRUE(lastDump(log).empty()) << "TRACE is below the log's threshold";
    Overlay::dumpSwapChain(&swapChain, Log::Level::Warn);
    const std::vector<Line> failed = {{Log::Level::Warn, L"=== SwapChain dump Start ==="},
                                      {Log::Level::Warn, L"Failed to get DXGI_SWAP_CHAIN_DESC, error: -2005270527"},
                                      {Log::Level::Warn, L"Failed to get device, error: -2147467262"},
                                      {Log::Level::Warn, L"=== SwapChain dump End ==="}};
    EXPECT_EQ(lastDump(log), failed);

    swapChain.descResult = S_OK;
    swapChain.desc.SwapEffect = static_cast<DXGI_SWAP_EFFECT>(4);  // FLIP_DISCARD, a value without a name
    Overlay::dumpSwapChain(&swapChain, Log::Level::Info);
    const auto lines = lastDump(log);
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[11], Line(Log::Level::Info, L"SwapEffect: 4"));
    EXPECT_EQ(lines[13], Line(Log::Level::Info, L"Failed to get device, error: -2147467262"));
    EXPECT_EQ(swapChain.references, 1u);
}

}  // namespace
