// overlay_hook_x86.exe: the message hook for 32-bit games, which the 64-bit overlay_host cannot set
// itself (a hook runs a module of the hooked thread's bitness, set from a process of that bitness).
// It runs for one load and is started by overlay_host:
//   overlay_hook_x86.exe PID DLL LOADER TIMEOUT_MS
// It sets overlay_loader_x86.dll's hook on the game's window thread, as overlay_host does for
// 64-bit games, and ends once the DLL has said it is loaded: exit code 0, or 1 with the reason on
// standard error.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <string>

#include "err/text_conversion.h"
#include "host_sdk/injection.h"
#include "host_sdk/remote_process.h"

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 5) {
        std::fprintf(stderr, "usage: overlay_hook_x86.exe PID DLL LOADER TIMEOUT_MS\n");
        return 2;
    }
    try {
        const DWORD pid = DWORD(std::stoul(argv[1]));
        const DWORD timeoutMs = DWORD(std::stoul(argv[4]));
        Overlay::Host::RemoteProcess game = Overlay::Host::RemoteProcess::open(pid);
        Overlay::Host::loadThroughHook(game, argv[2], argv[3], timeoutMs);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
