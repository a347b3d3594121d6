#include "graphics_api.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

#include "err/text_conversion.h"
#include "overlay/overlay_client/overlay_client_api.h"
#include "win/unique_handle.h"

namespace Overlay::Host {

namespace {

struct Rule
{
    const char* prefix;  // of the lower-case file name, which ends in .dll
    const char* api;
    uint32_t graphicApi;
};

// Narrowest first. vulkan-1.dll after the Direct3D rules, which it must not shadow: DXVK and vkd3d
// load it for Direct3D games.
constexpr Rule rules[] = {
    {"d3d9.dll", "d3d9", OverlayClientApi::GraphicApiD3D9},
    // The device's module before dxgi.dll, to name it in the choice.
    {"d3d12.dll", "dxgi", OverlayClientApi::GraphicApiDxgi},
    {"d3d11.dll", "dxgi", OverlayClientApi::GraphicApiDxgi},
    {"d3d10", "dxgi", OverlayClientApi::GraphicApiDxgi},
    {"dxgi.dll", "dxgi", OverlayClientApi::GraphicApiDxgi},
    {"vulkan-1.dll", "vulkan", OverlayClientApi::GraphicApiVulkan},
    {"opengl32.dll", "opengl", OverlayClientApi::GraphicApiOpenGl},
};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool matches(const Rule& rule, const std::string& name)
{
    return name.rfind(rule.prefix, 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0;
}

}  // namespace

std::optional<ApiChoice> chooseGraphicsApi(const std::vector<std::string>& moduleNames)
{
    for (const Rule& rule : rules)
        for (const std::string& name : moduleNames)
            if (matches(rule, lower(name)))
                return ApiChoice{rule.api, rule.graphicApi, lower(name)};
    return std::nullopt;
}

std::string graphicsModulesLookedFor()
{
    return "d3d9.dll, d3d12.dll, d3d11.dll, d3d10*.dll, dxgi.dll, vulkan-1.dll, opengl32.dll";
}

std::vector<std::string> gameModuleNames(const RemoteProcess& game)
{
    std::vector<std::string> names;
    for (const RemoteProcess::Module& module : game.modules())
        names.push_back(lower(Err::utf16ToUtf8(module.name)));
    return names;
}

const char* apiName(uint32_t graphicApi)
{
    return graphicApi == OverlayClientApi::GraphicApiD3D9     ? "d3d9"
           : graphicApi == OverlayClientApi::GraphicApiOpenGl ? "opengl"
           : graphicApi == OverlayClientApi::GraphicApiVulkan ? "vulkan"
                                                              : "dxgi";
}

}  // namespace Overlay::Host
