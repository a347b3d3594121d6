#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

// What the client does on the game's threads: frames on the presenting thread; show, hide, the
// cursor, hotkeys, window moves and input on the window thread. The rest is in overlay_client.cpp.

#include "overlay/overlay_client/impl/overlay_client.h"

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/input_channels_hook.h"
#include "overlay/overlay_client/impl/mouse_cursor_hook.h"
#include "overlay/overlay_client/impl/overlay_application.h"
#include "overlay/overlay_common/ipc/shared_layout.h"
#include "win/scope_guard.h"

namespace Overlay {

using Ipc::Stub::OverlayHostClient;
using OverlayClientApi::Result;

// --- Frames -------------------------------------------------------------------------------------

void OverlayClient::onPresent(GraphicApi& api)
{
    if (!shown_ && !drawAhead_) {
        if (!rendererIdle_) {
            rendererIdle_ = true;
            // Hidden, nothing the game needs back is held: a game that resizes, re-creates or
            // destroys its device and swap chain gets them. What is kept saves the next show from
            // making the renderer and uploading the host's whole picture again, a frame's hitch.
            bool kept = false;
            guarded(L"Idle renderer", [&api, &kept] { kept = api.idleRenderer(); });
            if (!kept && !rendererReleased_) {
                rendererReleased_ = true;
                renderOverlay_.release();
            }
        }
        if (shownReported_) {
            shownReported_ = false;
            invoke([this] { reportVisibility(false); });
        }
        return;
    }

    const Rendering::FrameHostWaits hostWaits;
    try {
        std::shared_ptr<Rendering::Renderer> renderer = api.getRenderer();
        rendererReleased_ = false;
        rendererIdle_ = false;
        renderOverlay_.setRenderer(std::move(renderer));
        renderOverlay_.draw();
        frameFailures_.drawn();
        checkCursor();
        if (!shownReported_) {
            shownReported_ = true;
            logShowLatency();
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

void OverlayClient::logShowLatency()
{
    const long long asked = showAskedAt_.exchange(0);
    if (asked == 0)
        return;
    LARGE_INTEGER now = {};
    LARGE_INTEGER frequency = {};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    LOG_INFO(L"First overlay frame drawn %0 us after the host's showOverlay",
             (now.QuadPart - asked) * 1000000 / frequency.QuadPart);
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
        // A host holding the block past the frame's bound: the next frame looks again.
        const auto lock = sharedOverlay_->tryLock(Rendering::FrameHostWaits::remainingMs());
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
    // After shown_ is set, or the show has failed: no frame in between goes undrawn.
    const auto shownNow = Win::scopeExit([this] { drawAhead_ = false; });
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
    drawAhead_ = false;
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
        const Result result = connection.requestShow(std::nullopt);
        if (result != OverlayClientApi::Success)
            LOG_WARN(L"Failed to request show overlay: result = %1", static_cast<int>(result));
    });
}

void OverlayClient::requestHideLater()
{
    LOG_INFO(L"Request hide overlay");
    const bool queued = post([](HostConnection& connection) {
        if (connection.requestHide() == OverlayClientApi::IpcError)
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
