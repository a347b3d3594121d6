#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_overlay.h"

namespace Overlay::Rendering {

RenderOverlay::RenderOverlay(std::shared_ptr<Ipc::SharedOverlay> sharedOverlay, const SizeU& surfaceSize,
                             std::shared_ptr<Renderer> renderer)
    : RenderObject(std::move(renderer)), sharedOverlay(std::move(sharedOverlay))
{
    LOG_INFO(L"Create RenderOverlay: %0", static_cast<const void*>(this));
    if (!this->sharedOverlay) {
        throw std::invalid_argument("sharedOverlay is null");
    }
    setSurfaceSize(surfaceSize);
}

RenderOverlay::~RenderOverlay()
{
    LOG_INFO(L"Destroy RenderOverlay: %0", static_cast<const void*>(this));
    window.reset();
    sharedOverlay.reset();
    renderer.reset();
}

void RenderOverlay::setSurfaceSize(const SizeU& size)
{
    std::lock_guard<std::recursive_mutex> lock(surfaceMutex);
    surfaceRect = {0, 0, static_cast<int32_t>(size.width), static_cast<int32_t>(size.height)};
}

void RenderOverlay::release()
{
    resetRenderer();
    window.reset();
}

void RenderOverlay::onDraw()
{
    renderer->beginDraw();
    try {
        RectI surface;
        {
            std::lock_guard<std::recursive_mutex> lock(surfaceMutex);
            surface = surfaceRect;
        }
        renderer->fillRect(surface, dimColor);
        drawWindow();
    } catch (...) {
        // The game gets its state back whatever failed; the first failure is the one reported.
        try {
            renderer->endDraw();
        } catch (const std::exception& e) {
            LOG_ERROR(L"Failed to end drawing after a failure: %0", e.what());
        }
        throw;
    }
    renderer->endDraw();
}

void RenderOverlay::drawWindow()
{
    std::shared_ptr<RenderWindow> current;
    {
        const auto lock = sharedOverlay->lock();
        const Ipc::SharedId windowId = sharedOverlay->windowId();
        if (windowId.isZero()) {
            window.reset();
            return;
        }
        if (!window || window->windowId() != windowId) {
            window.reset();
            window = std::make_shared<RenderWindow>(renderer, windowId);
        }
        current = window;
    }
    current->draw();
}

void RenderOverlay::onRendererChanged()
{
    if (window) {
        window->setRenderer(renderer);
    }
}

void RenderOverlay::releaseResources()
{
    if (window) {
        window->resetRenderer();
    }
}

}  // namespace Overlay::Rendering
