#pragma once
// Something drawn with a renderer. Every device object an object makes belongs to its current
// renderer; a renderer change drops them first, so no bitmap of one renderer meets another.

#include "overlay/overlay_client/impl/rendering/renderer.h"

#include <memory>

namespace Overlay::Rendering {

class RenderObject
{
public:
    explicit RenderObject(std::shared_ptr<Renderer> renderer);
    RenderObject(const RenderObject&) = delete;
    RenderObject& operator=(const RenderObject&) = delete;
    virtual ~RenderObject() = default;

    // Throws std::runtime_error when there is no renderer.
    void draw();
    // Nothing happens for the renderer already set.
    void setRenderer(std::shared_ptr<Renderer> renderer);
    void resetRenderer();

protected:
    virtual void onDraw() = 0;
    virtual void onRendererChanged() = 0;
    virtual void releaseResources() = 0;

    std::shared_ptr<Renderer> renderer_;
};

}  // namespace Overlay::Rendering
