#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_window.h"

namespace Overlay::Rendering {

namespace {

// The largest texture side every supported device can make; a larger frame would fail the
// device, not the host.
constexpr uint32_t maxFrameSide = 8192;

}  // namespace

RenderWindow::RenderWindow(std::shared_ptr<Renderer> renderer, const Ipc::SharedId& windowId)
    : RenderObject(std::move(renderer)), sharedWindow_(Ipc::SharedWindow::open(windowId, FrameHostWaits::remainingMs()))
{
    // The bitmap is made at the first frame, from the frame the host has then.
    LOG_INFO(L"Create RenderWindow: %0", static_cast<const void*>(this));
}

RenderWindow::~RenderWindow()
{
    LOG_INFO(L"Destroy RenderWindow: %0", static_cast<const void*>(this));
}

const Ipc::SharedId& RenderWindow::windowId() const
{
    return sharedWindow_->id();
}

void RenderWindow::drawLast()
{
    if (bitmap_ && !needsUpload_) {
        renderer_->drawBitmap(*bitmap_, placement_);
    }
}

void RenderWindow::onDraw()
{
    RectI placement;
    {
        auto lock = sharedWindow_->tryLock(FrameHostWaits::remainingMs());
        if (!lock.owns_lock()) {
            busyLog_.busy();
            drawLast();
            return;
        }
        busyLog_.free();
        Ipc::FrameBuffer* frameBuffer = nullptr;  // borrowed from sharedWindow_
        Ipc::FrameView frame;
        try {
            const Ipc::SharedRect rect = sharedWindow_->rect();
            placement = {rect.left, rect.top, rect.right, rect.bottom};
            frameBuffer = &sharedWindow_->currentFrameBuffer();
            frame = frameBuffer->frame();
            if (frame.width > maxFrameSide || frame.height > maxFrameSide) {
                throw std::runtime_error("Frame too large");
            }
        } catch (const std::exception& e) {
            dataLog_.refused(e.what());
            drawLast();
            return;
        }
        dataLog_.accepted();
        const SizeU frameSize = {frame.width, frame.height};
        if (!bitmap_ || bitmap_->size() != frameSize) {
            needsUpload_ = true;
            bitmap_.reset();
            if (frameSize.width == 0 || frameSize.height == 0) {
                return;
            }
            bitmap_ = renderer_->createBitmap(frameSize);
            if (!bitmap_) {
                return;
            }
        }
        if (frameBuffer->dirty() || needsUpload_) {
            bitmap_->update(frame.pixels, frame.pitch, nullptr);
            frameBuffer->clearDirty();
            needsUpload_ = false;
        }
    }
    placement_ = placement;
    renderer_->drawBitmap(*bitmap_, placement);
}

void RenderWindow::onRendererChanged()
{
    needsUpload_ = true;
    bitmap_.reset();
}

void RenderWindow::releaseResources()
{
    bitmap_.reset();
}

}  // namespace Overlay::Rendering
