// overlay_client_x64.dll driven through its exports in this process: the results of every stage, the
// versioned init record, the start-up refusal, and the results without a host and with a refusing
// one; a show and a hide leave the game's device to the game. Shown sessions with real input are the
// end-to-end test's.

#include "test_log.h"
#include "d3d9_demo_game.h"

#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <thread>
#include <vector>

namespace {

using namespace ClientHarness;

// The four guarded exports, which always agree.
void expectGuards(Dll& dll, Result expected)
{
    EXPECT_EQ(dll.state(), expected);
    EXPECT_EQ(dll.prepare(), expected);
    EXPECT_EQ(dll.show(nullptr), expected);
    EXPECT_EQ(dll.hide(), expected);
}

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

size_t threadsOfThisProcess()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof entry};
    size_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

TEST(Exports, BeforeInitialization)
{
    // Loaded, the DLL signals that hosts may start threads here; under Wine from a thread of its own
    // that waits in the system, which Wine then uses to make those threads.
    const size_t threadsBefore = threadsOfThisProcess();
    Dll dll;
    ASSERT_NE(dll.module, nullptr);
    const HANDLE loaded = OpenEventW(
        SYNCHRONIZE, FALSE, (L"Local\\overlay_client_loaded_" + std::to_wstring(GetCurrentProcessId())).c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(WaitForSingleObject(loaded, 10000), WAIT_OBJECT_0);
    CloseHandle(loaded);
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore + (wine ? 1 : 0));
    TestLog log;

    // The guards and the refused starts as a C host meets them are c_header_tests'; here the
    // versioned record without a pipe name.
    InitParamsEx noPipe = recordWithAllFieldsSet(nullptr, log.utf8);
    EXPECT_EQ(dll.initializeEx(&noPipe), InvalidArgument);
    expectGuards(dll, NotInitialized);

    // Version 1: what follows the log folder is not read (else no cursor hook, and Direct3D 9).
    PlacedRecord v1(recordWithAllFieldsSet("client_test_no_host", log.utf8), 1, false);
    ASSERT_EQ(dll.initializeEx(v1.record), Success);
    EXPECT_EQ(log.count(cursorHookLine), 1u);
    expectGuards(dll, ClientNotCreated);  // no frames presented: the window is not known yet

    int64_t id = 0;
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
    expectGuards(dll, ClientNotCreated);
}

TEST(Exports, Version2)
{
    Dll dll;
    TestLog log;
    // Reads the cursor switch; the Direct3D 9 choice that follows would fail start-up.
    PlacedRecord v2(recordWithAllFieldsSet("client_test_no_host", log.utf8), 2, false);
    EXPECT_EQ(dll.initializeEx(v2.record), Success);
    EXPECT_EQ(log.count(cursorHookLine), 0u);
    expectGuards(dll, ClientNotCreated);
}

TEST(Exports, Version3)
{
    Dll dll;
    TestLog log;
    // Reads the graphics API (Direct3D 9 is hooked instead of DXGI); the record ends where memory ends.
    PlacedRecord v3(recordWithAllFieldsSet("client_test_no_host", log.utf8), 3, true);
    EXPECT_EQ(dll.initializeEx(v3.record), Success);
    EXPECT_EQ(log.count("Hooking D3D9"), 1u);
    EXPECT_EQ(log.count("Hooking DXGI (D3D11)"), 0u);
    expectGuards(dll, ClientNotCreated);
    EXPECT_EQ(dll.initializeEx(v3.record), Success);
    EXPECT_EQ(log.count("Overlay already running"), 1u);
}

// Hosts that start the DLL from several threads at once: one start, whose result every call gets.
TEST(Exports, ConcurrentStarts)
{
    Dll dll;
    TestLog log;
    InitParamsEx params = recordWithAllFieldsSet("client_test_no_host", log.utf8);
    params.graphicApi = GraphicApiDxgi;
    std::vector<std::thread> hosts;
    std::vector<Result> results(4, Failed);
    for (size_t i = 0; i < results.size(); ++i)
        hosts.emplace_back([&, i] { results[i] = dll.initializeEx(&params); });
    for (std::thread& host : hosts)
        host.join();
    EXPECT_EQ(results, std::vector<Result>(4, Success));
    EXPECT_EQ(log.count("Run overlay client"), 1u);
    EXPECT_EQ(log.count("Overlay already running"), 3u);
    expectGuards(dll, ClientNotCreated);
}

// No log folder: the start succeeds and no log file appears, in the working folder or elsewhere.
TEST(Exports, NoLogDirectory)
{
    Dll dll;
    WIN32_FIND_DATAW found{};
    const auto logsHere = [&] {
        const HANDLE search = FindFirstFileW(L"overlay_client_*.log", &found);
        if (search == INVALID_HANDLE_VALUE)
            return false;
        FindClose(search);
        return true;
    };
    const bool before = logsHere();
    InitParamsEx params = recordWithAllFieldsSet("client_test_no_host", "");
    params.logDirectory = nullptr;
    params.graphicApi = GraphicApiDxgi;
    EXPECT_EQ(dll.initializeEx(&params), Success);
    expectGuards(dll, ClientNotCreated);
    EXPECT_EQ(logsHere(), before);
}

TEST(Exports, Blacklisted)
{
    Dll dll;
    TestLog log;
    const fs::path stub = exeFolder() / L"blacklisted" / L"FRAPS.dll";
    ASSERT_NE(LoadLibraryW(stub.c_str()), nullptr);

    InitParamsEx params = recordWithAllFieldsSet("client_test_no_host", log.utf8);
    params.graphicApi = GraphicApiDxgi;
    EXPECT_EQ(dll.initializeEx(&params), BlacklistedModules);
    EXPECT_EQ(dll.initializeEx(&params), BlacklistedModules);  // a second start: the first result
    const std::string text = log.text();
    const size_t modules = text.find("Process modules:");
    const size_t blacklisted = text.find("Blacklisted dlls:");
    ASSERT_NE(modules, std::string::npos);
    ASSERT_NE(blacklisted, std::string::npos);
    // Full paths in the first list, the file name alone in the second.
    EXPECT_NE(text.find(sizeof(void*) == 8 ? "overlay_client_x64.dll" : "overlay_client_x86.dll", modules),
              std::string::npos);
    EXPECT_LT(text.find("\\blacklisted\\FRAPS.dll", modules), blacklisted);
    EXPECT_NE(text.find("| FRAPS.dll", blacklisted), std::string::npos);
    EXPECT_NE(text.find("blacklisted dll(s) loaded in process", blacklisted), std::string::npos);
    expectGuards(dll, Stopped);
    int64_t id = 0;
    EXPECT_EQ(dll.id(&id), Success);
}

TEST(Exports, HostSession)
{
    Dll dll;
    TestLog log;
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
    EXPECT_EQ(RecordingHost::rect(info.scurfaceBounds), screenClientRect(game.window));

    // Shown, then hidden: nothing of the game's device is held once its swap chain is gone, the device
    // goes with the game's last reference.
    Host::ClientConnection connection(info.pipeName);
    connection.open();
    ASSERT_TRUE(connection.service().showOverlay());
    // The next frame draws the overlay, before the window thread has taken the show from its queue.
    game.present();
    EXPECT_EQ(log.count("First overlay frame drawn"), 1u);
    ASSERT_TRUE(game.runUntil([&] { return host->count("shown") == 1; })) << host->all();
    ASSERT_TRUE(connection.service().hideOverlay());
    ASSERT_TRUE(game.runUntil([&] { return host->count("hidden") == 1; })) << host->all();
    // Shown again: the renderer kept while hidden draws at once, none is made.
    ASSERT_TRUE(connection.service().showOverlay());
    ASSERT_TRUE(game.runUntil([&] { return host->count("shown") == 2; })) << host->all();
    EXPECT_EQ(log.count("Create Renderer"), 1u);
    ASSERT_TRUE(connection.service().hideOverlay());
    ASSERT_TRUE(game.runUntil([&] { return host->count("hidden") == 2; })) << host->all();
    game.swapChain.Reset();
    EXPECT_EQ(game.device.Detach()->Release(), 0u) << "the client keeps the game's device";

    // The game's window goes: the client stops with code 0, and stays stopped.
    DestroyWindow(game.window);
    EXPECT_TRUE(game.runUntil([&] { return host->count("stopped 0") == 1; })) << host->all();
    expectGuards(dll, Stopped);
    EXPECT_EQ(log.count("Stop overlay client: StopCode = 0"), 1u);
}

// A Direct3D 9 game: shown, the game goes full screen and the host hears the back buffer's bounds;
// hidden, the game's device goes with the game's last reference.
TEST(Exports, Direct3D9Session)
{
    Dll dll;
    TestLog log;
    Demo9::Options options;
    options.width = 320;
    options.height = 240;
    auto game = std::make_unique<Demo9::DemoGame>(options);
    const auto runUntil = [&](const std::function<bool()>& done) {
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < end;) {
            game->pumpMessages();
            game->renderFrame();
            if (done())
                return true;
        }
        return false;
    };
    const std::string pipe = "client_export_test_d3d9_" + std::to_string(GetCurrentProcessId());
    InitParamsEx params = recordWithAllFieldsSet(pipe.c_str(), log.utf8);
    ASSERT_EQ(dll.initializeEx(&params), Success);
    auto host = std::make_shared<RecordingHost>();
    Overlay::Host::HostPipeServer server(pipe, host);
    server.start();
    ASSERT_TRUE(runUntil([&] { return dll.state() == Success; }));
    ASSERT_EQ(dll.prepare(), Success);
    Host::ClientConnection connection(host->client().pipeName);
    connection.open();
    ASSERT_TRUE(connection.service().showOverlay());
    ASSERT_TRUE(runUntil([&] { return host->count("shown") == 1; })) << host->all();

    D3DDISPLAYMODE mode{};
    ASSERT_EQ(game->device()->GetDisplayMode(0, &mode), D3D_OK);
    ASSERT_EQ(game->reset([&](D3DPRESENT_PARAMETERS& p) {
        p.Windowed = FALSE;
        p.BackBufferWidth = mode.Width;
        p.BackBufferHeight = mode.Height;
        p.BackBufferFormat = mode.Format;
        p.FullScreen_RefreshRateInHz = mode.RefreshRate;
    }),
              D3D_OK);
    POINT origin{0, 0};
    ClientToScreen(game->window(), &origin);
    const std::string fullScreen = "bounds " + std::to_string(origin.x) + " " + std::to_string(origin.y) + " " +
                                   std::to_string(origin.x + LONG(mode.Width)) + " " +
                                   std::to_string(origin.y + LONG(mode.Height));
    EXPECT_TRUE(runUntil([&] { return host->count(fullScreen) >= 1; })) << host->all();
    EXPECT_EQ(log.count("Failed to draw overlay"), 0u);

    ASSERT_TRUE(connection.service().hideOverlay());
    ASSERT_TRUE(runUntil([&] { return host->count("hidden") == 1; })) << host->all();
    IDirect3DDevice9* device = game->device();
    device->AddRef();
    game.reset();
    EXPECT_EQ(device->Release(), 0u) << "the client keeps the game's device";
}

}  // namespace
