// A live client in a game, in this process, against hostile peers and broken hosts: malformed
// messages to the client's own pipe, malformed shared-memory blocks, a host that hangs or dies
// holding a mutex or in a call, a host that stops reading, many reconnects. The game must keep
// presenting and the overlay keep running. HOSTILE_MESSAGES and HOSTILE_RECONNECTS set the
// counts (CI runs fewer than a full run).

#include "test_log.h"
#include "overlay/overlay_common/ipc/pipe.h"
#include "host_sdk/shared_blocks.h"
#include "win/unique_handle.h"

#include <gtest/gtest.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <climits>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>

namespace {

using namespace ClientHarness;
using namespace std::chrono_literals;
namespace Ipc = Overlay::Ipc;

int envCount(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? std::atoi(text) : fallback;
}

const char* const refusedLine = "Refused the host's frame: ";

// Still running: answers on its pipe, never stopped.
void expectRunning(LiveClient& c)
{
    EXPECT_EQ(c.dll.state(), Success);
    EXPECT_EQ(c.host->count("stopped 1"), 0u) << c.host->all();
    c.connection->close();
    Host::ClientConnection fresh(c.info.pipeName);
    fresh.open();
    EXPECT_TRUE(fresh.service().ping());
    fresh.close();
    c.connection->open();
}

// --- Hostile peer on the client's pipe ----------------------------------------------------------

std::string validPing()
{
    auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>();
    apache::thrift::protocol::TCompactProtocol protocol(buffer);
    protocol.writeMessageBegin("ping", apache::thrift::protocol::T_CALL, 0);
    Stub::OverlayClient_ping_args().write(&protocol);
    protocol.writeMessageEnd();
    return buffer->getBufferAsString();
}

// Message `i` of the attack: each kind in turn, its bytes from a generator seeded by `i`. Random and
// mutated messages are the fuzz target's; here the ones that would cost the live client the most.
std::string hostileMessage(int i, const std::string& ping)
{
    std::mt19937 random(i);
    switch (i % 4) {
    case 0:  // a method name of 2 GiB announced in 5 bytes
        return std::string("\x82\x21\x00\xFF\xFF\xFF\xFF\x07", 8);
    case 1:  // a call's arguments with a string or list of 2^28 elements
        return ping.substr(0, ping.size() - 1) + (random() % 2 ? "\x18\xFF\xFF\xFF\xFF\x07" : "\x19\xFF\xFF\xFF\x7F");
    case 2:  // truncated
        return ping.substr(0, random() % ping.size());
    default: {  // oversized
        std::string message(16 * 1024 + random() % 4096, '\0');
        for (char& c : message)
            c = static_cast<char>(random() & 0xFF);
        return message;
    }
    }
}

// Connects to the pipe (waiting while the single instance is busy), writes, and hangs up.
bool sendRaw(const std::string& path, const std::string& bytes)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        Win::UniqueFileHandle pipe(
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) {
            if (GetLastError() != ERROR_PIPE_BUSY && GetLastError() != ERROR_FILE_NOT_FOUND)
                return false;
            WaitNamedPipeA(path.c_str(), 1000);
            continue;
        }
        DWORD written = 0;
        WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        return true;
    }
    return false;
}

TEST(Hostile, Peer)
{
    TestLog log;
    LiveClient c(log);
    ASSERT_NO_THROW(c.start());
    const int count = envCount("HOSTILE_MESSAGES", 1200);
    const std::string path = Ipc::makePipePath(c.info.pipeName);
    const std::string ping = validPing();
    c.connection->close();  // the pipe has one instance: the peer's turn
    // A host gone from the pipe can no longer hide the overlay: it hides by itself.
    EXPECT_TRUE(c.game.runUntil([&] { return log.count("Hide overlay") == 1; }, 5s));

    const size_t before = privateBytes();
    const int framesBefore = c.game.frames;
    std::atomic<int> sent{0};
    std::atomic<bool> done{false};
    std::thread peer([&] {
        for (int i = 0; i < count; ++i)
            sent += sendRaw(path, hostileMessage(i, ping)) ? 1 : 0;
        done = true;
    });
    c.game.runUntil([&] { return done.load(); }, 10min);
    peer.join();
    const size_t after = privateBytes();

    EXPECT_EQ(sent, count);
    EXPECT_GT(c.game.frames, framesBefore);
    c.connection->open();
    EXPECT_NO_FATAL_FAILURE(expectRunning(c));
    EXPECT_LT(after, before + 16 * 1024 * 1024);
}

// --- Hostile host's shared memory ---------------------------------------------------------------

struct BlockCase
{
    const char* name;
    std::function<void(LiveClient&)> spoil;
    const char* refusal;  // the log's reason, or nullptr where the frame is drawn as it is
};

// A frame buffer of `capacity` pixels holding a frame of `width` x `height`, named by the window.
Host::HostFrameBuffer& newBuffer(LiveClient& c, uint32_t capacity, uint32_t width = 0, uint32_t height = 0)
{
    static std::vector<std::unique_ptr<Host::HostFrameBuffer>> kept;
    kept.push_back(Host::HostFrameBuffer::create(capacity));
    const auto lock = c.window->lock();
    kept.back()->header()->width = width;
    kept.back()->header()->height = height;
    kept.back()->setDirty(true);
    c.window->setFrameBuffer(kept.back()->id());
    return *kept.back();
}

// A frame buffer in a section whose pixel pages were reserved and never committed: the first read
// of a pixel would fault in the game.
void reservedBuffer(LiveClient& c)
{
    static std::vector<HANDLE> kept;
    const Ipc::SharedId id = Ipc::makeSharedId();
    const uint32_t capacity = 64 * 64;
    const auto size = static_cast<DWORD>(Ipc::frameBufferBlockSize(capacity));
    kept.push_back(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0, size,
                                      Ipc::idToName(id).c_str()));
    auto* block = static_cast<Ipc::FrameBufferLayout*>(MapViewOfFile(kept.back(), FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(block, nullptr);
    ASSERT_NE(VirtualAlloc(block, Ipc::frameBufferHeaderSize, MEM_COMMIT, PAGE_READWRITE), nullptr);
    Host::writeHeader(block, size);
    block->id = id;
    block->capacity = capacity;
    block->width = block->height = 64;
    block->dirty = 1;
    const auto lock = c.window->lock();
    c.window->setFrameBuffer(id);
}

// A window block spoilt by `spoil`, shown instead of the good one.
void showSpoiltWindow(LiveClient& c, const std::function<void(Ipc::SharedHeader&)>& spoil)
{
    static std::vector<std::unique_ptr<Host::HostWindow>> kept;
    kept.push_back(Host::HostWindow::create({0, 0, 64, 64}));
    kept.back()->setFrameBuffer(c.buffer->id());
    spoil(kept.back()->header()->header);
    c.overlay->showWindow(kept.back()->id());
}

void setRect(LiveClient& c, const Ipc::SharedRect& rect)
{
    const auto lock = c.window->lock();
    c.window->setRect(rect);
}

std::function<void(LiveClient&)> rectangle(Ipc::SharedRect rect)
{
    return [rect](LiveClient& c) { setRect(c, rect); };
}

TEST(Hostile, SharedMemory)
{
    TestLog log;
    LiveClient c(log);
    ASSERT_NO_THROW(c.start());
    const BlockCase cases[] = {
        {"window magic", [](LiveClient& c) { showSpoiltWindow(c, [](auto& h) { h.magic ^= 1; }); },
         "Wrong magic number"},
        {"window version", [](LiveClient& c) { showSpoiltWindow(c, [](auto& h) { h.version = 2; }); },
         "Unsupported version"},
        {"window size", [](LiveClient& c) { showSpoiltWindow(c, [](auto& h) { h.size = 0xFFFFFFFF; }); },
         "Wrong data size"},
        {"no such window", [](LiveClient& c) { c.overlay->showWindow(Ipc::makeSharedId()); }, nullptr},
        {"buffer magic", [](LiveClient& c) { newBuffer(c, 16, 4, 4).header()->header.magic = 0; },
         "Wrong magic number"},
        {"buffer version", [](LiveClient& c) { newBuffer(c, 16, 4, 4).header()->header.version = 0; },
         "Unsupported version"},
        {"capacity beyond the block",
         [](LiveClient& c) {
             auto& b = newBuffer(c, 16, 4, 4);
             b.header()->capacity = 0x40000000;
             b.header()->header.size = 0;
         },
         "Wrong data size"},
        {"frame beyond capacity", [](LiveClient& c) { newBuffer(c, 16, 65535, 65535); }, "Wrong data size"},
        {"frame too large for a texture", [](LiveClient& c) { newBuffer(c, 10000, 10000, 1); }, "Frame too large"},
        {"pixels never committed", reservedBuffer, "Memory not committed"},
        {"huge rectangle", rectangle({INT_MIN, INT_MIN, INT_MAX, INT_MAX}), nullptr},
        {"negative rectangle", rectangle({100, 100, -100, -100}), nullptr},
        {"off-surface rectangle", rectangle({-5000, -5000, -4000, -4000}), nullptr},
    };
    for (const BlockCase& spoilt : cases) {
        SCOPED_TRACE(spoilt.name);
        const std::string line = std::string(refusedLine) + (spoilt.refusal ? spoilt.refusal : "");
        const size_t before = log.count(line);
        spoilt.spoil(c);
        if (spoilt.refusal != nullptr) {
            EXPECT_TRUE(c.game.runUntil([&] { return log.count(line) > before; }));
        }
        EXPECT_TRUE(c.presentFrames(5));
        // Back to the good blocks, drawn again.
        c.overlay->showWindow(c.window->id());
        setRect(c, {0, 0, 64, 64});
        c.window->publishFrame(*c.buffer, 64, 64, c.pixels.data(), 64 * 4);
        EXPECT_TRUE(c.game.runUntil([&] { return !c.buffer->dirty(); }));
    }

    // A frame buffer id that changes every frame, then the frame's fields rewritten while the
    // client reads them, without the mutex.
    for (int frame = 0; frame < 60; ++frame) {
        {
            const auto lock = c.window->lock();
            c.window->setFrameBuffer(Ipc::makeSharedId());
        }
        c.presentFrames(1);
    }
    newBuffer(c, 64 * 64, 64, 64);
    std::atomic<bool> done{false};
    std::thread rewriter([&] {
        std::mt19937 random(7);
        auto* header = c.buffer->header();
        while (!done) {
            header->width = random() % 3 ? random() % 128 : random();
            header->height = random() % 3 ? random() % 128 : random();
            header->capacity = random() % 3 ? 64 * 64 : random();
            header->dirty = 1;
        }
    });
    {
        const auto lock = c.window->lock();
        c.window->setFrameBuffer(c.buffer->id());
    }
    c.presentFrames(200);
    done = true;
    rewriter.join();
    c.buffer->header()->capacity = 64 * 64;
    c.window->publishFrame(*c.buffer, 64, 64, c.pixels.data(), 64 * 4);
    EXPECT_TRUE(c.game.runUntil([&] { return !c.buffer->dirty(); }));
    EXPECT_NO_FATAL_FAILURE(expectRunning(c));
}

// --- Host faults --------------------------------------------------------------------------------

// The server end of the client's own pipe, among this process's handles.
HANDLE pipeServerEnd(const std::string& name)
{
    const std::wstring wanted = L"\\" + std::wstring(name.begin(), name.end());
    alignas(FILE_NAME_INFO) char buffer[1024];
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
    for (uintptr_t value = 4; value < 0x40000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (GetNamedPipeInfo(handle, &flags, nullptr, nullptr, nullptr) && (flags & PIPE_SERVER_END) &&
            GetFileInformationByHandleEx(handle, FileNameInfo, info, sizeof buffer) &&
            std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)) == wanted)
            return handle;
    }
    return nullptr;
}

// A host in a process of its own: this executable running one HostileChild case, told what to
// do through the environment; it signals `ready` and then waits to be killed.
struct ChildHost
{
    std::string ready = "client_hostile_ready_" + std::to_string(GetCurrentProcessId());
    Win::UniqueHandle readyEvent{CreateEventA(nullptr, TRUE, FALSE, ready.c_str())};
    PROCESS_INFORMATION process{};

    ChildHost(const char* testCase, const std::string& argument)
    {
        SetEnvironmentVariableA("HOSTILE_CHILD_READY", ready.c_str());
        SetEnvironmentVariableA("HOSTILE_CHILD_ARGUMENT", argument.c_str());
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path) + L"\" --gtest_filter=HostileChild." +
                               std::wstring(testCase, testCase + std::strlen(testCase));
        STARTUPINFOW startup{sizeof(startup)};
        CreateProcessW(path, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
        SetEnvironmentVariableA("HOSTILE_CHILD_READY", nullptr);
    }
    ~ChildHost() { kill(); }
    bool isReady() const { return WaitForSingleObject(readyEvent.get(), 0) == WAIT_OBJECT_0; }
    void kill()
    {
        if (process.hProcess == nullptr)
            return;
        TerminateProcess(process.hProcess, 9);
        WaitForSingleObject(process.hProcess, 10000);
        Win::UniqueHandle(process.hProcess).reset();
        Win::UniqueHandle(process.hThread).reset();
        process = {};
    }
};

void signalReadyAndWait()
{
    Win::UniqueHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, std::getenv("HOSTILE_CHILD_READY")));
    SetEvent(ready.get());
    Sleep(INFINITE);
}

// Takes the named mutex and keeps it.
TEST(HostileChild, HoldMutex)
{
    if (std::getenv("HOSTILE_CHILD_READY") == nullptr)
        GTEST_SKIP() << "started by Hostile.HostFaults";
    Ipc::NamedMutex mutex;
    mutex.open(std::getenv("HOSTILE_CHILD_ARGUMENT"), false);
    mutex.lock();
    signalReadyAndWait();
}

// Serves OverlayHost on the named pipe and never answers a call.
TEST(HostileChild, HangInCall)
{
    if (std::getenv("HOSTILE_CHILD_READY") == nullptr)
        GTEST_SKIP() << "started by Hostile.HostFaults";
    struct Hanging : RecordingHost
    {
        void registerClient(Stub::HostInfo&, const Stub::ClientInfo&) override { signalReadyAndWait(); }
        bool ping() override
        {
            signalReadyAndWait();
            return true;
        }
    };
    Host::HostPipeServer server(std::getenv("HOSTILE_CHILD_ARGUMENT"), std::make_shared<Hanging>());
    server.start();
    Sleep(INFINITE);
}

// A host whose server thread stops reading the pipe once the first mouse move arrives.
struct StalledHost : RecordingHost
{
    Win::UniqueHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    void onMouseMoveEvent(const Stub::MouseMoveEvent&) override { WaitForSingleObject(release.get(), 60000); }
};

TEST(Hostile, HostFaults)
{
    TestLog log;
    LiveClient c(log);
    ASSERT_NO_THROW(c.start());
    const std::string released = "Host released the shared window";

    // Hangs holding the window's mutex: the game keeps presenting the last frame. Then dies
    // holding it: the abandoned mutex is taken over.
    {
        ChildHost child("HoldMutex", Ipc::idToName(c.window->mutexId()));
        ASSERT_TRUE(c.game.runUntil([&] { return child.isReady(); }));
        EXPECT_TRUE(c.game.runUntil([&] { return log.count("Host keeps the shared window locked") == 1; }));
        EXPECT_TRUE(c.presentFrames(100));
        child.kill();
        EXPECT_TRUE(c.game.runUntil([&] { return log.count(released) == 1; }));
    }

    // Killed in the middle of a call: the call fails, the game presents meanwhile, the next host
    // is served.
    {
        c.server.reset();
        ChildHost child("HangInCall", c.pipe);
        std::future<Result> prepared;
        ASSERT_TRUE(c.game.runUntil([&] {
            // Until the child listens, a call fails at once: call again.
            if (!prepared.valid() || prepared.wait_for(0s) == std::future_status::ready)
                prepared = std::async(std::launch::async, [&] { return c.dll.prepare(); });
            return child.isReady();
        }));
        EXPECT_TRUE(c.presentFrames(10));
        child.kill();
        EXPECT_TRUE(c.game.runUntil([&] { return prepared.wait_for(0s) == std::future_status::ready; }));
        EXPECT_NE(prepared.get(), Success);
        // Nor can the host hear a hide request: the overlay hides here.
        const size_t hides = log.count("Hide overlay");
        EXPECT_EQ(c.dll.hide(), Success);
        EXPECT_TRUE(c.game.runUntil([&] { return log.count("Hide overlay") > hides; }, 5s));
        c.startHost();
        EXPECT_EQ(c.dll.prepare(), Success);
    }

    // Hangs in the registration that the player's Shift+Tab asked for: the game presents and takes
    // input and a move meanwhile; the request fails once the host is killed, the sends queued
    // behind it then fail and hide the overlay, the move reaches the next host.
    {
        c.server.reset();
        ChildHost child("HangInCall", c.pipe);
        const std::string path = Ipc::makePipePath(c.pipe);
        ASSERT_TRUE(c.game.runUntil([&] { return WaitNamedPipeA(path.c_str(), 1) != FALSE; }));
        const size_t shows = log.count("Show overlay"), hides = log.count("Hide overlay");
        c.game.longestFrameMs = 0;
        BYTE keys[256] = {};
        GetKeyboardState(keys);
        keys[VK_SHIFT] = 0x80;
        SetKeyboardState(keys);
        PostMessageW(c.game.window, WM_KEYDOWN, VK_TAB, 1);
        PostMessageW(c.game.window, WM_KEYUP, VK_TAB, 0xC0000001);
        EXPECT_TRUE(c.game.runUntil([&] { return child.isReady(); }));
        keys[VK_SHIFT] = 0;
        SetKeyboardState(keys);
        ASSERT_TRUE(c.connection->service().showOverlay());
        EXPECT_TRUE(c.game.runUntil([&] { return log.count("Show overlay") > shows; }));
        PostMessageW(c.game.window, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));
        SetWindowPos(c.game.window, nullptr, 60, 70, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        EXPECT_TRUE(c.presentFrames(20));
        EXPECT_LT(c.game.longestFrameMs, 1000);
        child.kill();
        EXPECT_TRUE(c.game.runUntil([&] { return log.count("Failed to request show overlay") == 1; }));
        EXPECT_TRUE(c.game.runUntil([&] { return log.count("Hide overlay") > hides; }));
        c.startHost();
        EXPECT_EQ(c.dll.prepare(), Success);
        EXPECT_EQ(RecordingHost::rect(c.host->client().scurfaceBounds), screenClientRect(c.game.window));
    }

    // Stops reading: one write runs into its time-out while the game goes on, the connection is
    // closed, the overlay hides (input that cannot reach the host must reach the game).
    {
        auto stalled = std::make_shared<StalledHost>();
        c.server.reset();
        c.startHost(stalled);
        ASSERT_EQ(c.dll.prepare(), Success);
        ASSERT_TRUE(c.connection->service().showOverlay());
        const size_t hides = log.count("Hide overlay");
        c.game.longestFrameMs = 0;
        int x = 0;
        EXPECT_TRUE(c.game.runUntil([&] {
            for (int i = 0; i < 100; ++i, ++x)
                PostMessageW(c.game.window, WM_MOUSEMOVE, 0, MAKELPARAM(x % 300, x % 200));
            return log.count("Failed to send MouseMoveEvent") == 1;
        }));
        EXPECT_TRUE(c.game.runUntil([&] { return log.count("Hide overlay") > hides; }, 5s));
        EXPECT_LT(c.game.longestFrameMs, 1000);
        SetEvent(stalled->release.get());
        c.server.reset();
        c.startHost();
        EXPECT_EQ(c.dll.prepare(), Success);
    }

    // Reconnects of the host to the client's pipe, a frame drawn between each.
    const int reconnects = envCount("HOSTILE_RECONNECTS", 100);
    c.connection->close();
    for (int i = 0; i < reconnects; ++i) {
        Host::ClientConnection connection(c.info.pipeName);
        connection.open();
        ASSERT_TRUE(connection.service().ping()) << i;
        connection.close();
        c.game.present();
    }
    c.connection->open();
    EXPECT_NO_FATAL_FAILURE(expectRunning(c));

    // The client's own pipe fails (its wait for the host cancelled under it): the host can no
    // longer reach the client, which stops and tells the host that it failed.
    c.connection->close();
    const HANDLE pipe = pipeServerEnd(c.info.pipeName);
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(c.game.runUntil([&] {
        CancelIoEx(pipe, nullptr);  // until it is the wait for a connection that ends
        return log.count("Stop IPC server") == 1;
    }));
    EXPECT_TRUE(c.game.runUntil([&] { return c.host->count("stopped 1") == 1; })) << c.host->all();
    EXPECT_EQ(c.dll.state(), Stopped);
}

}  // namespace
