#pragma once

#include <windows.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include <thrift/TProcessor.h>
#include <thrift/server/TServer.h>
#include <thrift/server/TServerFramework.h>
#include <thrift/transport/TServerTransport.h>

#include "overlay/overlay_common/ipc/ipc_helper.h"
#include "overlay/overlay_common/ipc/ipc_limits.h"

namespace Overlay::Ipc {

// Told, on the thread that serves the connection, when a peer connects and when its connection
// ends. With several connections served at once these calls may come from several threads.
class ServerListener
{
public:
    virtual ~ServerListener() = default;
    virtual void onClientConnected() {}
    virtual void onClientDisconnected() {}
    // Serving ended without a stop (the pipe could not take another connection): no host can
    // reach us any more until the server is started again.
    virtual void onServerFailed() {}
};

// A Thrift server run on a task of its own: start returns once the server listens (or throws when
// it could not), stop interrupts it and waits for the task to end. With a connection limit of 1 it
// serves one connection at a time on that task; with more, each connection gets a thread of its
// own, up to the limit (a further peer waits until one has gone), so a peer that holds its
// connection keeps no other from being served. The processor and listener must then take calls
// from several threads.
class ServerImpl : public apache::thrift::server::TServerEventHandler, public std::enable_shared_from_this<ServerImpl>
{
public:
    // What one call to us may ask the server to allocate.
    static constexpr int32_t stringLimit = serverStringLimit;
    static constexpr int32_t containerLimit = serverContainerLimit;

    ServerImpl(std::shared_ptr<apache::thrift::transport::TServerTransport> transport,
               std::shared_ptr<apache::thrift::TProcessor> processor, std::weak_ptr<ServerListener> listener,
               int connectionLimit = 1);
    ~ServerImpl() override;
    ServerImpl(const ServerImpl&) = delete;
    ServerImpl& operator=(const ServerImpl&) = delete;

    // Throws TTransportException(UNKNOWN, "Failed to start IPC server") when serving did not
    // begin; does nothing while the server runs. Not to be called from the server's thread.
    void start();
    void stop();

    void preServe() override;
    void* createContext(std::shared_ptr<apache::thrift::protocol::TProtocol> input,
                        std::shared_ptr<apache::thrift::protocol::TProtocol> output) override;
    void deleteContext(void* context, std::shared_ptr<apache::thrift::protocol::TProtocol> input,
                       std::shared_ptr<apache::thrift::protocol::TProtocol> output) override;
    void processContext(void*, std::shared_ptr<apache::thrift::transport::TTransport>) override {}

private:
    void run();
    void reportStarted(bool started);

    std::shared_ptr<apache::thrift::transport::TServerTransport> transport_;
    std::unique_ptr<apache::thrift::server::TServerFramework> server_;
    std::weak_ptr<ServerListener> listener_;
    std::mutex startedMutex_;
    std::promise<bool> started_;
    std::future<void> task_;
    std::atomic<bool> stopping_{false};
};

// The client's IPC server: a ServerImpl for `processor` on a PipeServer at the pipe `pipeName`,
// serving one connection at a time. A peer that makes no call within `firstCallTimeout` ms of
// connecting is dropped (see PipeServer).
std::shared_ptr<ServerImpl> createServer(const std::string& pipeName,
                                         std::shared_ptr<apache::thrift::TProcessor> processor,
                                         std::weak_ptr<ServerListener> listener, bool singleInstance,
                                         std::shared_ptr<SecurityAttributes> security, DWORD writeTimeout,
                                         DWORD firstCallTimeout = firstCallTimeoutMs);

}  // namespace Overlay::Ipc
