#include "host_session.h"

#include <algorithm>
#include <cmath>

namespace Overlay::Host {

namespace {

// The surface size a client reports before its window has a size.
constexpr uint32_t fallbackWidth = 800;
constexpr uint32_t fallbackHeight = 600;

}  // namespace

HostSession::HostSession(const Ipc::Stub::ClientInfo& info) : info_(info)
{
    overlay_ = HostOverlay::open(info.shmemName);
    connection_ = std::make_unique<ClientConnection>(info.pipeName);
    setSurface(info.scurfaceBounds);
}

void HostSession::setSurface(const Ipc::Stub::RectI& bounds)
{
    const int64_t width = int64_t(bounds.right) - bounds.left;
    const int64_t height = int64_t(bounds.bottom) - bounds.top;
    const bool valid = width > 0 && height > 0 && width <= 16384 && height <= 16384;
    surfaceWidth_ = valid ? uint32_t(width) : fallbackWidth;
    surfaceHeight_ = valid ? uint32_t(height) : fallbackHeight;
    // The frame buffer holds a whole surface, so that every placement fits; a bigger surface gets
    // a new one, named to the client with the next frame.
    const uint32_t capacity = surfaceWidth_ * surfaceHeight_;
    if (!frameBuffer_ || frameBuffer_->capacity() < capacity)
        frameBuffer_ = HostFrameBuffer::create(capacity);
    if (!window_) {
        window_ = HostWindow::create(placement());
    } else {
        auto guard = window_->lock();
        window_->setRect(placement());
    }
}

void HostSession::usePanel()
{
    testRectangle_ = false;
}

void HostSession::useTestRectangle(const Ipc::Stub::TestOverlayInfo& info)
{
    testRectangle_ = true;
    test_ = info;
}

SharedRect HostSession::placement() const
{
    uint32_t width = surfaceWidth_ / 2;
    uint32_t height = surfaceHeight_ / 2;
    if (testRectangle_) {
        auto scaled = [](double relative, uint32_t size) {
            const double clamped = std::isfinite(relative) ? std::clamp(relative, 0.0, 1.0) : 0.0;
            return uint32_t(std::lround(clamped * size));
        };
        width = scaled(test_.relativeSize.width, surfaceWidth_);
        height = scaled(test_.relativeSize.height, surfaceHeight_);
    }
    width = std::max(width, 16u);
    height = std::max(height, 16u);
    const int32_t left = (int32_t(surfaceWidth_) - int32_t(width)) / 2;
    const int32_t top = (int32_t(surfaceHeight_) - int32_t(height)) / 2;
    return {left, top, left + int32_t(width), top + int32_t(height)};
}

void HostSession::render()
{
    const SharedRect rect = placement();
    const auto width = uint32_t(rect.right - rect.left);
    const auto height = uint32_t(rect.bottom - rect.top);
    if (picture_.width != width || picture_.height != height)
        picture_.resize(width, height);
    ++frame_;
    if (testRectangle_) {
        uint32_t argb = uint32_t(test_.color);
        if ((argb >> 24) == 0)
            argb |= 0xFF000000u;
        picture_.fill(argb);
    } else {
        picture_.drawPanel(frame_, {"OVERLAY HOST", "FRAME " + std::to_string(frame_), "LAST INPUT:", lastInput_});
    }
    {
        auto guard = window_->lock();
        window_->setRect(rect);
    }
    window_->publishFrame(*frameBuffer_, width, height, picture_.pixels.data(), size_t(width) * 4);
    overlay_->showWindow(window_->id());
}

template <class Call>
bool HostSession::callClient(Call call)
{
    // One reconnect: the client's pipe serves one host connection at a time and drops it when
    // the client restarts its side.
    for (int attempt = 0;; ++attempt) {
        try {
            connection_->open();
            return call(connection_->service());
        } catch (const std::exception&) {
            connection_->close();
            if (attempt > 0)
                throw;
        }
    }
}

bool HostSession::show()
{
    return callClient([](Ipc::Stub::OverlayClientClient& client) { return client.showOverlay(); });
}

bool HostSession::hide()
{
    return callClient([](Ipc::Stub::OverlayClientClient& client) { return client.hideOverlay(); });
}

bool HostSession::ping()
{
    return callClient([](Ipc::Stub::OverlayClientClient& client) { return client.ping(); });
}

}  // namespace Overlay::Host
