#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_window.h"

namespace Overlay::Rendering {

RenderWindow::RenderWindow(std::shared_ptr<Renderer> renderer, const Ipc::SharedId& windowId)
    : RenderObject(std::move(renderer)), sharedWindow(Ipc::SharedWindow::open(windowId))
{
    bitmap = createWindowBitmap();
    needsUpload = true;
    LOG_INFO(L"Create RenderWindow: %0", static_cast<const void*>(this));
}

RenderWindow::~RenderWindow()
{
    LOG_INFO(L"Destroy RenderWindow: %0", static_cast<const void*>(this));
}

const Ipc::SharedId& RenderWindow::windowId() const
{
    return sharedWindow->id();
}

std::shared_ptr<Bitmap> RenderWindow::createWindowBitmap()
{
    SizeU size;
    {
        const auto lock = sharedWindow->lock();
        const Ipc::FrameView frame = sharedWindow->currentFrameBuffer().frame();
        size = {frame.width, frame.height};
    }
    // An empty frame (the host has not drawn yet) has nothing to show and no texture.
    if (!renderer || size.width == 0 || size.height == 0) {
        return nullptr;
    }
    return renderer->createBitmap(size);
}

void RenderWindow::onDraw()
{
    RectI placement;
    {
        auto lock = sharedWindow->lock();
        const Ipc::SharedRect rect = sharedWindow->rect();
        placement = {rect.left, rect.top, rect.right, rect.bottom};
        Ipc::FrameBuffer& frameBuffer = sharedWindow->currentFrameBuffer();
        const Ipc::FrameView frame = frameBuffer.frame();
        const SizeU frameSize = {frame.width, frame.height};
        if (!bitmap || bitmap->size() != frameSize) {
            needsUpload = true;
            bitmap.reset();
            if (frameSize.width == 0 || frameSize.height == 0) {
                return;
            }
            bitmap = renderer->createBitmap(frameSize);
            if (!bitmap) {
                return;
            }
        }
        if (frameBuffer.dirty() || needsUpload) {
            bitmap->update(frame.pixels, frame.pitch, nullptr);
            frameBuffer.clearDirty();
            needsUpload = false;
        }
    }
    renderer->drawBitmap(*bitmap, placement);
}

void RenderWindow::onRendererChanged()
{
    needsUpload = true;
    bitmap.reset();
    bitmap = createWindowBitmap();
}

void RenderWindow::releaseResources()
{
    bitmap.reset();
}

}  // namespace Overlay::Rendering
