// overlay_client_x64.dll driven through its exports, as a host drives it, in this process: the
// results of every stage, the versioned init record, the start-up refusal, and a session with a
// host (this process serves OverlayHost) and a game (a window presenting through DXGI here).

#include "host_sdk/host_pipe.h"
#include "overlay/overlay_client/overlay_client_api.h"

#include <d3d11.h>
#include <dxgi.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace OverlayClientApi;
namespace Stub = Overlay::Ipc::Stub;
namespace fs = std::filesystem;

fs::path exeFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

// The DLL's exports, looked up by name as a host does.
struct Dll
{
    HMODULE module = LoadLibraryW((exeFolder() / L"overlay_client_x64.dll").c_str());
    template <class F>
    F get(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    decltype(&::initializeOverlay) initialize = get<decltype(&::initializeOverlay)>("initializeOverlay");
    decltype(&::initializeOverlayEx) initializeEx = get<decltype(&::initializeOverlayEx)>("initializeOverlayEx");
    decltype(&::getOverlayClientState) state = get<decltype(&::getOverlayClientState)>("getOverlayClientState");
    decltype(&::prepareOverlay) prepare = get<decltype(&::prepareOverlay)>("prepareOverlay");
    decltype(&::showTestOverlay) show = get<decltype(&::showTestOverlay)>("showTestOverlay");
    decltype(&::hideOverlay) hide = get<decltype(&::hideOverlay)>("hideOverlay");
    decltype(&::getOverlayClientId) id = get<decltype(&::getOverlayClientId)>("getOverlayClientId");
    decltype(&::deinitializeOverlay) deinitialize = get<decltype(&::deinitializeOverlay)>("deinitializeOverlay");

    // The four guarded exports, which always agree.
    void expectGuards(Result expected)
    {
        EXPECT_EQ(state(), expected);
        EXPECT_EQ(prepare(), expected);
        EXPECT_EQ(show(nullptr), expected);
        EXPECT_EQ(hide(), expected);
    }
};

// A fresh log folder and the text of everything logged into it.
struct LogFolder
{
    fs::path path = fs::temp_directory_path() / (L"client_export_test_" + std::to_wstring(GetCurrentProcessId()));
    std::string utf8 = path.u8string();
    LogFolder()
    {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~LogFolder()
    {
        // What the client logged explains a failure best.
        if (::testing::Test::HasFailure() || std::uncaught_exceptions() > 0)
            std::cerr << text();
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string text() const
    {
        std::string all;
        for (const auto& entry : fs::directory_iterator(path)) {
            std::ifstream file(entry.path(), std::ios::binary);
            all += std::string(std::istreambuf_iterator<char>(file), {});
        }
        return all;
    }
    size_t count(const std::string& needle) const
    {
        const std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
            ++n;
        return n;
    }
};

// An init record of `version` placed so that its last field ends where `after` begins: either bytes
// that would change start-up if they were read, or (`after` empty) a page that cannot be read at all.
struct PlacedRecord
{
    std::vector<uint8_t> storage;
    void* pages = nullptr;
    InitParamsEx* record = nullptr;

    PlacedRecord(const InitParamsEx& full, uint32_t version, bool guardPage)
    {
        const size_t size = initParamsExSize(version);
        uint8_t* at = nullptr;
        if (guardPage) {
            pages = VirtualAlloc(nullptr, 0x2000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            DWORD old = 0;
            VirtualProtect(static_cast<uint8_t*>(pages) + 0x1000, 0x1000, PAGE_NOACCESS, &old);
            at = static_cast<uint8_t*>(pages) + 0x1000 - size;
            std::memcpy(at, &full, size);
        } else {
            storage.resize(sizeof(InitParamsEx));
            at = storage.data();
            std::memcpy(at, &full, sizeof(InitParamsEx));
        }
        record = reinterpret_cast<InitParamsEx*>(at);
        record->version = version;
    }
    ~PlacedRecord()
    {
        if (pages != nullptr)
            VirtualFree(pages, 0, MEM_RELEASE);
    }
};

// Every later field set to what would change start-up: no cursor hook, Direct3D 9 (not available
// in this build: start-up fails), hotkeys.
InitParamsEx recordWithAllFieldsSet(const char* pipe, const std::string& logDirectory)
{
    InitParamsEx params{};
    params.version = InitParamsExVersion;
    params.pipeHostName = pipe;
    params.reserved = 0xFFFFFFFFFFFFFFFFull;
    params.logDirectory = logDirectory.c_str();
    params.disableMouseCursorHook = 1;
    params.graphicApi = GraphicApiD3D9;
    params.enableHotkeys = 1;
    return params;
}

const char* const cursorHookLine = "Hooking MouseCursor";

TEST(Exports, BeforeInitialization)
{
    Dll dll;
    ASSERT_NE(dll.module, nullptr);
    LogFolder log;

    dll.expectGuards(NotInitialized);
    EXPECT_EQ(dll.id(nullptr), InvalidArgument);
    int64_t id = 42;
    EXPECT_EQ(dll.id(&id), NotInitialized);
    EXPECT_EQ(id, 42);
    dll.deinitialize();

    EXPECT_FALSE(dll.initialize(nullptr));
    EXPECT_EQ(dll.initializeEx(nullptr), InvalidArgument);
    InitParamsEx noPipe = recordWithAllFieldsSet(nullptr, log.utf8);
    EXPECT_EQ(dll.initializeEx(&noPipe), InvalidArgument);
    dll.expectGuards(NotInitialized);

    // Version 1: what follows the log folder is not read (else no cursor hook, and Direct3D 9).
    PlacedRecord v1(recordWithAllFieldsSet("client_test_no_host", log.utf8), 1, false);
    ASSERT_EQ(dll.initializeEx(v1.record), Success);
    EXPECT_EQ(log.count(cursorHookLine), 1u);
    dll.expectGuards(ClientNotCreated);  // no frames presented: the window is not known yet

    ASSERT_EQ(dll.id(&id), Success);
    EXPECT_NE(id, 0);
    int64_t again = 0;
    dll.id(&again);
    EXPECT_EQ(again, id);

    // A second start returns the first result and changes nothing.
    EXPECT_EQ(dll.initializeEx(&noPipe), InvalidArgument);
    InitParamsEx other = recordWithAllFieldsSet("other_pipe", log.utf8);
    EXPECT_EQ(dll.initializeEx(&other), Success);
    InitParams plain{"other_pipe", 0, nullptr};
    EXPECT_TRUE(dll.initialize(&plain));
    EXPECT_EQ(log.count("Overlay already running"), 2u);
    EXPECT_EQ(log.count("Run overlay client"), 1u);
    dll.deinitialize();
    dll.deinitialize();
    dll.expectGuards(ClientNotCreated);
}

TEST(Exports, Version2)
{
    Dll dll;
    LogFolder log;
    // Reads the cursor switch; the Direct3D 9 choice that follows would fail start-up.
    PlacedRecord v2(recordWithAllFieldsSet("client_test_no_host", log.utf8), 2, false);
    EXPECT_EQ(dll.initializeEx(v2.record), Success);
    EXPECT_EQ(log.count(cursorHookLine), 0u);
    dll.expectGuards(ClientNotCreated);
}

TEST(Exports, Version3)
{
    Dll dll;
    LogFolder log;
    // Reads the graphics API (Direct3D 9: start-up fails); the record ends where memory ends.
    PlacedRecord v3(recordWithAllFieldsSet("client_test_no_host", log.utf8), 3, true);
    EXPECT_EQ(dll.initializeEx(v3.record), Failed);
    EXPECT_EQ(log.count("Failed to initialize overlay: "), 1u);
    EXPECT_EQ(log.count("Stop overlay client"), 1u);
    dll.expectGuards(Stopped);
    EXPECT_EQ(dll.initializeEx(v3.record), Failed);
    EXPECT_EQ(log.count("Overlay already running"), 1u);
}

TEST(Exports, Blacklisted)
{
    Dll dll;
    LogFolder log;
    const fs::path stub = exeFolder() / L"blacklisted" / L"FRAPS.dll";
    ASSERT_NE(LoadLibraryW(stub.c_str()), nullptr);

    InitParamsEx params = recordWithAllFieldsSet("client_test_no_host", log.utf8);
    params.graphicApi = GraphicApiDxgi;
    EXPECT_EQ(dll.initializeEx(&params), BlacklistedModules);
    const std::string text = log.text();
    const size_t modules = text.find("Process modules:");
    const size_t blacklisted = text.find("Blacklisted dlls:");
    ASSERT_NE(modules, std::string::npos);
    ASSERT_NE(blacklisted, std::string::npos);
    // Full paths in the first list, the file name alone in the second.
    EXPECT_NE(text.find("overlay_client_x64.dll", modules), std::string::npos);
    EXPECT_LT(text.find("\\blacklisted\\FRAPS.dll", modules), blacklisted);
    EXPECT_NE(text.find("| FRAPS.dll", blacklisted), std::string::npos);
    EXPECT_NE(text.find("blacklisted dll(s) loaded in process", blacklisted), std::string::npos);
    dll.expectGuards(Stopped);
    int64_t id = 0;
    EXPECT_EQ(dll.id(&id), Success);
}

// The host's side of a session: what arrived, one line per call.
class RecordingHost : public Stub::OverlayHostIf
{
public:
    void onKeyEvent(const Stub::KeyEvent& e) override
    {
        add("key " + std::to_string(e.type) + " " + std::to_string(e.windowsKeyCode));
    }
    void onMouseMoveEvent(const Stub::MouseMoveEvent&) override { add("move"); }
    void onMouseClickEvent(const Stub::MouseClickEvent& e) override
    {
        add("click " + std::to_string(e.type) + " " + std::to_string(e.mouseUp) + " " + std::to_string(e.clickCount));
    }
    void onMouseWheelEvent(const Stub::MouseWheelEvent&) override { add("wheel"); }
    void onOverlayShown() override { add("shown"); }
    void onOverlayHidden() override { add("hidden"); }
    void onSurfaceBoundsChanged(const Stub::RectI& r) override { add("bounds " + rect(r)); }
    void onClientStopped(int32_t code) override { add("stopped " + std::to_string(code)); }
    void requestShowOverlay() override { add("requestShow"); }
    void requestShowTestOverlay(const Stub::TestOverlayInfo& i) override
    {
        std::ostringstream s;
        s << "requestShowTest " << i.relativeSize.width << " " << i.relativeSize.height << " " << i.color << " "
          << i.useCef;
        add(s.str());
    }
    void requestHideOverlay() override { add("requestHide"); }
    void registerClient(Stub::HostInfo& out, const Stub::ClientInfo& info) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            client_ = info;
        }
        add("registered");
        out.result = !refuse;
        out.id = 77;
        out.version = "test host";
    }
    int64_t getId() override { return 77; }
    bool ping() override { return true; }

    static std::string rect(const Stub::RectI& r)
    {
        return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
               std::to_string(r.bottom);
    }
    size_t count(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::count(lines_.begin(), lines_.end(), line);
    }
    Stub::ClientInfo client()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return client_;
    }
    std::string all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text;
        for (const auto& line : lines_)
            text += line + "; ";
        return text;
    }

private:
    void add(std::string line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::move(line));
    }

public:
    std::atomic<bool> refuse{false};

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    Stub::ClientInfo client_;
};

// The window's client area in screen coordinates, as "left top right bottom".
std::string screenClientRect(HWND window)
{
    RECT r{};
    GetClientRect(window, &r);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
           std::to_string(r.bottom);
}

// A game: one window presenting through a DXGI swap chain, counting the input its window sees.
struct Game
{
    static inline int keys = 0;
    static inline int clicks = 0;

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_KEYDOWN)
            ++keys;
        if (message == WM_LBUTTONDOWN)
            ++clicks;
        return DefWindowProcW(window, message, wParam, lParam);
    }

    Game()
    {
        WNDCLASSEXW wc{sizeof(wc)};
        wc.lpfnWndProc = windowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ClientExportTestGame";
        RegisterClassExW(&wc);
        window = CreateWindowExW(0, wc.lpszClassName, L"game", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 240,
                                 nullptr, nullptr, wc.hInstance, nullptr);
        DXGI_SWAP_CHAIN_DESC desc{};
        desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 1;
        desc.OutputWindow = window;
        desc.Windowed = TRUE;
        created =
            D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                          nullptr, 0, D3D11_SDK_VERSION, &desc, &swapChain, &device, nullptr, nullptr);
    }

    // Pumps messages and presents frames until `done` or 20 s.
    bool runUntil(const std::function<bool()>& done)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (done())
                return true;
            if (IsWindow(window))
                swapChain->Present(0, 0);
            Sleep(5);
        }
        return false;
    }

    HWND window = nullptr;
    HRESULT created = E_FAIL;
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain;
};

TEST(Exports, HostSession)
{
    Dll dll;
    LogFolder log;
    const std::string pipe = "client_export_test_host_" + std::to_string(GetCurrentProcessId());
    InitParamsEx params = recordWithAllFieldsSet(pipe.c_str(), log.utf8);
    params.graphicApi = GraphicApiDxgi;
    params.disableMouseCursorHook = 0;
    ASSERT_EQ(dll.initializeEx(&params), Success);
    EXPECT_EQ(dll.state(), ClientNotCreated);

    Game game;
    ASSERT_EQ(game.created, S_OK);
    ASSERT_TRUE(game.runUntil([&] { return dll.state() == Success; }));

    // No host yet: the pipe cannot be opened; a local hide is all a hide request can do.
    EXPECT_EQ(dll.prepare(), IpcError);
    EXPECT_EQ(dll.show(nullptr), IpcError);
    EXPECT_EQ(dll.hide(), Success);

    auto host = std::make_shared<RecordingHost>();
    Overlay::Host::HostPipeServer server(pipe, host);
    server.start();
    host->refuse = true;
    EXPECT_EQ(dll.prepare(), UnexpectedError);
    host->refuse = false;
    ASSERT_EQ(dll.prepare(), Success);
    ASSERT_EQ(dll.prepare(), Success);  // open and answering: only pinged
    EXPECT_EQ(host->count("registered"), 2u);
    const Stub::ClientInfo info = host->client();
    int64_t id = 0;
    dll.id(&id);
    EXPECT_EQ(info.id, id);
    EXPECT_EQ(info.version, "26.00.02.1046");
    EXPECT_EQ(info.pipeName.size(), 32u);
    EXPECT_EQ(info.shmemName.size(), 32u);
    EXPECT_EQ(RecordingHost::rect(info.scurfaceBounds), screenClientRect(game.window));

    // Hotkeys are on (version 4): Shift+Tab asks the host to show.
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    PostMessageW(game.window, WM_KEYDOWN, VK_TAB, 0x000F0001);
    EXPECT_TRUE(game.runUntil([&] { return host->count("requestShow") == 1; })) << host->all();
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);

    TestOverlayParams test{0, 0.5, 0.25, 0x112233, 1};
    EXPECT_EQ(dll.show(&test), Success);
    EXPECT_TRUE(game.runUntil([&] { return host->count("requestShowTest 0.5 0.25 1122867 1") == 1; })) << host->all();

    // The host shows: reported after the first drawn frame; input goes to the host, not the game.
    Overlay::Host::ClientConnection connection(info.pipeName);
    connection.open();
    EXPECT_TRUE(connection.service().showOverlay());
    ASSERT_TRUE(game.runUntil([&] { return host->count("shown") == 1; })) << host->all();
    const int gameKeys = Game::keys;
    PostMessageW(game.window, WM_KEYDOWN, 'A', 0x001E0001);
    PostMessageW(game.window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    PostMessageW(game.window, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    EXPECT_TRUE(game.runUntil([&] { return host->count("click 0 1 1") == 1; })) << host->all();
    EXPECT_EQ(host->count("key 0 65"), 1u) << host->all();
    EXPECT_EQ(host->count("click 0 0 1"), 1u) << host->all();
    EXPECT_EQ(Game::keys, gameKeys);
    EXPECT_EQ(Game::clicks, 0);

    // A host that goes away cannot hide the overlay any more: the client hides it itself.
    connection.close();
    EXPECT_TRUE(game.runUntil([&] { return host->count("hidden") == 1; })) << host->all();
    connection.open();
    EXPECT_TRUE(connection.service().showOverlay());
    ASSERT_TRUE(game.runUntil([&] { return host->count("shown") == 2; })) << host->all();

    // Moving the window tells the host the new bounds.
    SetWindowPos(game.window, nullptr, 60, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    const std::string bounds = "bounds " + screenClientRect(game.window);
    EXPECT_TRUE(game.runUntil([&] { return host->count(bounds) >= 1; })) << host->all();

    // Hide: asked of the host, done by the host; the game gets its input back.
    EXPECT_EQ(dll.hide(), Success);
    EXPECT_TRUE(game.runUntil([&] { return host->count("requestHide") == 1; })) << host->all();
    EXPECT_TRUE(connection.service().hideOverlay());
    EXPECT_TRUE(game.runUntil([&] { return host->count("hidden") == 2; })) << host->all();
    PostMessageW(game.window, WM_KEYDOWN, 'A', 0x001E0001);
    EXPECT_TRUE(game.runUntil([&] { return Game::keys == gameKeys + 1; }));

    // The game's window goes: the client stops with code 0, and stays stopped.
    DestroyWindow(game.window);
    EXPECT_TRUE(game.runUntil([&] { return host->count("stopped 0") == 1; })) << host->all();
    dll.expectGuards(Stopped);
    EXPECT_EQ(log.count("Stop overlay client: StopCode = 0"), 1u);
    connection.close();
}

}  // namespace
