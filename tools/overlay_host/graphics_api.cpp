#include "graphics_api.h"

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <map>

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

// Narrowest first. vulkan-1.dll ("vulkan") will go after the Direct3D rules, which it must not
// shadow: DXVK and vkd3d load it for Direct3D games.
constexpr Rule rules[] = {
    {"d3d9.dll", "d3d9", OverlayClientApi::GraphicApiD3D9},
    // The device's module before dxgi.dll, to name it in the choice.
    {"d3d12.dll", "dxgi", OverlayClientApi::GraphicApiDxgi},
    {"d3d11.dll", "dxgi", OverlayClientApi::GraphicApiDxgi},
    {"d3d10", "dxgi", OverlayClientApi::GraphicApiDxgi},
    {"dxgi.dll", "dxgi", OverlayClientApi::GraphicApiDxgi},
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

// A zero-terminated name in the game's memory, read in small steps so as not to run past its page.
std::string readName(const RemoteProcess& game, uintptr_t address)
{
    std::string name;
    char chunk[16];
    while (name.size() < MAX_PATH) {
        game.read(address + name.size(), chunk, sizeof chunk);
        const auto end = std::find(chunk, chunk + sizeof chunk, '\0');
        name.append(chunk, end);
        if (end != chunk + sizeof chunk)
            break;
    }
    return lower(name);
}

// The names in a loaded module's import directory; none when it cannot be read.
std::vector<std::string> importsOf(const RemoteProcess& game, uintptr_t base)
{
    std::vector<std::string> names;
    try {
        IMAGE_DOS_HEADER dos = {};
        game.read(base, &dos, sizeof dos);
        IMAGE_NT_HEADERS64 nt = {};
        game.read(base + dos.e_lfanew, &nt, sizeof nt);
        if (dos.e_magic != IMAGE_DOS_SIGNATURE || nt.Signature != IMAGE_NT_SIGNATURE ||
            nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
            return names;
        const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (uintptr_t at = base + directory.VirtualAddress; directory.VirtualAddress != 0 && names.size() < 1000;
             at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            IMAGE_IMPORT_DESCRIPTOR descriptor = {};
            game.read(at, &descriptor, sizeof descriptor);
            if (descriptor.Name == 0)
                break;
            names.push_back(readName(game, base + descriptor.Name));
        }
    } catch (const std::exception&) {
        // A module being unloaded: whatever was read.
    }
    return names;
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
    return "d3d9.dll, d3d12.dll, d3d11.dll, d3d10*.dll, dxgi.dll, opengl32.dll";
}

std::vector<std::string> gameModuleNames(const RemoteProcess& game, const std::wstring& overlayFileName)
{
    std::map<std::string, std::vector<std::string>> imports;  // of each loaded module
    Win::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, game.id()));
    if (!snapshot)
        return {};
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(snapshot.get(), &entry); more; more = Module32NextW(snapshot.get(), &entry))
        imports[lower(Err::utf16ToUtf8(entry.szModule))] =
            importsOf(game, reinterpret_cast<uintptr_t>(entry.modBaseAddr));

    // Every loaded module that the overlay does not bring in is the game's, with all it imports;
    // the overlay is never followed, in case its import is still in the game's own table.
    const std::string overlay = lower(Err::utf16ToUtf8(overlayFileName));
    std::map<std::string, bool> overlays;
    std::vector<std::string> pending = {overlay};
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        if (!imports.count(name) || overlays[name])
            continue;
        overlays[name] = true;
        pending.insert(pending.end(), imports[name].begin(), imports[name].end());
    }
    std::map<std::string, bool> used;
    for (const auto& module : imports)
        if (!overlays[module.first])
            pending.push_back(module.first);
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        if (name == overlay || !imports.count(name) || used[name])
            continue;
        used[name] = true;
        pending.insert(pending.end(), imports[name].begin(), imports[name].end());
    }
    std::vector<std::string> names;
    for (const auto& module : used)
        names.push_back(module.first);
    return names;
}

const char* apiName(uint32_t graphicApi)
{
    return graphicApi == OverlayClientApi::GraphicApiD3D9     ? "d3d9"
           : graphicApi == OverlayClientApi::GraphicApiOpenGl ? "opengl"
                                                              : "dxgi";
}

}  // namespace Overlay::Host
