#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_object.h"

#include <chrono>

namespace Overlay::Rendering {
namespace {

using Clock = std::chrono::steady_clock;
thread_local bool inFrame = false;
thread_local Clock::time_point frameDeadline;

}  // namespace

FrameHostWaits::FrameHostWaits()
{
    frameDeadline = Clock::now() + std::chrono::milliseconds(hostLockTimeoutMs);
    inFrame = true;
}

FrameHostWaits::~FrameHostWaits()
{
    inFrame = false;
}

unsigned long FrameHostWaits::remainingMs()
{
    if (!inFrame) {
        return hostLockTimeoutMs;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(frameDeadline - Clock::now()).count();
    return left > 0 ? static_cast<unsigned long>(left) : 0;
}

void HostBusyLog::busy()
{
    if (!busy_) {
        busy_ = true;
        LOG_WARN(L"Host keeps %0 locked: the overlay shows its last frame", block_);
    }
}

void HostBusyLog::free()
{
    if (busy_) {
        busy_ = false;
        LOG_INFO(L"Host released %0", block_);
    }
}

void HostDataLog::refused(const char* what)
{
    if (last_ != what) {
        last_ = what;
        LOG_WARN(L"Refused the host's frame: %1", what);
    }
}

RenderObject::RenderObject(std::shared_ptr<Renderer> renderer) : renderer_(std::move(renderer)) {}

void RenderObject::draw()
{
    if (!renderer_) {
        throw std::runtime_error("Failed to draw object, renderer is null");
    }
    onDraw();
}

void RenderObject::setRenderer(std::shared_ptr<Renderer> newRenderer)
{
    if (newRenderer == renderer_) {
        return;
    }
    releaseResources();
    renderer_.reset();
    renderer_ = std::move(newRenderer);
    onRendererChanged();
}

void RenderObject::resetRenderer()
{
    releaseResources();
    renderer_.reset();
}

}  // namespace Overlay::Rendering
