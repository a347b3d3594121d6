#include "host_sdk/host_pipe.h"

#include <thrift/transport/TPipeServer.h>

#include "overlay/overlay_common/ipc/pipe.h"
#include "overlay/overlay_common/ipc/pipe_server.h"

namespace Overlay::Host {

namespace {

std::shared_ptr<apache::thrift::transport::TServerTransport> makeTransport(const std::string& pipeName, PipeKind kind)
{
    const std::string path = Ipc::makePipePath(pipeName);
    if (kind == PipeKind::Thrift)
        return std::make_shared<apache::thrift::transport::TPipeServer>(path);
    return std::make_shared<Ipc::PipeServer>(path, false, nullptr, 3000);
}

} // namespace

HostPipeServer::HostPipeServer(const std::string& pipeName, std::shared_ptr<apache::thrift::TProcessor> processor,
                               PipeKind kind)
    : m_server(std::make_shared<Ipc::ServerImpl>(makeTransport(pipeName, kind), std::move(processor),
                                                 std::weak_ptr<Ipc::ServerListener>()))
{
}

HostPipeServer::HostPipeServer(const std::string& pipeName, std::shared_ptr<Ipc::Stub::OverlayHostIf> handler,
                               PipeKind kind)
    : HostPipeServer(pipeName, std::make_shared<Ipc::Stub::OverlayHostProcessor>(std::move(handler)), kind)
{
}

HostPipeServer::~HostPipeServer()
{
    stop();
}

void HostPipeServer::start()
{
    m_server->start();
}

void HostPipeServer::stop()
{
    m_server->stop();
}

ClientConnection::ClientConnection(const std::string& clientPipeName)
    : m_ipc(clientPipeName), m_service(m_ipc.getProtocol())
{
}

} // namespace Overlay::Host
