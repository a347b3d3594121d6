#pragma once
// Process-level diagnostics written into the log.

#include "log/level.h"
#include "overlay/overlay_client/impl/load_library_hook.h"

namespace Overlay {

// One line per module, in list order: its full path (`fullPath` true) or its file name, at `level`.
// Modules whose chosen text is empty are left out.
void logModules(const ProcessModules& modules, bool fullPath, Log::Level level);

}  // namespace Overlay
