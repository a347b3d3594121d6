#include "overlay/overlay_common/ipc/overlay_ipc_client.h"

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/protocol/TMultiplexedProtocol.h>

#include "log/log.h"

namespace Overlay::Ipc {

IpcClient::IpcClient(const std::string& hostPipeName)
{
    auto pipe = std::make_shared<Pipe>(makePipePath(hostPipeName));
    pipe_ = pipe.get();
    transport_ = pipe;
    // Bound to the concrete transport, so the protocol's transport calls are direct.
    protocol_ = std::make_shared<apache::thrift::protocol::TCompactProtocolT<Pipe>>(pipe, stringLimit, containerLimit);
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
        return protocol_;
    return std::make_shared<apache::thrift::protocol::TMultiplexedProtocol>(protocol_, serviceName);
}

bool IpcClient::isOpen() const
{
    return transport_->isOpen();
}

void IpcClient::open()
{
    if (transport_->isOpen())
        return;
    LOG_INFO(L"Opening IPC client");
    transport_->open();
    LOG_INFO(L"IPC client was successfully opened");
}

void IpcClient::close()
{
    if (!transport_->isOpen())
        return;
    transport_->flush();
    LOG_WARN(L"Closing ipc client");
    transport_->close();
}

}  // namespace Overlay::Ipc
