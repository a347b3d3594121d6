#include "overlay/overlay_common/ipc/overlay_ipc_client.h"

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/protocol/TMultiplexedProtocol.h>

#include "log/log.h"

namespace Overlay::Ipc {

IpcClient::IpcClient(const std::string& hostPipeName)
{
    auto pipe = std::make_shared<Pipe>(makePipePath(hostPipeName));
    m_pipe = pipe.get();
    m_transport = pipe;
    // Bound to the concrete transport, so the protocol's transport calls are direct.
    m_protocol = std::make_shared<apache::thrift::protocol::TCompactProtocolT<Pipe>>(pipe);
}

IpcClient::~IpcClient()
{
    try {
        close();
    } catch (...) {
        // Closing a pipe does not throw; nothing may leave a destructor anyway.
    }
}

std::shared_ptr<apache::thrift::protocol::TProtocol> IpcClient::getProtocol(const std::string& serviceName)
{
    if (serviceName.empty())
        return m_protocol;
    return std::make_shared<apache::thrift::protocol::TMultiplexedProtocol>(m_protocol, serviceName);
}

bool IpcClient::isOpen() const
{
    return m_transport->isOpen();
}

void IpcClient::open()
{
    if (m_transport->isOpen())
        return;
    LOG_INFO(L"Opening IPC client");
    m_transport->open();
    LOG_INFO(L"IPC client was successfully opened");
}

void IpcClient::close()
{
    if (!m_transport->isOpen())
        return;
    m_transport->flush();
    LOG_WARN(L"Closing ipc client");
    m_transport->close();
}

} // namespace Overlay::Ipc
