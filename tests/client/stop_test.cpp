// The paths that stop a live client because something failed on the game's side: the host hears
// onClientStopped(1), the log says why, and the exports report Stopped. The failures come from
// stand-ins put into the DLL's own imports: a window whose client area can no longer be read, and a
// server thread held inside a host's call. One stop per process, as the DLL never starts twice.

#include "test_log.h"

#include <gtest/gtest.h>

#include <d2d1.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <future>

namespace {

using namespace ClientHarness;
using namespace std::chrono_literals;

// Points the module's import of `function` from `dll` at `replacement`; returns the original.
void* replaceImport(HMODULE module, const char* dll, const char* function, void* replacement)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0)
            continue;
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name,
                            function) != 0)
                continue;
            DWORD old = 0;
            VirtualProtect(&slot->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            void* original = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof(void*), old, &old);
            return original;
        }
    }
    throw std::runtime_error(std::string("no import of ") + function);
}

// The game window's client area, unreadable once `gone` is set.
std::atomic<bool> clientAreaGone{false};
decltype(&GetClientRect) realGetClientRect = nullptr;
BOOL WINAPI standInGetClientRect(HWND window, RECT* rect)
{
    if (clientAreaGone) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return realGetClientRect(window, rect);
}

// Once armed, the next message posted from a thread other than the game's waits for `release`: the
// client's server thread, held inside a host's call.
std::atomic<bool> holdNextPost{false};
DWORD gameThread = 0;
HANDLE heldPost = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE releasePost = CreateEventW(nullptr, TRUE, FALSE, nullptr);
decltype(&PostMessageW) realPostMessageW = nullptr;
BOOL WINAPI standInPostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (GetCurrentThreadId() != gameThread && holdNextPost.exchange(false)) {
        SetEvent(heldPost);
        WaitForSingleObject(releasePost, 30000);
    }
    return realPostMessageW(window, message, wParam, lParam);
}

// The game's swap chains refuse their buffers this many more times, as after a display change. They
// share one method table, whose GetBuffer entry the first client replaces.
std::atomic<int> refusedBuffers{0};
using GetBufferFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, REFIID, void**);
GetBufferFn realGetBuffer = nullptr;
HRESULT STDMETHODCALLTYPE standInGetBuffer(IDXGISwapChain* chain, UINT buffer, REFIID type, void** out)
{
    if (refusedBuffers > 0 && refusedBuffers-- > 0)
        return D2DERR_RECREATE_TARGET;
    return realGetBuffer(chain, buffer, type, out);
}

struct StoppingClient : LiveClient
{
    explicit StoppingClient(LogFolder& log) : LiveClient(log)
    {
        constexpr int getBufferIndex = 9;  // after IUnknown's 3, IDXGIObject's 4, GetDevice and Present
        void** methods = *reinterpret_cast<void***>(game.swapChain.Get());
        DWORD old = 0;
        VirtualProtect(&methods[getBufferIndex], sizeof(void*), PAGE_READWRITE, &old);
        realGetBuffer = reinterpret_cast<GetBufferFn>(methods[getBufferIndex]);
        methods[getBufferIndex] = reinterpret_cast<void*>(&standInGetBuffer);
        VirtualProtect(&methods[getBufferIndex], sizeof(void*), old, &old);
        gameThread = GetCurrentThreadId();
        realGetClientRect = reinterpret_cast<decltype(&GetClientRect)>(
            replaceImport(dll.module, "user32.dll", "GetClientRect", reinterpret_cast<void*>(&standInGetClientRect)));
        realPostMessageW = reinterpret_cast<decltype(&PostMessageW)>(
            replaceImport(dll.module, "user32.dll", "PostMessageW", reinterpret_cast<void*>(&standInPostMessageW)));
    }

    // The host heard the stop with `code`, the log has `why`, and the exports agree.
    void expectStopped(int code, const std::string& why)
    {
        EXPECT_TRUE(game.runUntil([&] { return host->count("stopped " + std::to_string(code)) == 1; })) << host->all();
        EXPECT_GE(log.count(why), 1u) << why;
        EXPECT_EQ(log.count("Stop overlay client: StopCode = " + std::to_string(code)), 1u);
        EXPECT_EQ(dll.state(), Stopped);
        EXPECT_EQ(dll.prepare(), Stopped);
    }
};

// Every renderer made meets a swap chain that refuses its buffers: one new renderer is tried.
TEST(Stops, DrawFails)
{
    TestLog log;
    StoppingClient c(log);
    refusedBuffers = INT_MAX;
    ASSERT_NO_THROW(c.start(false));
    c.expectStopped(1, "Failed to draw overlay");
    EXPECT_EQ(log.count("The next frame is drawn with a new renderer"), 1u);
    EXPECT_EQ(c.host->count("shown"), 0u);
}

// A frame that fails once (neither Direct2D nor Direct3D 11 gets the buffer) is drawn by a new
// renderer. Then the window's client area cannot be read when the host shows the overlay again.
TEST(Stops, ShowFails)
{
    TestLog log;
    StoppingClient c(log);
    refusedBuffers = 2;
    ASSERT_NO_THROW(c.start());
    EXPECT_EQ(log.count("The next frame is drawn with a new renderer"), 1u);
    ASSERT_TRUE(c.connection->service().hideOverlay());
    ASSERT_TRUE(c.game.runUntil([&] { return c.host->count("hidden") == 1; }));
    clientAreaGone = true;
    EXPECT_TRUE(c.connection->service().showOverlay());
    c.expectStopped(1, "Failed to show overlay: [Error.System] GetClientRect error");
}

// The window moves and its new bounds cannot be read, while a host's call holds the client's server
// thread: the stop gives up waiting for the server after 3 s and says so.
TEST(Stops, SurfaceBoundsFailWhileAHostCallHangs)
{
    TestLog log;
    StoppingClient c(log);
    ASSERT_NO_THROW(c.start());
    holdNextPost = true;
    auto call = std::async(std::launch::async, [&] { return c.connection->service().showOverlay(); });
    ASSERT_EQ(WaitForSingleObject(heldPost, 10000), WAIT_OBJECT_0);
    clientAreaGone = true;
    SetWindowPos(c.game.window, nullptr, 60, 60, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    c.expectStopped(1, "Failed update surface bounds : [Error.System] GetClientRect error");
    EXPECT_EQ(log.count("Failed to stop ipc server: status = 1"), 1u);
    SetEvent(releasePost);
    call.wait();
}

// The swap chain's window is gone by the frame that names the game's window: nothing to hook, the
// start ends there.
TEST(Stops, NoDeviceWindow)
{
    TestLog log;
    Dll dll;
    InitParamsEx params{};
    params.version = InitParamsExVersion;
    params.pipeHostName = "client_stop_test_no_host";
    params.logDirectory = log.utf8.c_str();
    params.graphicApi = GraphicApiDxgi;
    ASSERT_EQ(dll.initializeEx(&params), Success);
    Game game;
    ASSERT_EQ(game.created, S_OK);
    DestroyWindow(game.window);
    EXPECT_TRUE(game.runUntil([&] {
        game.present();
        return log.count("Stop overlay client") == 1;
    }));
    EXPECT_EQ(log.count("Failed to get the window's thread"), 1u);
    EXPECT_EQ(dll.state(), Stopped);
}

}  // namespace
