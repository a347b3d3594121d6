#pragma once

// What --api auto hooks: the graphics API of the modules the game has loaded. Under Wine the
// Direct3D 9, 10 and 11 modules run on wined3d, which loads opengl32.dll itself, and Direct3D 12 runs
// on vkd3d, which loads Vulkan; so the narrowest module decides: d3d9.dll, then the DXGI family,
// then vulkan-1.dll, then opengl32.dll.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host_sdk/remote_process.h"

namespace Overlay::Host {

struct ApiChoice
{
    const char* api;      // as --api names it
    uint32_t graphicApi;  // for initializeOverlayEx
    std::string module;   // the loaded module that decided
};

// The API for the first rule a module name matches, rules in the order above; none for no match.
std::optional<ApiChoice> chooseGraphicsApi(const std::vector<std::string>& moduleNames);

// The module names the rules look for, for messages.
std::string graphicsModulesLookedFor();

// The file names of the game's loaded modules, lower case. The overlay DLL imports no graphics
// module, so whatever it brings in does not count. Empty while the game's loader has not run.
std::vector<std::string> gameModuleNames(const RemoteProcess& game);

// The --api name of a graphicApi value.
const char* apiName(uint32_t graphicApi);

}  // namespace Overlay::Host
