#pragma once

// Host side of the control channel: serving OverlayHost to clients, and calling a client's
// OverlayClient service on the pipe it named at registration.
//
//     auto server = std::make_unique<Overlay::Host::HostPipeServer>("my_host_pipe", handler);
//     server->start();            // returns once the pipe listens
//     ...
//     Overlay::Host::ClientConnection client(clientInfo.pipeName);
//     client.open();
//     client.service().showOverlay();

#include <memory>
#include <string>

#include "overlay/overlay_common/ipc/OverlayClient.h"
#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"
#include "overlay/overlay_common/ipc/overlay_ipc_server.h"

namespace Overlay::Host {

// Which named-pipe implementation carries a server or a connection.
enum class PipeKind {
    Overlay,  // this project's PipeServer / Pipe
    Thrift,   // the Thrift library's TPipeServer / TPipe
};

// Serves a Thrift processor on a named pipe, a new instance per client, each connected client on a
// thread of its own (up to connectionLimit at once; a further one waits until one has gone). So
// the processor, the handler and the listener take calls from several threads.
//
// With PipeKind::Overlay the pipe admits only processes of this logon session and no remote
// client, as the client's own pipe does, and a client that makes no call within
// `firstCallTimeout` ms of connecting is dropped; the overlay client calls (registers or pings)
// right after it connects and may then stay silent for as long as it likes. PipeKind::Thrift
// keeps the Thrift library's own pipe security and time-outs.
class HostPipeServer
{
public:
    static constexpr int connectionLimit = 8;

    // `listener` (optional) hears when a client connects and when its connection ends, on that
    // connection's thread.
    HostPipeServer(const std::string& pipeName, std::shared_ptr<apache::thrift::TProcessor> processor,
                   PipeKind kind = PipeKind::Overlay, std::weak_ptr<Ipc::ServerListener> listener = {},
                   DWORD firstCallTimeout = Ipc::firstCallTimeoutMs);
    // Serves OverlayHost with `handler`.
    HostPipeServer(const std::string& pipeName, std::shared_ptr<Ipc::Stub::OverlayHostIf> handler,
                   PipeKind kind = PipeKind::Overlay, std::weak_ptr<Ipc::ServerListener> listener = {},
                   DWORD firstCallTimeout = Ipc::firstCallTimeoutMs);
    ~HostPipeServer();

    void start();
    // With PipeKind::Thrift a connected client must have gone before the server can stop.
    void stop();

private:
    std::shared_ptr<Ipc::ServerImpl> server_;
};

// A host's connection to a client's OverlayClient service. The client's pipe has one instance and
// drops a connection that makes no call within Ipc::firstCallTimeoutMs of opening: open right
// before calling, and open again when a call fails.
class ClientConnection
{
public:
    explicit ClientConnection(const std::string& clientPipeName);

    void open() { ipc_.open(); }
    void close() { ipc_.close(); }
    Ipc::Pipe& pipe() { return ipc_.pipe(); }
    Ipc::Stub::OverlayClientClient& service() { return service_; }

private:
    Ipc::IpcClient ipc_;
    Ipc::Stub::OverlayClientClient service_;
};

}  // namespace Overlay::Host
