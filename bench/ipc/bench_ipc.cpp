// Cost of the IPC layer against the bare system calls it is built on:
//  - ping round trip through IpcClient and ServerImpl against an overlapped named-pipe echo of
//    the same bytes (p50 and p99 over 10,000 calls);
//  - one-way onKeyEvent calls per second against raw writes of the same bytes;
//  - reading a 1920x1080 frame from a FrameBuffer (lock, copy, clear dirty) against memcpy.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "common/bench_util.h"
#include "host_sdk/host_pipe.h"
#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"
#include "overlay/overlay_common/ipc/pipe.h"
#include "overlay/overlay_common/ipc/shared_memory.h"

using namespace Overlay;
using Bench::Clock;
using Bench::percentile;

namespace {

constexpr int roundTrips = 10000;
constexpr int warmUp = 500;
constexpr int onewayCalls = 20000;

double microseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::micro>(duration).count();
}

// A host that answers ping and counts key events.
class CountingHost : public Ipc::Stub::OverlayHostIf
{
public:
    void onKeyEvent(const Ipc::Stub::KeyEvent&) override { ++keys; }
    void onMouseMoveEvent(const Ipc::Stub::MouseMoveEvent&) override {}
    void onMouseClickEvent(const Ipc::Stub::MouseClickEvent&) override {}
    void onMouseWheelEvent(const Ipc::Stub::MouseWheelEvent&) override {}
    void onOverlayShown() override {}
    void onOverlayHidden() override {}
    void onSurfaceBoundsChanged(const Ipc::Stub::RectI&) override {}
    void onClientStopped(const int32_t) override {}
    void requestShowOverlay() override {}
    void requestShowTestOverlay(const Ipc::Stub::TestOverlayInfo&) override {}
    void requestHideOverlay() override {}
    void registerClient(Ipc::Stub::HostInfo&, const Ipc::Stub::ClientInfo&) override {}
    int64_t getId() override { return 1; }
    bool ping() override { return true; }
    std::atomic<int> keys{0};
};

// The bytes a generated caller or processor would send for one message.
template <class Write>
std::string encode(Write&& write)
{
    auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>();
    apache::thrift::protocol::TCompactProtocol protocol(buffer);
    write(protocol);
    return buffer->getBufferAsString();
}

std::string pingRequest()
{
    return encode([](apache::thrift::protocol::TProtocol& p) {
        Ipc::Stub::OverlayHost_ping_pargs args;
        p.writeMessageBegin("ping", apache::thrift::protocol::T_CALL, 0);
        args.write(&p);
        p.writeMessageEnd();
    });
}

std::string pingReply()
{
    return encode([](apache::thrift::protocol::TProtocol& p) {
        Ipc::Stub::OverlayHost_ping_result result;
        result.success = true;
        result.__isset.success = true;
        p.writeMessageBegin("ping", apache::thrift::protocol::T_REPLY, 0);
        result.write(&p);
        p.writeMessageEnd();
    });
}

Ipc::Stub::KeyEvent sampleKey()
{
    Ipc::Stub::KeyEvent key;
    key.type = 1;
    key.modifiers = 2;
    key.windowsKeyCode = 0x41;
    key.nativeKeyCode = 0x1E0001;
    key.character = 'a';
    key.unmodifiedCharacter = 'a';
    return key;
}

std::string keyMessage()
{
    return encode([](apache::thrift::protocol::TProtocol& p) {
        Ipc::Stub::OverlayHost_onKeyEvent_pargs args;
        const Ipc::Stub::KeyEvent key = sampleKey();
        args.event = &key;
        p.writeMessageBegin("onKeyEvent", apache::thrift::protocol::T_ONEWAY, 0);
        args.write(&p);
        p.writeMessageEnd();
    });
}

// Bare overlapped pipe I/O: one operation, waited for.
class RawPipe
{
public:
    explicit RawPipe(HANDLE handle) : handle_(handle), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~RawPipe()
    {
        CloseHandle(event_);
        CloseHandle(handle_);
    }

    DWORD io(bool write, void* data, DWORD length)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        DWORD count = 0;
        const BOOL done = write ? WriteFile(handle_, data, length, &count, &overlapped)
                                : ReadFile(handle_, data, length, &count, &overlapped);
        if (!done && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(handle_, &overlapped, &count, TRUE);
        else if (!done)
            return 0;
        return count;
    }

    bool readExactly(std::string& buffer, size_t length)
    {
        buffer.resize(length);
        for (size_t have = 0; have < length;) {
            const DWORD count = io(false, &buffer[have], DWORD(length - have));
            if (count == 0)
                return false;
            have += count;
        }
        return true;
    }

    bool writeAll(const std::string& data)
    {
        return io(true, const_cast<char*>(data.data()), DWORD(data.size())) == data.size();
    }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_;
    HANDLE event_;
};

// A raw server on a fresh pipe, running `serve` on its connection in a thread.
class RawServer
{
public:
    explicit RawServer(std::function<void(RawPipe&)> serve) : name_(Ipc::idToName(Ipc::makeSharedId()))
    {
        HANDLE pipe = CreateNamedPipeA(Ipc::makePipePath(name_).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
        thread_ = std::thread([pipe, serve] {
            RawPipe connection(pipe);
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (!ConnectNamedPipe(pipe, &overlapped) && GetLastError() == ERROR_IO_PENDING) {
                DWORD ignored = 0;
                GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
            }
            CloseHandle(overlapped.hEvent);
            serve(connection);
        });
    }
    ~RawServer() { thread_.join(); }

    RawPipe connect()
    {
        return RawPipe(CreateFileA(Ipc::makePipePath(name_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    }

private:
    std::string name_;
    std::thread thread_;
};

struct Latency
{
    double p50;
    double p99;
};

Latency measure(const std::function<void()>& call)
{
    for (int i = 0; i < warmUp; ++i)
        call();
    std::vector<double> samples;
    samples.reserve(roundTrips);
    for (int i = 0; i < roundTrips; ++i) {
        const auto start = Clock::now();
        call();
        samples.push_back(microseconds(Clock::now() - start));
    }
    return {percentile(samples, 0.5), percentile(samples, 0.99)};
}

void benchPing()
{
    const std::string request = pingRequest();
    const std::string reply = pingReply();
    Latency raw{};
    {
        RawServer server([&](RawPipe& connection) {
            std::string buffer;
            while (connection.readExactly(buffer, request.size()) && connection.writeAll(reply)) {
            }
        });
        RawPipe client = server.connect();
        std::string buffer;
        raw = measure([&] {
            client.writeAll(request);
            client.readExactly(buffer, reply.size());
        });
    }  // the client's handle closes first, which ends the server's loop

    Latency ipc{};
    {
        const std::string name = Ipc::idToName(Ipc::makeSharedId());
        Host::HostPipeServer server(name, std::make_shared<CountingHost>());
        server.start();
        Ipc::IpcClient ipcClient(name);
        ipcClient.open();
        Ipc::Stub::OverlayHostClient client(ipcClient.getProtocol());
        ipc = measure([&] { client.ping(); });
        ipcClient.close();
    }

    std::printf("ping round trip, %d calls (%zu bytes out, %zu back)\n", roundTrips, request.size(), reply.size());
    std::printf("  raw overlapped pipe echo   p50 %8.1f us   p99 %8.1f us\n", raw.p50, raw.p99);
    std::printf("  IpcClient -> ServerImpl    p50 %8.1f us   p99 %8.1f us\n", ipc.p50, ipc.p99);
    std::printf("  ratio (target <= 1.5)      p50 %8.2f      p99 %8.2f\n", ipc.p50 / raw.p50, ipc.p99 / raw.p99);
}

void benchOneway()
{
    const std::string message = keyMessage();
    double rawRate = 0;
    {
        RawServer server([&](RawPipe& connection) {
            std::string buffer;
            while (connection.readExactly(buffer, message.size())) {
            }
        });
        RawPipe client = server.connect();
        const auto start = Clock::now();
        for (int i = 0; i < onewayCalls; ++i)
            client.writeAll(message);
        rawRate = onewayCalls / std::chrono::duration<double>(Clock::now() - start).count();
    }

    double ipcRate = 0;
    {
        const std::string name = Ipc::idToName(Ipc::makeSharedId());
        auto host = std::make_shared<CountingHost>();
        Host::HostPipeServer server(name, host);
        server.start();
        Ipc::IpcClient ipcClient(name);
        ipcClient.open();
        Ipc::Stub::OverlayHostClient client(ipcClient.getProtocol());
        const Ipc::Stub::KeyEvent key = sampleKey();
        const auto start = Clock::now();
        for (int i = 0; i < onewayCalls; ++i)
            client.onKeyEvent(key);
        ipcRate = onewayCalls / std::chrono::duration<double>(Clock::now() - start).count();
        ipcClient.close();
        while (host->keys < onewayCalls)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::printf("one-way onKeyEvent, %d calls (%zu bytes each)\n", onewayCalls, message.size());
    std::printf("  raw overlapped writes      %10.0f calls/s\n", rawRate);
    std::printf("  OverlayHostClient          %10.0f calls/s\n", ipcRate);
    std::printf("  ratio                      %10.2f\n", ipcRate / rawRate);
}

void benchFrame()
{
    constexpr uint32_t width = 1920, height = 1080;
    constexpr size_t bytes = size_t(width) * height * 4;
    constexpr int rounds = 200;
    auto window = Host::HostWindow::create({0, 0, int32_t(width), int32_t(height)});
    auto buffer = Host::HostFrameBuffer::create(width * height);
    std::vector<uint8_t> source(bytes, 0x7F);
    window->publishFrame(*buffer, width, height, source.data(), width * 4);
    auto client = Ipc::SharedWindow::open(window->id());
    std::vector<uint8_t> target(bytes);

    std::vector<double> plain;
    std::vector<double> framed;
    std::vector<double> locking;
    for (int round = 0; round < rounds; ++round) {
        auto lockStart = Clock::now();
        client->lock();
        locking.push_back(microseconds(Clock::now() - lockStart));

        auto start = Clock::now();
        std::memcpy(target.data(), buffer->pixels(), bytes);
        plain.push_back(microseconds(Clock::now() - start));

        buffer->setDirty(true);
        start = Clock::now();
        {
            auto lock = client->lock();
            Ipc::FrameBuffer& frameBuffer = client->currentFrameBuffer();
            if (frameBuffer.dirty()) {
                frameBuffer.frame().copyTo(target.data(), width * 4);
                frameBuffer.clearDirty();
            }
        }
        framed.push_back(microseconds(Clock::now() - start));
    }
    const double plainMedian = percentile(plain, 0.5);
    const double framedMedian = percentile(framed, 0.5);
    const double gigabytes = bytes / 1e9;
    std::printf("1920x1080 frame read (%zu bytes), median of %d\n", bytes, rounds);
    std::printf("  memcpy                     %8.1f us  %6.2f GB/s\n", plainMedian, gigabytes / (plainMedian / 1e6));
    std::printf("  FrameBuffer lock+copy      %8.1f us  %6.2f GB/s\n", framedMedian, gigabytes / (framedMedian / 1e6));
    std::printf("  speed vs memcpy (target >= 0.8) %.2f\n", plainMedian / framedMedian);
    std::printf("  of which the window mutex's lock and unlock: %.1f us\n", percentile(locking, 0.5));
}

}  // namespace

int main()
{
    benchPing();
    benchOneway();
    benchFrame();
    return 0;
}
