#pragma once
// The viewport that places a quad drawn over the whole clip space onto a destination rectangle.
// Direct3D 11 and 12 viewports have the same fields.

#include "overlay/overlay_client/impl/rendering/renderer.h"

namespace Overlay::Rendering {

template <class Viewport>
Viewport viewportOver(const RectI& dst)
{
    Viewport viewport;
    viewport.TopLeftX = static_cast<float>(dst.left);
    viewport.TopLeftY = static_cast<float>(dst.top);
    viewport.Width = static_cast<float>(dst.right - dst.left);
    viewport.Height = static_cast<float>(dst.bottom - dst.top);
    viewport.MinDepth = 0.0f;
    viewport.MaxDepth = 1.0f;
    return viewport;
}

}  // namespace Overlay::Rendering
