// minimal_host: the least an integrator's host does with the overlay SDK. It brings
// overlay_client_x64.dll into a running game, serves the host pipe, gives the client a picture in
// shared memory, shows it, hides it and ends. Each step is printed on its own line.
//
//     minimal_host.exe GAME_PROCESS_ID [PATH\overlay_client_x64.dll]
//
// overlay_loader_x64.dll must lie beside the overlay DLL.

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_sdk/host_pipe.h"
#include "host_sdk/injection.h"
#include "host_sdk/remote_process.h"
#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/overlay_client_api.h"

using namespace Overlay::Host;
namespace Stub = Overlay::Ipc::Stub;

constexpr DWORD timeoutMs = 30000;

// The host's side of the pipe; the client calls it on the server's threads.
class Handler : public Stub::OverlayHostIf
{
public:
    void registerClient(Stub::HostInfo& answer, const Stub::ClientInfo& info) override
    {
        answer.result = true;
        answer.id = 1;
        answer.version = "minimal_host 1.0";
        update([&] { client = info, registered = true; });
    }
    void onOverlayShown() override
    {
        update([&] { shown = true; });
    }
    void onOverlayHidden() override
    {
        update([&] { shown = false; });
    }
    void onKeyEvent(const Stub::KeyEvent&) override {}
    void onMouseMoveEvent(const Stub::MouseMoveEvent&) override {}
    void onMouseClickEvent(const Stub::MouseClickEvent&) override {}
    void onMouseWheelEvent(const Stub::MouseWheelEvent&) override {}
    void onSurfaceBoundsChanged(const Stub::RectI&) override {}
    void onClientStopped(int32_t) override {}
    void requestShowOverlay() override {}
    void requestShowTestOverlay(const Stub::TestOverlayInfo&) override {}
    void requestHideOverlay() override {}
    int64_t getId() override { return 1; }
    bool ping() override { return true; }

    void waitFor(const char* what, const std::function<bool()>& done)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done))
            throw std::runtime_error(std::string("timed out waiting for ") + what);
    }

    Stub::ClientInfo client;
    bool registered = false;
    bool shown = false;

private:
    void update(const std::function<void()>& change)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
};

static void step(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

static int run(DWORD pid, const std::wstring& dll)
{
    auto handler = std::make_shared<Handler>();
    const std::string pipe = "minimal_host_" + std::to_string(GetCurrentProcessId());
    HostPipeServer server(pipe, handler);
    server.start();

    // In: through a message hook on the game's window thread, by the loader beside the DLL.
    RemoteProcess game = RemoteProcess::open(pid);
    const std::wstring folder = dll.substr(0, dll.find_last_of(L"\\/") + 1);
    loadThroughHook(game, dll, folder + L"overlay_loader_x64.dll", timeoutMs);
    const uintptr_t module = game.moduleBase(dll.substr(folder.size()), timeoutMs);
    step("injected");

    // The exports run in the game; the record's two texts follow it, its pointers hold offsets.
    OverlayClientApi::InitParamsEx params = {};
    params.version = OverlayClientApi::InitParamsExVersion;
    params.pipeHostName = reinterpret_cast<const char*>(sizeof params);
    params.logDirectory = nullptr;
    std::vector<uint8_t> record(sizeof params + pipe.size() + 1, 0);
    std::memcpy(record.data(), &params, sizeof params);
    std::memcpy(record.data() + sizeof params, pipe.c_str(), pipe.size());
    const size_t pipeField = offsetof(OverlayClientApi::InitParamsEx, pipeHostName);
    if (game.callExport(module, "initializeOverlayEx", record, {pipeField}, timeoutMs) != OverlayClientApi::Success)
        throw std::runtime_error("initializeOverlayEx failed");
    // The client exists once the game has presented a frame through the hooked API.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<uint8_t> none;
    while (game.callExport(module, "getOverlayClientState", none, {}, timeoutMs) != OverlayClientApi::Success) {
        if (GetTickCount64() > deadline)
            throw std::runtime_error("the overlay client did not start");
        Sleep(50);
    }
    game.callExport(module, "prepareOverlay", none, {}, timeoutMs);
    handler->waitFor("the client's registration", [&] { return handler->registered; });
    step("registered");

    // The picture: a window of 320 x 200 at the surface's top left, in opaque teal.
    const uint32_t width = 320, height = 200;
    std::vector<uint32_t> pixels(width * height, 0xFF008080);
    auto window = HostWindow::create({0, 0, int32_t(width), int32_t(height)});
    auto buffer = HostFrameBuffer::create(width * height);
    window->publishFrame(*buffer, width, height, pixels.data(), width * 4);
    auto overlay = HostOverlay::open(handler->client.shmemName);
    overlay->showWindow(window->id());

    ClientConnection client(handler->client.pipeName);
    client.open();
    client.service().showOverlay();
    handler->waitFor("the overlay to show", [&] { return handler->shown; });
    step("shown");
    client.service().hideOverlay();
    handler->waitFor("the overlay to hide", [&] { return !handler->shown; });
    step("hidden");
    client.close();
    server.stop();
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: minimal_host.exe GAME_PROCESS_ID [PATH\\overlay_client_x64.dll]\n");
        return 2;
    }
    // The DLL's full path: the game loads it from there. By default, beside this program.
    wchar_t path[MAX_PATH] = {};
    if (argc > 2) {
        wchar_t given[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, argv[2], -1, given, MAX_PATH);
        GetFullPathNameW(given, MAX_PATH, path, nullptr);
    } else {
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wcscpy(std::wcsrchr(path, L'\\') + 1, L"overlay_client_x64.dll");
    }
    try {
        return run(DWORD(std::strtoul(argv[1], nullptr, 10)), path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "minimal_host: %s\n", e.what());
        return 1;
    }
}
