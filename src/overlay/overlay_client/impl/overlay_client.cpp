#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/overlay_client.h"

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/input_channels_hook.h"
#include "overlay/overlay_client/impl/mouse_cursor_hook.h"
#include "overlay/overlay_client/impl/overlay_application.h"
#include "overlay/overlay_common/ipc/ipc_helper.h"
#include "overlay/overlay_common/ipc/shared_layout.h"
#include "win/scope_guard.h"

#include <chrono>
#include <future>
#include <optional>
#include <thread>

namespace Overlay {

using Ipc::Stub::OverlayHostClient;
using OverlayClientApi::Result;

namespace {

constexpr DWORD ipcServerWriteTimeoutMs = 3000;
// For the IPC server and the sender's thread together, at a stop.
constexpr auto ipcServerStopWait = std::chrono::seconds(3);

Application& application()
{
    Application* app = Application::instance();
    if (app == nullptr)
        throw std::logic_error("Application is null");
    return *app;
}

// What a test overlay request carries, copied before the caller's record can go away.
std::optional<Ipc::Stub::TestOverlayInfo> testOverlayInfo(const OverlayClientApi::TestOverlayParams* params)
{
    if (params == nullptr)
        return std::nullopt;
    Ipc::Stub::TestOverlayInfo info;
    info.relativeSize.width = params->relativeWidth;
    info.relativeSize.height = params->relativeHeight;
    info.color = params->color;
    info.useCef = params->useCef != 0;
    return info;
}

}  // namespace

// The processor's handler: forwards the host's calls while the client exists, so that the server
// never owns the client that owns the server.
class OverlayClient::HostCalls : public Ipc::Stub::OverlayClientIf
{
public:
    explicit HostCalls(std::weak_ptr<OverlayClient> client) : client_(std::move(client)) {}

    bool showOverlay() override
    {
        auto client = client_.lock();
        return client && static_cast<OverlayClientIf&>(*client).showOverlay();
    }
    bool hideOverlay() override
    {
        auto client = client_.lock();
        return client && static_cast<OverlayClientIf&>(*client).hideOverlay();
    }
    bool ping() override { return true; }

private:
    std::weak_ptr<OverlayClient> client_;
};

Rendering::SizeU OverlayClient::sizeOf(const RECT& rect)
{
    return {static_cast<uint32_t>(rect.right > rect.left ? rect.right - rect.left : 0),
            static_cast<uint32_t>(rect.bottom > rect.top ? rect.bottom - rect.top : 0)};
}

OverlayClient::OverlayClient()
    : pipeName_(Ipc::idToName(Ipc::makeSharedId())), windowHook_(application().windowHook()),
      graphicDeviceHook_(application().graphicDeviceHook()), mouseCursorHook_(application().mouseCursorHook()),
      inputChannelsHook_(application().inputChannelsHook()), sharedOverlay_(Ipc::SharedOverlay::create()),
      renderOverlay_(sharedOverlay_, sizeOf(windowHook_->getClientRect()), nullptr)
{
    Ipc::Stub::ClientInfo info;
    info.id = application().getId();
    info.version = overlayClientVersion;
    info.pipeName = pipeName_;
    info.shmemName = sharedOverlay_->name();
    connection_ = std::make_shared<HostConnection>(application().settings().pipeHostName, info);
    sender_ = HostSender::start();
}

std::shared_ptr<OverlayClient> OverlayClient::create()
{
    std::shared_ptr<OverlayClient> client(new OverlayClient());
    client->connection_->client = client;
    client->startIpcServer();
    client->refreshSurfaceBoundsFromWindow();
    client->windowHook_->setListener(client.get());
    client->graphicDeviceHook_->setListener(client.get());
    return client;
}

OverlayClient::~OverlayClient()
{
    stop(StopCode::Normal);
}

void OverlayClient::startIpcServer()
{
    auto processor = std::make_shared<Ipc::Stub::OverlayClientProcessor>(std::make_shared<HostCalls>(weak_from_this()));
    std::weak_ptr<Ipc::ServerListener> listener = std::shared_ptr<Ipc::ServerListener>(shared_from_this(), this);
    ipcServer_ = Ipc::createServer(pipeName_, std::move(processor), std::move(listener), true,
                                   Ipc::createSecurityAttributes(), ipcServerWriteTimeoutMs);
    ipcServer_->start();
}

// --- Requests from the exports ------------------------------------------------------------------

Result OverlayClient::getState()
{
    return stopped_ ? OverlayClientApi::Stopped : OverlayClientApi::Success;
}

Result OverlayClient::prepare()
{
    return call([](HostConnection& connection) { return connection.prepare(); });
}

Result OverlayClient::requestShow(const OverlayClientApi::TestOverlayParams* params)
{
    LOG_INFO(L"Request show overlay");
    if (stopped_)
        return OverlayClientApi::Stopped;
    return call([info = testOverlayInfo(params)](HostConnection& connection) { return connection.requestShow(info); });
}

Result OverlayClient::requestHide()
{
    LOG_INFO(L"Request hide overlay");
    if (stopped_)
        return OverlayClientApi::Stopped;
    const Result result = call([](HostConnection& connection) { return connection.requestHide(); });
    if (result == OverlayClientApi::Stopped || result == OverlayClientApi::Success)
        return result;
    // The host cannot be told: hide here, so the player is never left without input.
    hideOnWindowThread();
    return OverlayClientApi::Success;
}

// --- The sender's thread ------------------------------------------------------------------------

bool OverlayClient::post(std::function<void(HostConnection&)> call)
{
    return sender_->post([connection = connection_, call = std::move(call)] { call(*connection); });
}

Result OverlayClient::call(std::function<Result(HostConnection&)> request)
{
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> result = promise->get_future();
    const bool queued = post([promise, request = std::move(request)](HostConnection& connection) {
        promise->set_value(guarded(L"Request", OverlayClientApi::UnexpectedError, [&] { return request(connection); }));
    });
    if (!queued)
        return stopped_ ? OverlayClientApi::Stopped : OverlayClientApi::IpcError;
    return result.get();
}

void OverlayClient::hideAfterFailure(HostConnection& connection)
{
    if (connection.hidePending.exchange(true))
        return;
    std::weak_ptr<OverlayClient> weakClient = connection.client;
    auto hide = [weakClient] {
        auto self = weakClient.lock();
        if (!self)
            return;
        self->connection_->hidePending = false;
        if (!self->stopped_)
            self->hide();
    };
    Application* app = Application::instance();
    if (app == nullptr || !app->invoke(std::move(hide), false))
        connection.hidePending = false;
}

// --- Host calls and server events ---------------------------------------------------------------

bool OverlayClient::showOverlay()
{
    if (!shown_) {
        LARGE_INTEGER now = {};
        QueryPerformanceCounter(&now);
        showAskedAt_ = now.QuadPart;
        drawAhead_ = true;
    }
    if (invoke([this] { show(); }))
        return true;
    drawAhead_ = false;
    return false;
}

bool OverlayClient::hideOverlay()
{
    return invoke([this] { hide(); });
}

bool OverlayClient::ping()
{
    return true;
}

void OverlayClient::onClientConnected()
{
    LOG_INFO(L"Client connected");
}

void OverlayClient::onClientDisconnected()
{
    LOG_INFO(L"Client disconnected");
    // A host that went away cannot hide the overlay any more; the ping finds out whether our own
    // connection to it is gone too (and closes it then).
    invoke([this] {
        hide();
        post([](HostConnection& connection) { connection.send("ping", &OverlayHostClient::ping); });
    });
}

void OverlayClient::onServerFailed()
{
    // The host can no longer show, hide or ping us: stop, so that it hears why (onClientStopped
    // with Error). On the window thread, since stopping waits for this server thread to end.
    invoke([this] { stop(StopCode::Error); });
}

bool OverlayClient::invoke(std::function<void()> function)
{
    if (!function)
        return false;
    std::weak_ptr<OverlayClient> weakSelf = weak_from_this();
    auto wrapper = [weakSelf, function = std::move(function)] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        if (self->stopped_)
            return;
        function();
    };
    Application* app = Application::instance();
    return app != nullptr && app->invoke(std::move(wrapper), false);
}

// --- Stop ---------------------------------------------------------------------------------------

void OverlayClient::stop(StopCode code)
{
    if (stopped_.exchange(true))
        return;
    connection_->stopped = true;
    sender_->finish([connection = connection_, code] {
        connection->send("onClientStopped", &OverlayHostClient::onClientStopped, static_cast<int32_t>(code));
    });
    LOG_INFO(L"Stop overlay client: StopCode = %1", static_cast<int32_t>(code));
    const auto deadline = std::chrono::steady_clock::now() + ipcServerStopWait;

    guarded(L"Hide overlay", [this] { hide(); });
    graphicDeviceHook_->setListener(nullptr);
    graphicDeviceHook_->stop();
    windowHook_->setListener(nullptr);

    if (ipcServer_) {
        // A server that does not end in time (a host call stuck in the pipe) must not hold up the
        // game; it is left to finish on its own.
        auto server = ipcServer_;
        auto stopped = std::make_shared<std::promise<void>>();
        std::future<void> done = stopped->get_future();
        std::thread([server, stopped] {
            server->stop();
            stopped->set_value();
        }).detach();
        const std::future_status status = done.wait_until(deadline);
        if (status != std::future_status::ready)
            LOG_WARN(L"Failed to stop ipc server: status = %1", static_cast<int>(status));
    }
    // Likewise a call to the host stuck in the pipe: the sender's thread ends after it.
    if (!sender_->waitFinished(deadline))
        LOG_WARN(L"Failed to tell the host of the stop in time, a call to it is still running");
}

void OverlayClient::onWindowDestroyed()
{
    LOG_INFO(L"Destory main window");
    stop(StopCode::Normal);
}

void OverlayClient::onWindowHookError()
{
    stop(StopCode::Error);
}

}  // namespace Overlay
