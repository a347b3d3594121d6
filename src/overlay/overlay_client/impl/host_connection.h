#pragma once
// The connection to the host's pipe (service OverlayHost) and the calls the client makes on it.

#include "log/log.h"
#include "overlay/overlay_client/overlay_client_api.h"
#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace Overlay {

// The connection to the host's pipe and the OverlayHost calls made on it. Pipe I/O on the
// sender's thread only; shared with that thread, so that a call stuck there outlives the client.
class OverlayClient;

struct HostConnection
{
    static constexpr DWORD defaultTimeoutMs = 5000;
    static constexpr DWORD registrationTimeoutMs = 10000;

    // `info`: the client as registration tells it, but for the surface bounds.
    HostConnection(const std::string& hostPipeName, const Ipc::Stub::ClientInfo& info);

    // Sender's thread. Calls one OverlayHost method when the connection is open. False when it is
    // closed or the call failed; a failure closes the connection and is logged with `label`.
    template <class Method, class... Args>
    bool send(const char* label, Method method, const Args&... args);
    // Sender's thread. Pings the open connection, or opens it and registers: Success, Stopped,
    // IpcError (pipe transport failed) or UnexpectedError (anything else, the host's refusal
    // included).
    OverlayClientApi::Result prepare();
    // Sender's thread: prepares, then asks the host to show the overlay (a test overlay with `info`).
    OverlayClientApi::Result requestShow(const std::optional<Ipc::Stub::TestOverlayInfo>& info);
    // Sender's thread: Success when the host was asked to hide the overlay, IpcError when it cannot
    // be told.
    OverlayClientApi::Result requestHide();

    // Any thread; sent with the next registration.
    void setSurfaceBounds(const RECT& bounds);

    Ipc::IpcClient ipcClient;
    Ipc::Stub::OverlayHostClient host;
    std::weak_ptr<OverlayClient> client;   // set before the first call is queued
    std::atomic<bool> stopped{false};      // requests still queued at the client's stop answer Stopped
    std::atomic<bool> hidePending{false};  // a failure's hide posted to the window thread, not run yet

private:
    void registerClient();

    Ipc::Stub::ClientInfo info_;
    std::mutex boundsLock_;  // never held across pipe I/O
    RECT surfaceBounds_{};
};

// The wire's rectangle.
Ipc::Stub::RectI toRectI(const RECT& rect);

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

}  // namespace Overlay
