#pragma once
// The game side joined to the host: the connection to the host's pipe (service OverlayHost), the
// client's own IPC server (service OverlayClient), the shared overlay memory with the host's
// picture and the drawable that composites it over the game's frames. It listens to the graphics
// hook (every presented frame) and to the window hook (moves, resizes, input, hotkeys).
//
// Threads: exports (host's thread), host calls (IPC server thread), frames (rendering thread),
// window events, show, hide, reports and cursor updates (game window's thread, through invoke).
// Every call to the host's pipe runs on the sender's thread (HostSender): the game's threads only
// queue theirs, the exports queue theirs and wait for the result.

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
#include "overlay/overlay_client/impl/host_connection.h"
#include "overlay/overlay_client/impl/host_sender.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"
#include "overlay/overlay_client/impl/window_hook.h"
#include "overlay/overlay_client/overlay_client_api.h"
#include "overlay/overlay_common/ipc/OverlayClient.h"
#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"
#include "overlay/overlay_common/ipc/overlay_ipc_server.h"
#include "overlay/overlay_common/ipc/shared_memory.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace Overlay {

class GraphicDeviceHook;
class InputChannelsHook;
class MouseCursorHook;

// Sent with onClientStopped.
enum class StopCode : std::int32_t {
    Normal = 0,  // the game's main window was destroyed, or the client is destroyed
    Error = 1,   // the window hook, drawing, showing or the surface bounds failed
};

class OverlayClient : private GraphicDeviceHookListener,
                      private WindowHookListener,
                      private Ipc::Stub::OverlayClientIf,
                      private Ipc::ServerListener,
                      public std::enable_shared_from_this<OverlayClient>
{
public:
    // On the game window's thread, once the window is hooked: creates the shared overlay, starts
    // the IPC server and becomes the listener of both hooks. Throws when any of that fails.
    static std::shared_ptr<OverlayClient> create();
    // Stops with StopCode::Normal first.
    ~OverlayClient() override;
    OverlayClient(const OverlayClient&) = delete;
    OverlayClient& operator=(const OverlayClient&) = delete;

    // Stopped or Success.
    OverlayClientApi::Result getState();
    // The requests of the exports: each waits for the sender's thread to make it, at most the pipe's
    // time-outs behind the calls queued before (never call them on a game thread).
    // Pings the open connection, or opens it and registers: see HostConnection::prepare.
    OverlayClientApi::Result prepare();
    // Asks the host to show the overlay (a test overlay with `params`); prepares first.
    OverlayClientApi::Result requestShow(const OverlayClientApi::TestOverlayParams* params);
    // Asks the host to hide the overlay; hides it here when the host cannot be told.
    OverlayClientApi::Result requestHide();
    // One way; a second stop does nothing. Tells the host (queued last, best effort) and waits a
    // bounded time for the sender's thread and the IPC server to end; stuck ones end on their own.
    void stop(StopCode code);

    const std::string& pipeName() const { return pipeName_; }
    const std::string& sharedOverlayName() const { return sharedOverlay_->name(); }

private:
    class HostCalls;

    OverlayClient();
    void startIpcServer();
    static Rendering::SizeU sizeOf(const RECT& rect);

    // GraphicDeviceHookListener (rendering thread)
    void onPresent(GraphicApi& api) override;
    void onDeviceLost() override;
    void onDeviceReset(uint32_t width, uint32_t height, bool fullscreen) override;

    // WindowHookListener (window thread)
    void onWindowHookError() override;
    void onShiftTab() override;
    void onCtrlSpace() override;
    void onEscape() override;
    void onWindowMoved() override;
    void onWindowResized() override;
    void onWindowDestroyed() override;
    void onKeyEvent(const Ipc::Stub::KeyEvent& event) override;
    void onMouseMoveEvent(const Ipc::Stub::MouseMoveEvent& event) override;
    void onMouseClickEvent(const Ipc::Stub::MouseClickEvent& event) override;
    void onMouseWheelEvent(const Ipc::Stub::MouseWheelEvent& event) override;

    // OverlayClientIf (IPC server thread)
    bool showOverlay() override;
    bool hideOverlay() override;
    bool ping() override;

    // ServerListener (IPC server thread)
    void onClientConnected() override;
    void onClientDisconnected() override;
    void onServerFailed() override;

    // Any thread: queues `call` for the sender's thread; false when it was dropped (queue full or
    // stopped). `call` may outlive the client: it holds the connection, not the client.
    bool post(std::function<void(HostConnection&)> call);
    // Export threads: runs `request` on the sender's thread and waits for its result.
    OverlayClientApi::Result call(std::function<OverlayClientApi::Result(HostConnection&)> request);
    // Sender's thread: a call that failed leaves the input to the game (hides on the window thread),
    // one hide waiting at a time however many calls fail.
    static void hideAfterFailure(HostConnection& connection);

    // Runs `function` on the game window's thread unless the client has stopped by then.
    bool invoke(std::function<void()> function);

    // Window thread.
    void show();
    void hide();
    void updateCursor();
    // Window thread, queued for the sender's thread: a report or an input event whose send fails
    // hides the overlay; the hotkeys' requests, a failure logged (a hide request's hides here).
    void reportVisibility(bool shown);
    template <class Method, class Event>
    void forward(const char* label, Method method, const Event& event);
    void requestShowLater();
    void requestHideLater();
    // Any thread: hide on the window thread (at once when already there).
    void hideOnWindowThread();

    void refreshSurfaceBoundsFromWindow();
    // Window or rendering thread: kept for the next registration and queued for the host.
    void updateSurfaceBounds(const RECT& screenRect);
    void checkCursor();
    // Rendering thread, at the first frame of a show the host asked for.
    void logShowLatency();

    std::string pipeName_;
    WindowHook* windowHook_;                // borrowed from the application
    GraphicDeviceHook* graphicDeviceHook_;  // borrowed from the application
    MouseCursorHook* mouseCursorHook_;      // borrowed from the application; may be null
    InputChannelsHook* inputChannelsHook_;  // borrowed from the application; may be null
    std::shared_ptr<Ipc::SharedOverlay> sharedOverlay_;
    std::shared_ptr<Ipc::ServerImpl> ipcServer_;

    std::atomic<bool> stopped_{false};
    std::shared_ptr<HostConnection> connection_;  // shared with the calls queued on the sender
    std::shared_ptr<HostSender> sender_;

    Rendering::RenderOverlay renderOverlay_;
    std::atomic<bool> cursorUpdatePending_{false};
    std::atomic<bool> shown_{false};
    // Set from the host's showOverlay until show() has run on the window thread: the frames presented
    // meanwhile draw the overlay already (the window thread takes its messages once per frame).
    std::atomic<bool> drawAhead_{false};
    std::atomic<long long> showAskedAt_{0};  // QueryPerformanceCounter at showOverlay; 0 once drawn
    // Rendering thread only.
    bool shownReported_ = false;
    bool rendererReleased_ = true;  // renderOverlay_ holds no renderer
    bool rendererIdle_ = true;      // the hidden overlay's renderer was let go of or idled
    FrameFailures frameFailures_;
};

}  // namespace Overlay
