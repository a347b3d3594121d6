#pragma once
// The game side joined to the host: the connection to the host's pipe (service OverlayHost), the
// client's own IPC server (service OverlayClient), the shared overlay memory with the host's
// picture and the drawable that composites it over the game's frames. It listens to the graphics
// hook (every presented frame) and to the window hook (moves, resizes, input, hotkeys).
//
// Threads: exports (host's thread), host calls (IPC server thread), frames (rendering thread),
// window events, show, hide, reports and cursor updates (game window's thread, through invoke).

#include "overlay/overlay_client/impl/graphic_device_hook/graphic_api.h"
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

// The connection to the host's pipe and the OverlayHost calls made on it.
struct HostConnection
{
    static constexpr DWORD defaultTimeoutMs = 5000;
    static constexpr DWORD registrationTimeoutMs = 10000;

    explicit HostConnection(const std::string& hostPipeName);

    Ipc::IpcClient ipcClient;
    Ipc::Stub::OverlayHostClient host;
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
    // Pings the open connection, or opens it and registers: Success, Stopped, IpcError (pipe
    // transport failed) or UnexpectedError (anything else, the host's refusal included).
    OverlayClientApi::Result prepare();
    // Asks the host to show the overlay (a test overlay with `params`); prepares first.
    OverlayClientApi::Result requestShow(const OverlayClientApi::TestOverlayParams* params);
    // Asks the host to hide the overlay; hides it here when the host cannot be told.
    OverlayClientApi::Result requestHide();
    // One way; a second stop does nothing.
    void stop(StopCode code);

    const std::string& pipeName() const { return pipeName_; }
    const std::string& sharedOverlayName() const { return sharedOverlay_->name(); }

private:
    class HostCalls;

    OverlayClient();
    void startIpcServer();

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

    // Calls one OverlayHost method under the lock when the connection is open. False when it is
    // closed or the call failed; a failure closes the connection and is logged with `label`.
    template <class Method, class... Args>
    bool send(const char* label, Method method, const Args&... args);

    OverlayClientApi::Result prepareConnection();
    void registerClient();

    // Runs `function` on the game window's thread unless the client has stopped by then.
    bool invoke(std::function<void()> function);

    // Window thread.
    void show();
    void hide();
    void reportVisibility(bool shown);
    void updateCursor();
    template <class Method, class Event>
    void forward(const char* label, Method method, const Event& event);
    // Any thread: hide on the window thread (at once when already there).
    void hideOnWindowThread();

    void refreshSurfaceBoundsFromWindow();
    void updateSurfaceBounds(const RECT& screenRect);
    void checkCursor();

    std::string pipeName_;
    WindowHook* windowHook_;                // borrowed from the application
    GraphicDeviceHook* graphicDeviceHook_;  // borrowed from the application
    MouseCursorHook* mouseCursorHook_;      // borrowed from the application; may be null
    InputChannelsHook* inputChannelsHook_;  // borrowed from the application; may be null
    std::shared_ptr<Ipc::SharedOverlay> sharedOverlay_;
    std::shared_ptr<Ipc::ServerImpl> ipcServer_;

    std::recursive_mutex lock_;
    struct State
    {
        bool stopped = false;
        RECT surfaceBounds{};
        std::unique_ptr<HostConnection> hostConnection;
    } state_;

    Rendering::RenderOverlay renderOverlay_;
    std::atomic<bool> cursorUpdatePending_{false};
    std::atomic<bool> shown_{false};
    // Rendering thread only.
    bool shownReported_ = false;
    bool rendererReleased_ = true;
    FrameFailures frameFailures_;
};

}  // namespace Overlay
