#pragma once

#include <memory>
#include <string>

#include <thrift/protocol/TProtocol.h>

#include "overlay/overlay_common/ipc/ipc_limits.h"
#include "overlay/overlay_common/ipc/pipe.h"

namespace Overlay::Ipc {

// The connection to the host's pipe server: a Pipe and a compact protocol on it. The caller
// builds the generated OverlayHostClient on getProtocol() and serialises all use.
class IpcClient
{
public:
    // What one answer from the host may ask us to allocate.
    static constexpr int32_t stringLimit = clientStringLimit;
    static constexpr int32_t containerLimit = clientContainerLimit;

    explicit IpcClient(const std::string& hostPipeName);
    ~IpcClient();
    IpcClient(const IpcClient&) = delete;
    IpcClient& operator=(const IpcClient&) = delete;

    // For the time-out setters.
    Pipe& pipe() { return *pipe_; }

    // With an empty service name the protocol itself; otherwise a multiplexing wrapper that
    // sends "<serviceName>:<method>" as method names.
    std::shared_ptr<apache::thrift::protocol::TProtocol> getProtocol(const std::string& serviceName = {});

    bool isOpen() const;
    // Opens the pipe; its failures reach the caller unchanged.
    void open();
    void close();

private:
    Pipe* pipe_;  // borrowed from transport_
    std::shared_ptr<apache::thrift::transport::TTransport> transport_;
    std::shared_ptr<apache::thrift::protocol::TProtocol> protocol_;
};

}  // namespace Overlay::Ipc
