#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/overlay_client.h"

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/input_channels_hook.h"
#include "overlay/overlay_client/impl/mouse_cursor_hook.h"
#include "overlay/overlay_client/impl/overlay_application.h"
#include "overlay/overlay_common/ipc/ipc_helper.h"
#include "overlay/overlay_common/ipc/shared_layout.h"
#include "win/scope_guard.h"

#include <thrift/transport/TTransportException.h>

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

Rendering::SizeU sizeOf(const RECT& rect)
{
    return {static_cast<uint32_t>(rect.right > rect.left ? rect.right - rect.left : 0),
            static_cast<uint32_t>(rect.bottom > rect.top ? rect.bottom - rect.top : 0)};
}

Ipc::Stub::RectI toRectI(const RECT& rect)
{
    Ipc::Stub::RectI result;
    result.left = rect.left;
    result.top = rect.top;
    result.right = rect.right;
    result.bottom = rect.bottom;
    return result;
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

// Sender's thread: prepares, then asks the host to show the overlay (a test overlay with `info`).
Result requestShowOn(HostConnection& connection, const std::optional<Ipc::Stub::TestOverlayInfo>& info)
{
    if (connection.stopped)
        return OverlayClientApi::Stopped;
    const Result prepared = connection.prepare();
    if (prepared != OverlayClientApi::Success)
        return prepared;
    const bool sent = info
                          ? connection.send("requestShowTestOverlay", &OverlayHostClient::requestShowTestOverlay, *info)
                          : connection.send("requestShowOverlay", &OverlayHostClient::requestShowOverlay);
    return sent ? OverlayClientApi::Success : OverlayClientApi::IpcError;
}

// Sender's thread: Success when the host was asked to hide the overlay, IpcError when it cannot be
// told.
Result requestHideOn(HostConnection& connection)
{
    if (connection.stopped)
        return OverlayClientApi::Stopped;
    return connection.send("requestHideOverlay", &OverlayHostClient::requestHideOverlay) ? OverlayClientApi::Success
                                                                                         : OverlayClientApi::IpcError;
}

}  // namespace

HostConnection::HostConnection(const std::string& hostPipeName, const Ipc::Stub::ClientInfo& info)
    : ipcClient(hostPipeName), host(ipcClient.getProtocol()), info_(info)
{
    ipcClient.pipe().setOpenTimeout(defaultTimeoutMs);
    ipcClient.pipe().setReadTimeout(defaultTimeoutMs);
    ipcClient.pipe().setWriteTimeout(defaultTimeoutMs);
}

void HostConnection::setSurfaceBounds(const RECT& bounds)
{
    std::lock_guard<std::mutex> lock(boundsLock_);
    surfaceBounds_ = bounds;
}

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
    return call(
        [info = testOverlayInfo(params)](HostConnection& connection) { return requestShowOn(connection, info); });
}

Result OverlayClient::requestHide()
{
    LOG_INFO(L"Request hide overlay");
    if (stopped_)
        return OverlayClientApi::Stopped;
    const Result result = call(requestHideOn);
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

// --- Connection and registration ----------------------------------------------------------------

template <class Method, class... Args>
bool HostConnection::send(const char* label, Method method, const Args&... args)
{
    if (!ipcClient.isOpen())
        return false;
    try {
        (host.*method)(args...);
        return true;
    } catch (const std::exception& e) {
        ipcClient.close();
        LOG_WARN(L"Failed to send %1: %2", label, e.what());
        return false;
    }
}

Result HostConnection::prepare()
{
    if (stopped) {
        LOG_WARN(L"Failed to prepare ipc client, the client has been stopped");
        return OverlayClientApi::Stopped;
    }
    if (send("ping", &OverlayHostClient::ping))
        return OverlayClientApi::Success;

    try {
        ipcClient.open();
        registerClient();
        return OverlayClientApi::Success;
    } catch (const apache::thrift::transport::TTransportException& e) {
        LOG_ERROR(L"%1", e.what());
        ipcClient.close();
        return OverlayClientApi::IpcError;
    } catch (const std::exception& e) {
        LOG_ERROR(L"%1", e.what());
        ipcClient.close();
        return OverlayClientApi::UnexpectedError;
    }
}

void HostConnection::registerClient()
{
    LOG_INFO(L"Register client...");
    Ipc::Pipe& pipe = ipcClient.pipe();
    // The host may take a while to set up the client's blocks.
    pipe.setReadTimeout(HostConnection::registrationTimeoutMs);
    pipe.setWriteTimeout(HostConnection::registrationTimeoutMs);
    auto restoreTimeouts = Win::scopeExit([&pipe] {
        pipe.setReadTimeout(HostConnection::defaultTimeoutMs);
        pipe.setWriteTimeout(HostConnection::defaultTimeoutMs);
    });

    Ipc::Stub::ClientInfo info = info_;
    {
        std::lock_guard<std::mutex> lock(boundsLock_);
        info.scurfaceBounds = toRectI(surfaceBounds_);
    }

    Ipc::Stub::HostInfo hostInfo;
    host.registerClient(hostInfo, info);
    if (!hostInfo.result)
        throw std::runtime_error("Failed to register client");
    LOG_INFO(L"Client was successfully registered: HostId = %1, HostVersion = %2", hostInfo.id, hostInfo.version);
}

// --- Host calls and server events ---------------------------------------------------------------

bool OverlayClient::showOverlay()
{
    return invoke([this] { show(); });
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

// --- Frames -------------------------------------------------------------------------------------

void OverlayClient::onPresent(GraphicApi& api)
{
    if (!shown_) {
        if (!rendererReleased_) {
            rendererReleased_ = true;
            renderOverlay_.release();
            // Hidden, nothing of the game's device is held: a game that re-creates it gets it freed.
            guarded(L"Reset renderer", [&api] { api.resetRenderer(); });
        }
        if (shownReported_) {
            shownReported_ = false;
            invoke([this] { reportVisibility(false); });
        }
        return;
    }

    try {
        std::shared_ptr<Rendering::Renderer> renderer = api.getRenderer();
        rendererReleased_ = false;
        renderOverlay_.setRenderer(std::move(renderer));
        renderOverlay_.draw();
        frameFailures_.drawn();
        checkCursor();
        if (!shownReported_) {
            shownReported_ = true;
            invoke([this] { reportVisibility(true); });
        }
    } catch (const std::exception& e) {
        LOG_ERROR(L"Failed to draw overlay : %1", e.what());
        guarded(L"Dump device", [&api] { api.dumpDevice(); });
        guarded(L"Reset renderer", [&api] { api.resetRenderer(); });
        if (!rendererReleased_) {
            rendererReleased_ = true;
            guarded(L"Release overlay", [this] { renderOverlay_.release(); });
        }
        if (frameFailures_.rebuild()) {
            LOG_WARN(L"The next frame is drawn with a new renderer");
            return;
        }
        graphicDeviceHook_->setListener(nullptr);
        graphicDeviceHook_->stop();
        invoke([this] { stop(StopCode::Error); });
    }
}

void OverlayClient::onDeviceLost()
{
    if (!rendererReleased_) {
        rendererReleased_ = true;
        renderOverlay_.release();
    }
}

void OverlayClient::onDeviceReset(uint32_t width, uint32_t height, bool fullscreen)
{
    if (!fullscreen)
        return;  // windowed: the window's own move and size events tell
    try {
        RECT origin = windowHook_->clientToScreen(RECT{0, 0, 0, 0});
        updateSurfaceBounds(RECT{origin.left, origin.top, origin.left + static_cast<LONG>(width),
                                 origin.top + static_cast<LONG>(height)});
    } catch (const std::exception& e) {
        LOG_ERROR(L"Failed update surface bounds : %1", e.what());
        invoke([this] { stop(StopCode::Error); });
    }
}

void OverlayClient::checkCursor()
{
    if (mouseCursorHook_ == nullptr)
        return;
    bool changed = false;
    {
        // A host holding the block past the bound: the next frame looks again.
        const auto lock = sharedOverlay_->tryLock(Rendering::hostLockTimeoutMs);
        if (!lock.owns_lock())
            return;
        changed = sharedOverlay_->cursorChanged();
    }
    if (changed && !cursorUpdatePending_.exchange(true)) {
        if (!invoke([this] { updateCursor(); }))
            cursorUpdatePending_ = false;
    }
}

// --- Window thread ------------------------------------------------------------------------------

void OverlayClient::show()
{
    if (shown_)
        return;
    try {
        LOG_INFO(L"Show overlay");
        {
            // The host's current cursor is applied on the next frame; a host that holds the block
            // past the bound must not stall the game's window thread, and sets its cursor later.
            const auto lock = sharedOverlay_->tryLock(Rendering::hostLockTimeoutMs);
            if (lock.owns_lock())
                sharedOverlay_->setCursorChanged(true);
        }
        renderOverlay_.setSurfaceSize(sizeOf(windowHook_->getClientRect()));
        windowHook_->setInputCapture(true);
        if (inputChannelsHook_ != nullptr) {
            // Input modules the game loaded since the start are hooked now, before they matter.
            hook(inputChannelsHook_->findNewModules());
            inputChannelsHook_->setShown(true);
        }
        if (mouseCursorHook_ != nullptr)
            mouseCursorHook_->show();
        shown_ = true;
    } catch (const std::exception& e) {
        LOG_ERROR(L"Failed to show overlay: %1", e.what());
        // A half-done show must not leave the game's input or cursor taken.
        windowHook_->setInputCapture(false);
        if (inputChannelsHook_ != nullptr)
            inputChannelsHook_->setShown(false);
        if (mouseCursorHook_ != nullptr)
            guarded(L"Hide cursor", [this] { mouseCursorHook_->hide(); });
        stop(StopCode::Error);
    }
}

void OverlayClient::hide()
{
    if (!shown_)
        return;
    LOG_INFO(L"Hide overlay");
    windowHook_->setInputCapture(false);
    if (inputChannelsHook_ != nullptr)
        inputChannelsHook_->setShown(false);
    if (mouseCursorHook_ != nullptr)
        mouseCursorHook_->hide();
    shown_.exchange(false);
}

void OverlayClient::hideOnWindowThread()
{
    invoke([this] { hide(); });
}

void OverlayClient::reportVisibility(bool shown)
{
    post([shown](HostConnection& connection) {
        const bool sent = shown ? connection.send("onOverlayShown", &OverlayHostClient::onOverlayShown)
                                : connection.send("onOverlayHidden", &OverlayHostClient::onOverlayHidden);
        if (!sent)
            hideAfterFailure(connection);
    });
}

void OverlayClient::updateCursor()
{
    cursorUpdatePending_ = false;
    try {
        if (mouseCursorHook_ == nullptr || !mouseCursorHook_->isShown())
            return;
        uint32_t type = 0;
        bool changed = false;
        {
            const auto lock = sharedOverlay_->tryLock(Rendering::hostLockTimeoutMs);
            changed = lock.owns_lock() && sharedOverlay_->cursorChanged();  // else: asked again next frame
            if (changed) {
                type = sharedOverlay_->cursorType();
                sharedOverlay_->setCursorChanged(false);
            }
        }
        if (changed)
            mouseCursorHook_->setCursorType(type);
    } catch (const std::exception& e) {
        LOG_ERROR(L"%1", e.what());
    }
}

void OverlayClient::requestShowLater()
{
    LOG_INFO(L"Request show overlay");
    post([](HostConnection& connection) {
        const Result result = requestShowOn(connection, std::nullopt);
        if (result != OverlayClientApi::Success)
            LOG_WARN(L"Failed to request show overlay: result = %1", static_cast<int>(result));
    });
}

void OverlayClient::requestHideLater()
{
    LOG_INFO(L"Request hide overlay");
    const bool queued = post([](HostConnection& connection) {
        if (requestHideOn(connection) == OverlayClientApi::IpcError)
            hideAfterFailure(connection);  // the host cannot be told: hide here
    });
    if (!queued)
        hide();
}

void OverlayClient::onShiftTab()
{
    if (shown_)
        requestHideLater();
    else
        requestShowLater();
}

void OverlayClient::onCtrlSpace()
{
    onShiftTab();
}

void OverlayClient::onEscape()
{
    requestHideLater();
}

void OverlayClient::onWindowMoved()
{
    try {
        refreshSurfaceBoundsFromWindow();
    } catch (const std::exception& e) {
        LOG_ERROR(L"Failed update surface bounds : %1", e.what());
        stop(StopCode::Error);
    }
}

void OverlayClient::onWindowResized()
{
    onWindowMoved();
}

void OverlayClient::refreshSurfaceBoundsFromWindow()
{
    const RECT client = windowHook_->getClientRect();
    // A minimised window has an empty client area: nothing worth telling the host.
    if (client.left < client.right && client.top < client.bottom)
        updateSurfaceBounds(windowHook_->clientToScreen(client));
}

void OverlayClient::updateSurfaceBounds(const RECT& screenRect)
{
    renderOverlay_.setSurfaceSize(sizeOf(screenRect));
    connection_->setSurfaceBounds(screenRect);
    post([bounds = toRectI(screenRect)](HostConnection& connection) {
        if (connection.ipcClient.isOpen() &&
            !connection.send("onSurfaceBoundsChanged", &OverlayHostClient::onSurfaceBoundsChanged, bounds))
            hideAfterFailure(connection);
    });
}

template <class Method, class Event>
void OverlayClient::forward(const char* label, Method method, const Event& event)
{
    post([label, method, event](HostConnection& connection) {
        if (!connection.send(label, method, event))
            hideAfterFailure(connection);
    });
}

void OverlayClient::onKeyEvent(const Ipc::Stub::KeyEvent& event)
{
    forward("KeyEvent", &OverlayHostClient::onKeyEvent, event);
}

void OverlayClient::onMouseMoveEvent(const Ipc::Stub::MouseMoveEvent& event)
{
    forward("MouseMoveEvent", &OverlayHostClient::onMouseMoveEvent, event);
}

void OverlayClient::onMouseClickEvent(const Ipc::Stub::MouseClickEvent& event)
{
    forward("MouseClickEvent", &OverlayHostClient::onMouseClickEvent, event);
}

void OverlayClient::onMouseWheelEvent(const Ipc::Stub::MouseWheelEvent& event)
{
    forward("MouseWheelEvent", &OverlayHostClient::onMouseWheelEvent, event);
}

}  // namespace Overlay
