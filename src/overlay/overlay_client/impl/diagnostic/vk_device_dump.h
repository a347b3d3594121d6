#pragma once
// Writes the Vulkan device the overlay draws with (the game's: name, type, ids, versions), the queue
// family it submits on and the game's swap chain into the log.

#include "overlay/overlay_client/impl/rendering/vk/renderer_vk.h"

namespace Overlay {

// INFO lines; nothing when the log does not take INFO. Never throws.
void dumpVkDevice(const Rendering::RendererVk& renderer);

}  // namespace Overlay
