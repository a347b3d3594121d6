#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/diagnostic/overlay_diagnostic.h"

namespace Overlay {

void logModules(const ProcessModules& modules, bool fullPath, Log::Level level)
{
    if (!Log::Core::isEnabled(level))
        return;
    for (const ProcessModule& module : modules) {
        const std::wstring& text = fullPath ? module.path : module.name;
        if (!text.empty())
            Log::logProgram(__FILE__, __LINE__, level, L"%1", text);
    }
}

}  // namespace Overlay
