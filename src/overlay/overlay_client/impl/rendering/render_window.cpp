#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_window.h"

namespace Overlay::Rendering {

RenderWindow::RenderWindow(std::shared_ptr<Renderer> renderer, const Ipc::SharedId& windowId)
    : RenderObject(std::move(renderer)), sharedWindow_(Ipc::SharedWindow::open(windowId))
{
    bitmap_ = createWindowBitmap();
    needsUpload_ = true;
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

std::shared_ptr<Bitmap> RenderWindow::createWindowBitmap()
{
    SizeU size;
    {
        const auto lock = sharedWindow_->tryLock(hostLockTimeoutMs);
        if (!lock.owns_lock()) {
            return nullptr;  // made at the first frame that gets the lock
        }
        const Ipc::FrameView frame = sharedWindow_->currentFrameBuffer().frame();
        size = {frame.width, frame.height};
    }
    // An empty frame (the host has not drawn yet) has nothing to show and no texture.
    if (!renderer_ || size.width == 0 || size.height == 0) {
        return nullptr;
    }
    return renderer_->createBitmap(size);
}

void RenderWindow::onDraw()
{
    RectI placement;
    {
        auto lock = sharedWindow_->tryLock(hostLockTimeoutMs);
        if (!lock.owns_lock()) {
            busyLog_.busy();
            if (bitmap_ && !needsUpload_) {
                renderer_->drawBitmap(*bitmap_, placement_);
            }
            return;
        }
        busyLog_.free();
        const Ipc::SharedRect rect = sharedWindow_->rect();
        placement = {rect.left, rect.top, rect.right, rect.bottom};
        Ipc::FrameBuffer& frameBuffer = sharedWindow_->currentFrameBuffer();
        const Ipc::FrameView frame = frameBuffer.frame();
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
        if (frameBuffer.dirty() || needsUpload_) {
            bitmap_->update(frame.pixels, frame.pitch, nullptr);
            frameBuffer.clearDirty();
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
    bitmap_ = createWindowBitmap();
}

void RenderWindow::releaseResources()
{
    bitmap_.reset();
}

}  // namespace Overlay::Rendering
