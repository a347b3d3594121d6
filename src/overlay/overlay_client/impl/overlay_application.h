#pragma once
// The process-wide object behind the exported functions: start-up (logging, the module-load hook,
// the blacklist refusal, the mandatory graphics and cursor hooks), then, once the game has shown
// its window, the window hook, the invoker and the overlay client; and the stop of it all.

#include "overlay/overlay_client/impl/single_instance.h"
#include "overlay/overlay_client/overlay_client_api.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Overlay {

class GraphicDeviceHook;
class InputChannelsHook;
class MouseCursorHook;
class WindowHook;
class ApplicationImpl;

struct ApplicationSettings
{
    std::string pipeHostName;
    std::wstring logDirectory;
    std::uint32_t graphicApi = OverlayClientApi::GraphicApiDxgi;
    bool disableMouseCursorHook = false;
    bool enableHotkeys = false;
    // Routes the IPC library's own diagnostics into the log; not settable by the host.
    bool enableThriftLog = true;
};

// The version the client announces to the host.
extern const char* const overlayClientVersion;  // OVERLAY_VERSION_STRING, from project(VERSION)

OVERLAY_SINGLE_INSTANCE_NAME(Application);

class Application : private SingleInstance<Application>
{
public:
    // Nothing is started here; run does that.
    explicit Application(const ApplicationSettings& settings);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The application while it exists, otherwise null.
    using SingleInstance<Application>::instance;

    // Start-up; a second call logs "Overlay already running" and returns the first result.
    OverlayClientApi::Result run();
    // Idempotent.
    void stop();

    // The guarded operations of the exports: Stopped, ClientNotCreated, or the client's answer.
    OverlayClientApi::Result getState();
    OverlayClientApi::Result prepare();
    OverlayClientApi::Result hide();
    // Null params: the ordinary overlay.
    OverlayClientApi::Result showTest(const OverlayClientApi::TestOverlayParams* params);

    // Never 0, fixed for the life of the process.
    std::int64_t getId() const;
    const ApplicationSettings& settings() const;
    // Borrowed; null until created (the cursor hook stays null when disabled).
    WindowHook* windowHook() const;
    GraphicDeviceHook* graphicDeviceHook() const;
    MouseCursorHook* mouseCursorHook() const;
    // May be null.
    InputChannelsHook* inputChannelsHook() const;
    // Runs `function` on the game window's thread (at once when already there and !forcePost).
    // False when there is no invoker yet or the function could not be posted.
    bool invoke(std::function<void()> function, bool forcePost);

private:
    std::shared_ptr<ApplicationImpl> impl_;
};

}  // namespace Overlay
