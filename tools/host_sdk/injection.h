#pragma once

// How the host brings the overlay DLL into the game without ever interrupting a busy game thread:
//  - a game the host starts (--launch) is created suspended and the DLL is added to the imports of
//    its main image, so that the system's loader brings it in before the game's first instruction;
//  - a running game (--pid) loads it from a message hook on its window thread, through
//    overlay_loader_x64.dll;
//  - a remote thread that calls LoadLibraryW, kept for comparison and for games with no window.
// Every wait has a bound and ends in a message that names what did not answer.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host_sdk/remote_process.h"

namespace Overlay::Host {

enum class LoadMethod { Import, Hook, Thread };

// What stops the overlay from running in a process whose WOW64 machine is `processMachine`
// (IMAGE_FILE_MACHINE_UNKNOWN for a native process, IMAGE_FILE_MACHINE_I386 for a 32-bit x86 one,
// which takes the 32-bit DLL), or an empty text.
std::string bitnessProblem(USHORT processMachine);

// The bytes of a new import directory that lists `existing` (without its terminator) and then
// `dllName`, importing `functionName` from it, laid out to lie at `blockRva` in the image:
// descriptors, terminator, lookup table, address table, the function's hint and name, the DLL name.
std::vector<uint8_t> buildImportBlock(const std::vector<IMAGE_IMPORT_DESCRIPTOR>& existing, uint32_t blockRva,
                                      const std::string& dllName, const std::string& functionName);

// The DLL's path as the loader reads an import name (the ANSI code page), the short form when the
// long one does not convert; throws when neither does.
std::string importNameOf(const std::wstring& dllPath);

// Checks that `dllPath` is a 64-bit DLL (32-bit with `x86`) that exports `functionName`: a DLL the loader cannot take
// at a game's start would stop the game from starting at all. Throws with the reason.
void checkOverlayDll(const std::wstring& dllPath, const std::string& functionName, bool x86 = false);

// The fields of initializeOverlayEx's record, newest version.
struct InitRecordFields
{
    std::string pipeHostName;
    std::string logDirectory;
    bool disableMouseCursorHook = false;
    uint32_t graphicApi = 0;
    bool enableHotkeys = false;
};

// initializeOverlayEx's record as the game's DLL reads it, with the two texts stored after it: the
// 64-bit DLL's (34 bytes) or, with `x86`, the 32-bit DLL's, the same packed fields with 4-byte
// pointers (26 bytes: version +0, pipeHostName +4, reserved +8, logDirectory +16,
// disableMouseCursorHook +20, graphicApi +21, enableHotkeys +25). The pointer fields hold the
// texts' offsets in the block; their places go to `pointerFields`, for RemoteProcess::callExport.
std::vector<uint8_t> initParamsExRecord(const InitRecordFields& fields, bool x86, std::vector<size_t>& pointerFields);

// An import of the overlay DLL added to a suspended process's main image, taken out again (the
// original directories written back) by restore() or at destruction.
class ImportPatch
{
public:
    ImportPatch(RemoteProcess& process, const std::wstring& dllPath, const std::string& functionName);
    ~ImportPatch() { restore(); }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    void restore() noexcept;

private:
    void writeDirectories(const IMAGE_DATA_DIRECTORY& imports, const IMAGE_DATA_DIRECTORY& bound);

    RemoteProcess& process_;
    uintptr_t header_ = 0;       // the image's base, where its headers lie
    uintptr_t directories_ = 0;  // the header's data directories
    IMAGE_DATA_DIRECTORY imports_ = {};
    IMAGE_DATA_DIRECTORY bound_ = {};
    bool applied_ = false;
};

// Loads the DLL through a WH_GETMESSAGE hook on the game's window thread; returns once the DLL is
// loaded and ready for export calls. The hook is removed before returning, also on failure.
void loadThroughHook(RemoteProcess& game, const std::wstring& dllPath, const std::wstring& loaderPath, DWORD timeoutMs);

// Waits until the DLL, brought in by an import or a remote thread or found there, is ready for
// export calls. Throws when the game ends first or `timeoutMs` passes.
void waitForLoadedDll(const RemoteProcess& game, DWORD timeoutMs);

}  // namespace Overlay::Host
