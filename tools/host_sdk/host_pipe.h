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

// Serves a Thrift processor on a named pipe (a new instance per client) on a thread of its own.
class HostPipeServer
{
public:
    // `listener` (optional) hears when a client connects and when its connection ends.
    HostPipeServer(const std::string& pipeName, std::shared_ptr<apache::thrift::TProcessor> processor,
                   PipeKind kind = PipeKind::Overlay, std::weak_ptr<Ipc::ServerListener> listener = {});
    // Serves OverlayHost with `handler`.
    HostPipeServer(const std::string& pipeName, std::shared_ptr<Ipc::Stub::OverlayHostIf> handler,
                   PipeKind kind = PipeKind::Overlay, std::weak_ptr<Ipc::ServerListener> listener = {});
    ~HostPipeServer();

    void start();
    // With PipeKind::Thrift a connected client must have gone before the server can stop.
    void stop();

private:
    std::shared_ptr<Ipc::ServerImpl> server_;
};

// A host's connection to a client's OverlayClient service.
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
