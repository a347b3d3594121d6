#pragma once

// Fixtures of the IPC tests: the peer process, fresh names, transport helpers and a connected
// pipe pair.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <thrift/transport/TTransport.h>
#include <thrift/transport/TTransportException.h>

#include "overlay/overlay_common/ipc/pipe.h"
#include "overlay/overlay_common/ipc/pipe_server.h"
#include "overlay/overlay_common/ipc/shared_layout.h"

namespace IpcTest {

// The helper program next to the test executable (ipc_peer.exe), started with the given
// arguments. Its standard input and output are pipes; it belongs to a kill-on-close job so that
// it never outlives the test.
class PeerProcess
{
public:
    explicit PeerProcess(const std::string& arguments);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Next line of the peer's output without its line end; empty when nothing came within
    // the time-out or the peer ended.
    std::string readLine(DWORD timeoutMs = 20000);
    void writeLine(const std::string& line);
    // Tells the peer to finish (it ends when its input closes).
    void closeInput();
    // Waits for the peer to end and returns its exit code (STILL_ACTIVE on time-out).
    DWORD wait(DWORD timeoutMs = 20000);

private:
    HANDLE job_ = nullptr;
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
    std::string pending_;
};

// Wine differs from Windows in a few documented places; tests that meet one ask this.
bool runningUnderWine();

// A fresh random name for pipes, blocks and mutexes.
std::string uniqueName();

// Type and text of the exception an action throws; type -1 when none.
struct Failure
{
    int type = -1;
    std::string text;
};

inline Failure transportFailure(const std::function<void()>& action)
{
    try {
        action();
    } catch (const apache::thrift::transport::TTransportException& e) {
        return {e.getType(), e.what()};
    }
    return {};
}

inline void send(apache::thrift::transport::TTransport& transport, const std::string& bytes)
{
    transport.write(reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
    transport.writeEnd();
    transport.flush();
}

inline std::string receive(apache::thrift::transport::TTransport& transport, size_t length)
{
    std::string bytes(length, '\0');
    transport.readAll(reinterpret_cast<uint8_t*>(&bytes[0]), uint32_t(length));
    return bytes;
}

// A pipe write completes only once the other end has read it, so the sender runs on a thread.
inline std::string exchange(apache::thrift::transport::TTransport& from, apache::thrift::transport::TTransport& to,
                            const std::string& bytes)
{
    auto sending = std::async(std::launch::async, [&] { send(from, bytes); });
    std::string received = receive(to, bytes.size());
    sending.get();
    return received;
}

// A listening server on a fresh name, and a client Pipe for it.
struct PipePair
{
    explicit PipePair(bool singleInstance = true)
        : name(uniqueName()), path(Overlay::Ipc::makePipePath(name)), server(path, singleInstance, nullptr, 3000),
          client(path)
    {
        server.listen();
    }

    // Accepts while `open` connects; returns the server's end.
    std::shared_ptr<apache::thrift::transport::TTransport> connect(const std::function<void()>& open)
    {
        auto accepted = std::async(std::launch::async, [this] { return server.accept(); });
        open();
        return accepted.get();
    }
    std::shared_ptr<apache::thrift::transport::TTransport> connect()
    {
        return connect([this] { client.open(); });
    }

    std::string name;
    std::string path;
    Overlay::Ipc::PipeServer server;
    Overlay::Ipc::Pipe client;
};

}  // namespace IpcTest
