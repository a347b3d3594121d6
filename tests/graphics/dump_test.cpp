// The swap-chain dump, as logged.
#include "graphics_test_support.h"

#include "log/log.h"
#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"

#include <gtest/gtest.h>

#include <cwchar>

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

std::vector<Line> linesAt(Log::Level level, const std::vector<std::wstring>& messages)
{
    std::vector<Line> lines;
    for (const auto& message : messages) {
        lines.emplace_back(level, message);
    }
    return lines;
}

// The lines that come from the swap chain and its device; the adapter's lines vary with the machine.
TEST(SwapChainDump, RealSwapChainDeviceAndAdapter)
{
    LogTest::LogCapture log;
    TestSwapChain game(320, 200);
    Overlay::dumpSwapChain(game.swapChain.Get(), Log::Level::Debug);
    const auto lines = lastDump(log);
    ASSERT_EQ(lines.size(), 22u);
    wchar_t window[64];
    std::swprintf(window, 64, L"OutputWindow(HWND): %016llX", uint64_t(uintptr_t(game.window)));
    const std::vector<std::wstring> expected = {L"Width=320, Height=200",
                                                L"Format: DXGI_FORMAT_R8G8B8A8_UNORM",
                                                L"BufferCount: 1",
                                                window,
                                                L"SwapEffect: DXGI_SWAP_EFFECT_DISCARD",
                                                L"Flags: D3D_FEATURE_LEVEL_11_0",
                                                L"=== SwapChain dump End ==="};
    const size_t at[] = {1, 3, 8, 9, 11, 14, 21};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[at[i]], Line(Log::Level::Debug, expected[i]));
    }
    EXPECT_EQ(lines[17].second.rfind(L"Description: ", 0), 0u);
}

TEST(SwapChainDump, SwapChainWithoutADeviceOrADescription)
{
    LogTest::LogCapture log;
    StubSwapChain swapChain;
    swapChain.descResult = DXGI_ERROR_INVALID_CALL;
    Overlay::dumpSwapChain(&swapChain, Log::Level::Trace);
    EXPECT_TRUE(lastDump(log).empty()) << "TRACE is below the log's threshold";
    Overlay::dumpSwapChain(&swapChain, Log::Level::Warn);
    EXPECT_EQ(lastDump(log), linesAt(Log::Level::Warn, {
                                                           L"=== SwapChain dump Start ===",
                                                           L"Failed to get DXGI_SWAP_CHAIN_DESC, error: -2005270527",
                                                           L"Failed to get device, error: -2147467262",
                                                           L"=== SwapChain dump End ===",
                                                       }));

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
