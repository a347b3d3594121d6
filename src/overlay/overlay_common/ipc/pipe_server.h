#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include <thrift/transport/TServerTransport.h>

#include "overlay/overlay_common/ipc/ipc_helper.h"
#include "overlay/overlay_common/ipc/pipe.h"

namespace Overlay::Ipc {

// One connection accepted by PipeServer. Reads wait without time-out; the server's interrupt
// event ends any pending read or write.
class ConnectedPipeClient : public PipeTransport<ConnectedPipeClient>
{
public:
    ConnectedPipeClient(HANDLE handle, std::shared_ptr<Win::UniqueHandle> interruptEvent, bool singleInstance,
                        DWORD writeTimeout);
    ~ConnectedPipeClient() override;

    void open() override {}
    // Single instance: disconnects and leaves the handle to the server for the next accept.
    // Multiple instances: closes the handle.
    void close() override;

protected:
    DWORD waitResult(DWORD error, OVERLAPPED& overlapped, DWORD timeout) override;

private:
    std::shared_ptr<Win::UniqueHandle> interruptEvent_;
    bool singleInstance_;
};

// Server end of a named pipe for Thrift servers. Only local clients are admitted; the first
// instance of the name must be ours.
class PipeServer : public apache::thrift::transport::TServerTransport
{
public:
    PipeServer(std::string path, bool singleInstance, std::shared_ptr<SecurityAttributes> security, DWORD writeTimeout);
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
    bool singleInstance_;
    Win::UniqueFileHandle handle_;
    std::shared_ptr<Win::UniqueHandle> interruptEvent_;
};

}  // namespace Overlay::Ipc
