#include "host_sdk/host_pipe.h"

#include <thrift/transport/TPipeServer.h>

#include "overlay/overlay_common/ipc/pipe.h"
#include "overlay/overlay_common/ipc/pipe_server.h"

namespace Overlay::Host {

namespace {

std::shared_ptr<apache::thrift::transport::TServerTransport> makeTransport(const std::string& pipeName, PipeKind kind,
                                                                           DWORD firstCallTimeout)
{
    const std::string path = Ipc::makePipePath(pipeName);
    if (kind == PipeKind::Thrift)
        return std::make_shared<apache::thrift::transport::TPipeServer>(path);
    return std::make_shared<Ipc::PipeServer>(path, false, Ipc::createSecurityAttributes(), 3000, firstCallTimeout);
}

}  // namespace

HostPipeServer::HostPipeServer(const std::string& pipeName, std::shared_ptr<apache::thrift::TProcessor> processor,
                               PipeKind kind, std::weak_ptr<Ipc::ServerListener> listener, DWORD firstCallTimeout)
    : server_(std::make_shared<Ipc::ServerImpl>(makeTransport(pipeName, kind, firstCallTimeout), std::move(processor),
                                                std::move(listener), connectionLimit))
{
}

HostPipeServer::HostPipeServer(const std::string& pipeName, std::shared_ptr<Ipc::Stub::OverlayHostIf> handler,
                               PipeKind kind, std::weak_ptr<Ipc::ServerListener> listener, DWORD firstCallTimeout)
    : HostPipeServer(pipeName, std::make_shared<Ipc::Stub::OverlayHostProcessor>(std::move(handler)), kind,
                     std::move(listener), firstCallTimeout)
{
}

HostPipeServer::~HostPipeServer()
{
    stop();
}

void HostPipeServer::start()
{
    server_->start();
}

void HostPipeServer::stop()
{
    server_->stop();
}

ClientConnection::ClientConnection(const std::string& clientPipeName)
    : ipc_(clientPipeName), service_(ipc_.getProtocol())
{
}

}  // namespace Overlay::Host
