#pragma once
// Writes the OpenGL implementation the overlay draws with (vendor, renderer, versions), the
// window's pixel format and its client size into the log.

#include "overlay/overlay_client/impl/rendering/gl/renderer_gl.h"

namespace Overlay {

// INFO lines; nothing when the log does not take INFO. Never throws.
void dumpGlDevice(const Rendering::RendererGL& renderer);

}  // namespace Overlay
