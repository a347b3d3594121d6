#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_overlay.h"

namespace Overlay::Rendering {

RenderOverlay::RenderOverlay(std::shared_ptr<Ipc::SharedOverlay> sharedOverlay, const SizeU& surfaceSize,
                             std::shared_ptr<Renderer> renderer)
    : RenderObject(std::move(renderer)), sharedOverlay_(std::move(sharedOverlay))
{
    LOG_INFO(L"Create RenderOverlay: %0", static_cast<const void*>(this));
    if (!sharedOverlay_) {
        throw std::invalid_argument("sharedOverlay is null");
    }
    setSurfaceSize(surfaceSize);
}

RenderOverlay::~RenderOverlay()
{
    LOG_INFO(L"Destroy RenderOverlay: %0", static_cast<const void*>(this));
}

void RenderOverlay::setSurfaceSize(const SizeU& size)
{
    std::lock_guard<std::recursive_mutex> lock(surfaceMutex_);
    surfaceRect_ = {0, 0, static_cast<int32_t>(size.width), static_cast<int32_t>(size.height)};
}

void RenderOverlay::release()
{
    resetRenderer();
    window_.reset();
}

void RenderOverlay::onDraw()
{
    renderer_->beginDraw();
    try {
        RectI surface;
        {
            std::lock_guard<std::recursive_mutex> lock(surfaceMutex_);
            surface = surfaceRect_;
        }
        renderer_->fillRect(surface, dimColor);
        drawWindow();
    } catch (...) {
        // The game gets its state back whatever failed; the first failure is the one reported.
        try {
            renderer_->endDraw();
        } catch (const std::exception& e) {
            LOG_ERROR(L"Failed to end drawing after a failure: %0", e.what());
        }
        throw;
    }
    renderer_->endDraw();
}

void RenderOverlay::drawWindow()
{
    std::shared_ptr<RenderWindow> current;
    {
        const auto lock = sharedOverlay_->tryLock(FrameHostWaits::remainingMs());
        if (!lock.owns_lock()) {
            // Which window to show is unknown this frame: keep the one shown last.
            busyLog_.busy();
            if (window_) {
                window_->draw();
            }
            return;
        }
        busyLog_.free();
        const Ipc::SharedId windowId = sharedOverlay_->windowId();
        if (windowId.isZero()) {
            window_.reset();
            return;
        }
        if (!window_ || window_->windowId() != windowId) {
            window_.reset();
            try {
                window_ = std::make_shared<RenderWindow>(renderer_, windowId);
            } catch (const std::exception& e) {
                // Tried again next frame: the host may still make the block right.
                dataLog_.refused(e.what());
                return;
            }
            dataLog_.accepted();
        }
        current = window_;
    }
    current->draw();
}

void RenderOverlay::onRendererChanged()
{
    if (window_) {
        window_->setRenderer(renderer_);
    }
}

void RenderOverlay::releaseResources()
{
    if (window_) {
        window_->resetRenderer();
    }
}

}  // namespace Overlay::Rendering
