#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include <thrift/transport/TServerTransport.h>

#include "overlay/overlay_common/ipc/ipc_helper.h"
#include "overlay/overlay_common/ipc/ipc_limits.h"
#include "overlay/overlay_common/ipc/pipe.h"

namespace Overlay::Ipc {

// One connection accepted by PipeServer. Its first call must have arrived within
// `firstCallTimeout` ms of the accept (INFINITE: no limit), else the read fails with TIMED_OUT and
// the server drops the peer; after that reads wait without time-out. The server's interrupt event
// ends any pending read or write.
class ConnectedPipeClient : public PipeTransport<ConnectedPipeClient>
{
public:
    ConnectedPipeClient(HANDLE handle, std::shared_ptr<Win::UniqueHandle> interruptEvent, bool singleInstance,
                        DWORD writeTimeout, DWORD firstCallTimeout = INFINITE);
    ~ConnectedPipeClient() override;

    void open() override {}
    // Single instance: disconnects and leaves the handle to the server for the next accept.
    // Multiple instances: closes the handle.
    void close() override;
    // The end of a call: the first one has come, so the connection may now stay idle.
    uint32_t readEnd() override;

protected:
    DWORD waitResult(DWORD error, OVERLAPPED& overlapped, DWORD timeout) override;

private:
    std::shared_ptr<Win::UniqueHandle> interruptEvent_;
    bool singleInstance_;
    DWORD firstCallTimeout_;
    // GetTickCount64 by which the first call must be complete; 0 once it has come, or with no limit.
    ULONGLONG firstCallDeadline_;
};

// Server end of a named pipe for Thrift servers. Only local clients are admitted; the first
// instance of the name must be ours. Each connection must make its first call within
// `firstCallTimeout` ms (see ConnectedPipeClient).
class PipeServer : public apache::thrift::transport::TServerTransport
{
public:
    PipeServer(std::string path, bool singleInstance, std::shared_ptr<SecurityAttributes> security, DWORD writeTimeout,
               DWORD firstCallTimeout = firstCallTimeoutMs);
    ~PipeServer() override;

    bool isOpen() const override;
    void listen() override;
    void interrupt() override;
    void interruptChildren() override {}
    THRIFT_SOCKET getSocketFD() override { return static_cast<THRIFT_SOCKET>(-1); }
    void close() override;

protected:
    std::shared_ptr<apache::thrift::transport::TTransport> acceptImpl() override;

private:
    void createInstance(bool first);

    std::string path_;
    std::shared_ptr<SecurityAttributes> security_;
    DWORD writeTimeout_;
    DWORD firstCallTimeout_;
    bool singleInstance_;
    Win::UniqueFileHandle handle_;
    std::shared_ptr<Win::UniqueHandle> interruptEvent_;
};

}  // namespace Overlay::Ipc
