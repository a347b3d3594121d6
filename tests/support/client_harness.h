#pragma once

// A host's and a game's side of overlay_client_x64.dll, in one process: the DLL loaded from the
// executable's folder and its exports, the log folder it writes, a host serving OverlayHost that
// records each call, and a game window presenting through DXGI. Used by the client tests and the
// soak benchmark.

#include "host_sdk/host_pipe.h"
#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/overlay_client_api.h"

#include <d3d11.h>
#include <dxgi.h>
#include <psapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace ClientHarness {

using namespace OverlayClientApi;
namespace Stub = Overlay::Ipc::Stub;
namespace fs = std::filesystem;
namespace Host = Overlay::Host;

inline fs::path exeFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

// The DLL's exports, looked up by name as a host does.
struct Dll
{
    HMODULE module = LoadLibraryW(
        (exeFolder() / (sizeof(void*) == 8 ? L"overlay_client_x64.dll" : L"overlay_client_x86.dll")).c_str());
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
};

// A fresh log folder and the text of everything logged into it.
struct LogFolder
{
    fs::path path = fs::temp_directory_path() / (L"client_export_test_" + std::to_wstring(GetCurrentProcessId()));
    std::string utf8 = path.u8string();
    bool printOnExit = false;  // what the client logged explains a failure best
    LogFolder()
    {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~LogFolder()
    {
        if (printOnExit || std::uncaught_exceptions() > 0)
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

// The host's side of a session: what arrived, one line per call.
class RecordingHost : public Stub::OverlayHostIf
{
public:
    void onKeyEvent(const Stub::KeyEvent&) override { add("key"); }
    void onMouseMoveEvent(const Stub::MouseMoveEvent&) override { add("move"); }
    void onMouseClickEvent(const Stub::MouseClickEvent&) override { add("click"); }
    void onMouseWheelEvent(const Stub::MouseWheelEvent&) override { add("wheel"); }
    void onOverlayShown() override { add("shown"); }
    void onOverlayHidden() override { add("hidden"); }
    void onSurfaceBoundsChanged(const Stub::RectI& r) override { add("bounds " + rect(r)); }
    void onClientStopped(int32_t code) override { add("stopped " + std::to_string(code)); }
    void requestShowOverlay() override { add("requestShow"); }
    void requestShowTestOverlay(const Stub::TestOverlayInfo&) override { add("requestShowTest"); }
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
inline std::string screenClientRect(HWND window)
{
    RECT r{};
    GetClientRect(window, &r);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
           std::to_string(r.bottom);
}

// A game: one window presenting through a DXGI swap chain.
struct Game
{
    Game()
    {
        WNDCLASSEXW wc{sizeof(wc)};
        wc.lpfnWndProc = DefWindowProcW;
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

    // Pumps messages and presents frames until `done` or `limit`.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (done())
                return true;
            if (IsWindow(window))
                present();
            Sleep(5);
        }
        return false;
    }

    // One frame; counted, and the longest time between two frames kept.
    void present()
    {
        swapChain->Present(0, 0);
        const auto now = std::chrono::steady_clock::now();
        if (frames++ > 0) {
            const double ms = std::chrono::duration<double, std::milli>(now - last).count();
            longestFrameMs = std::max(longestFrameMs, ms);
            if (keepFrameTimes)
                frameTimesMs.push_back(ms);
        }
        last = now;
    }

    HWND window = nullptr;
    HRESULT created = E_FAIL;
    int frames = 0;
    double longestFrameMs = 0;
    bool keepFrameTimes = false;  // a benchmark's: every frame's time kept in frameTimesMs
    std::vector<double> frameTimesMs;
    std::chrono::steady_clock::time_point last;
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain;
};

// A client registered with this process's host, in a game that presents, its overlay shown with
// one 64 x 64 window of the host.
struct LiveClient
{
    explicit LiveClient(LogFolder& log) : log(log) {}

    Dll dll;
    LogFolder& log;
    std::string pipe = "client_harness_host_" + std::to_string(GetCurrentProcessId());
    Game game;
    std::shared_ptr<RecordingHost> host = std::make_shared<RecordingHost>();
    std::unique_ptr<Host::HostPipeServer> server;
    Stub::ClientInfo info;
    std::unique_ptr<Host::HostOverlay> overlay;
    std::unique_ptr<Host::HostWindow> window;
    std::unique_ptr<Host::HostFrameBuffer> buffer;
    std::unique_ptr<Host::ClientConnection> connection;
    std::vector<uint32_t> pixels = std::vector<uint32_t>(64 * 64, 0xFF336699);

    static void check(bool ok, const char* what)
    {
        if (!ok)
            throw std::runtime_error(std::string("Live client: no ") + what);
    }

    // Throws std::runtime_error naming the step that failed.
    void start(bool waitShown = true)
    {
        InitParamsEx params{};
        params.version = InitParamsExVersion;
        params.pipeHostName = pipe.c_str();
        params.logDirectory = log.utf8.c_str();
        params.graphicApi = GraphicApiDxgi;
        params.enableHotkeys = 1;
        check(dll.initializeEx(&params) == Success, "initializeEx");
        check(game.created == S_OK, "a swap chain");
        check(game.runUntil([&] { return dll.state() == Success; }), "the client created");
        startHost();
        check(dll.prepare() == Success, "registration");
        info = host->client();
        overlay = Host::HostOverlay::open(info.shmemName);
        window = Host::HostWindow::create({0, 0, 64, 64});
        buffer = Host::HostFrameBuffer::create(64 * 64);
        window->publishFrame(*buffer, 64, 64, pixels.data(), 64 * 4);
        overlay->showWindow(window->id());
        connection = std::make_unique<Host::ClientConnection>(info.pipeName);
        connection->open();
        check(connection->service().showOverlay(), "showOverlay");
        check(!waitShown || game.runUntil([&] { return host->count("shown") == 1; }), "the overlay shown");
    }

    void startHost(std::shared_ptr<Stub::OverlayHostIf> handler = nullptr)
    {
        server = std::make_unique<Host::HostPipeServer>(pipe, handler ? handler : host);
        server->start();
    }

    bool presentFrames(int count)
    {
        const int until = game.frames + count;
        return game.runUntil([&] { return game.frames >= until; });
    }
};

// The process's private bytes and handle count, for leak checks.
inline size_t privateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    // Wine leaves PrivateUsage at 0 and reports the process's anonymous memory as PagefileUsage,
    // which Windows keeps equal to PrivateUsage.
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

inline DWORD handleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    // Wine answers 0: count the handle values that name an object instead.
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x40000; value += 4)
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    return count;
}

}  // namespace ClientHarness
