#include "overlay/overlay_common/ipc/overlay_ipc_server.h"

#include <stdexcept>
#include <utility>

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/server/TSimpleServer.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TTransportException.h>

#include "log/log.h"
#include "overlay/overlay_common/ipc/pipe.h"
#include "overlay/overlay_common/ipc/pipe_server.h"

using apache::thrift::transport::TTransportException;

namespace Overlay::Ipc {

namespace {

// The simple server ends for good when anything but a Thrift exception leaves one connection
// (std::bad_alloc, a system error from the pipe). Such a failure ends that connection only.
class ConnectionGuard : public apache::thrift::TProcessor
{
public:
    explicit ConnectionGuard(std::shared_ptr<apache::thrift::TProcessor> processor) : processor_(std::move(processor))
    {
    }

    bool process(std::shared_ptr<apache::thrift::protocol::TProtocol> in,
                 std::shared_ptr<apache::thrift::protocol::TProtocol> out, void* context) override
    {
        try {
            return processor_->process(std::move(in), std::move(out), context);
        } catch (const apache::thrift::TException&) {
            throw;
        } catch (const std::exception& e) {
            throw TTransportException(TTransportException::UNKNOWN, std::string("Connection dropped: ") + e.what());
        } catch (...) {
            throw TTransportException(TTransportException::UNKNOWN, "Connection dropped: unknown exception");
        }
    }

private:
    std::shared_ptr<apache::thrift::TProcessor> processor_;
};

}  // namespace

ServerImpl::ServerImpl(std::shared_ptr<apache::thrift::transport::TServerTransport> transport,
                       std::shared_ptr<apache::thrift::TProcessor> processor, std::weak_ptr<ServerListener> listener,
                       int connectionLimit)
    : transport_(std::move(transport)), listener_(std::move(listener))
{
    auto guard = std::make_shared<ConnectionGuard>(std::move(processor));
    auto transports = std::make_shared<apache::thrift::transport::TTransportFactory>();
    auto protocols = std::make_shared<apache::thrift::protocol::TCompactProtocolFactory>(stringLimit, containerLimit);
    if (connectionLimit > 1) {
        server_ = std::make_unique<apache::thrift::server::TThreadedServer>(guard, transport_, transports, protocols);
        server_->setConcurrentClientLimit(connectionLimit);
    } else {
        server_ = std::make_unique<apache::thrift::server::TSimpleServer>(guard, transport_, transports, protocols);
    }
    // The server lives inside this object, so it may refer to it without owning it; an owning
    // pointer would keep both alive for ever.
    server_->setServerEventHandler(std::shared_ptr<TServerEventHandler>(std::shared_ptr<void>(), this));
}

ServerImpl::~ServerImpl()
{
    stop();
}

void ServerImpl::start()
{
    if (!server_)
        throw std::logic_error("server_ is null");
    if (task_.valid() && task_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;  // already serving

    std::future<bool> started;
    {
        std::lock_guard<std::mutex> lock(startedMutex_);
        started_ = std::promise<bool>();
        started = started_.get_future();
    }
    stopping_ = false;
    task_ = std::async(std::launch::async, [this] { run(); });
    if (!started.get())
        throw TTransportException(TTransportException::UNKNOWN, "Failed to start IPC server");
}

void ServerImpl::stop()
{
    stopping_ = true;
    if (server_)
        server_->stop();
    if (task_.valid())
        task_.wait();
}

void ServerImpl::run()
{
    LOG_INFO(L"Starting IPC server...");
    try {
        server_->serve();
        if (stopping_) {
            LOG_INFO(L"IPC server was successfully stopped");
        } else {
            // The serve loop gives up when a connection cannot be accepted; nobody asked it to.
            LOG_ERROR(L"Stop IPC server: %1", "the pipe no longer accepts connections");
            if (auto listener = listener_.lock())
                listener->onServerFailed();
        }
    } catch (const std::exception& e) {
        LOG_ERROR(L"Stop IPC server: %1", e.what());
    } catch (...) {
        LOG_ERROR(L"Stop IPC server: unknown exception");
    }
    // Ends a start that is still waiting; no effect once serving was reported.
    reportStarted(false);
}

void ServerImpl::reportStarted(bool started)
{
    std::lock_guard<std::mutex> lock(startedMutex_);
    try {
        started_.set_value(started);
    } catch (const std::future_error&) {
        // already reported for this start
    }
}

void ServerImpl::preServe()
{
    LOG_INFO(L"Ipc server was successfully started");
    reportStarted(true);
}

void* ServerImpl::createContext(std::shared_ptr<apache::thrift::protocol::TProtocol>,
                                std::shared_ptr<apache::thrift::protocol::TProtocol>)
{
    if (auto listener = listener_.lock())
        listener->onClientConnected();
    return nullptr;
}

void ServerImpl::deleteContext(void*, std::shared_ptr<apache::thrift::protocol::TProtocol>,
                               std::shared_ptr<apache::thrift::protocol::TProtocol>)
{
    if (auto listener = listener_.lock())
        listener->onClientDisconnected();
}

std::shared_ptr<ServerImpl> createServer(const std::string& pipeName,
                                         std::shared_ptr<apache::thrift::TProcessor> processor,
                                         std::weak_ptr<ServerListener> listener, bool singleInstance,
                                         std::shared_ptr<SecurityAttributes> security, DWORD writeTimeout,
                                         DWORD firstCallTimeout)
{
    auto transport = std::make_shared<PipeServer>(makePipePath(pipeName), singleInstance, std::move(security),
                                                  writeTimeout, firstCallTimeout);
    return std::make_shared<ServerImpl>(std::move(transport), std::move(processor), std::move(listener));
}

}  // namespace Overlay::Ipc
