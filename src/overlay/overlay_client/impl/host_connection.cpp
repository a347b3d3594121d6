#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/host_connection.h"

#include "win/scope_guard.h"

#include <thrift/transport/TTransportException.h>

namespace Overlay {

using Ipc::Stub::OverlayHostClient;
using OverlayClientApi::Result;

Ipc::Stub::RectI toRectI(const RECT& rect)
{
    Ipc::Stub::RectI result;
    result.left = rect.left;
    result.top = rect.top;
    result.right = rect.right;
    result.bottom = rect.bottom;
    return result;
}

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

Result HostConnection::requestShow(const std::optional<Ipc::Stub::TestOverlayInfo>& info)
{
    if (stopped)
        return OverlayClientApi::Stopped;
    const Result prepared = prepare();
    if (prepared != OverlayClientApi::Success)
        return prepared;
    const bool sent = info ? send("requestShowTestOverlay", &OverlayHostClient::requestShowTestOverlay, *info)
                           : send("requestShowOverlay", &OverlayHostClient::requestShowOverlay);
    return sent ? OverlayClientApi::Success : OverlayClientApi::IpcError;
}

Result HostConnection::requestHide()
{
    if (stopped)
        return OverlayClientApi::Stopped;
    return send("requestHideOverlay", &OverlayHostClient::requestHideOverlay) ? OverlayClientApi::Success
                                                                              : OverlayClientApi::IpcError;
}

}  // namespace Overlay
