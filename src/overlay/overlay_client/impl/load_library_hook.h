#pragma once

// Refuses to load the modules that must never run beside the overlay, at every entry point that
// loads modules: kernel32's LoadLibraryA/W and LoadLibraryExA/W, and ntdll's LdrLoadDll beneath
// them. A refused load looks like one the system denied. For modules loaded before the hook, the
// module inventory and the blacklist test let the application refuse to start.

#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"
#include "overlay/overlay_client/impl/single_instance.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(LoadLibraryHook);

struct ProcessModule
{
    std::wstring name;  // file name
    std::wstring path;  // full path
};
using ProcessModules = std::vector<ProcessModule>;

class LoadLibraryHook : private SingleInstance<LoadLibraryHook>
{
public:
    // Throws std::logic_error when one exists already, std::invalid_argument when a kernel32
    // function cannot be found. A missing LdrLoadDll is logged and tolerated.
    LoadLibraryHook();
    // Detaches all records, then destroys them.
    ~LoadLibraryHook();

    // LoadLibraryA, LoadLibraryW, LoadLibraryExA, LoadLibraryExW, then LdrLoadDll when found.
    HookList getHooks();

    // True when the file name part of `name` (after the last '/' or '\\') is on the blacklist,
    // compared with 'A'..'Z' folded to lower case. `length` in characters.
    static bool isBlacklisted(const char* name, std::size_t length) noexcept;
    static bool isBlacklisted(const wchar_t* name, std::size_t length) noexcept;
    static bool isBlacklisted(const char* name) noexcept;
    static bool isBlacklisted(const wchar_t* name) noexcept;

    // Called on the loading thread after each load the game asks for, loaded or not, perhaps inside
    // the loader (a DllMain that loads a module): it must be quick and wait for nothing. Null: none.
    using LoadObserver = void (*)();
    static void setLoadObserver(LoadObserver observer) noexcept;

    // The modules of this process. Throws the system error "Failed to get process modules".
    static ProcessModules getProcessModules();
    // The entries whose module name is blacklisted, in the given order.
    static ProcessModules findBlacklisted(const ProcessModules& modules);

private:
    friend struct LoadLibraryReplacements;

    HookRecord loadLibraryA_;
    HookRecord loadLibraryW_;
    HookRecord loadLibraryExA_;
    HookRecord loadLibraryExW_;
    std::unique_ptr<HookRecord> ldrLoadDll_;
};

}  // namespace Overlay
