#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_object.h"

namespace Overlay::Rendering {

RenderObject::RenderObject(std::shared_ptr<Renderer> renderer) : renderer(std::move(renderer)) {}

void RenderObject::draw()
{
    if (!renderer) {
        throw std::runtime_error("Failed to draw object, renderer is null");
    }
    onDraw();
}

void RenderObject::setRenderer(std::shared_ptr<Renderer> newRenderer)
{
    if (newRenderer == renderer) {
        return;
    }
    releaseResources();
    renderer.reset();
    renderer = std::move(newRenderer);
    onRendererChanged();
}

void RenderObject::resetRenderer()
{
    releaseResources();
    renderer.reset();
}

}  // namespace Overlay::Rendering
