#pragma once

// The game process as the host sees it: started or opened by id, the overlay DLL loaded into it,
// and the DLL's exports run there on threads of their own. Nothing here knows the overlay beyond
// the exported names: the export's address is read from the module's export table in the game's
// memory, its one pointer argument is copied into the game's memory, and the thread's exit code is
// the export's result.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace Overlay::Host {

class RemoteProcess
{
public:
    // Starts `commandLine` (the program first), suspended before its first instruction until
    // resume(). The game's standard output goes to `output`.
    static RemoteProcess launch(const std::wstring& commandLine, HANDLE output);
    static RemoteProcess open(DWORD processId);

    DWORD id() const { return id_; }
    // Lets a launched game run; nothing for an opened one or a second time.
    void resume();
    // The process's machine when it runs under WOW64, else IMAGE_FILE_MACHINE_UNKNOWN.
    USHORT wow64Machine() const { return machine_; }
    // A 32-bit x86 process: its modules, exports and pointers are 32-bit.
    bool is32Bit() const { return machine_ == IMAGE_FILE_MACHINE_I386; }
    HANDLE handle() const { return process_.get(); }
    // True once the process has ended; `exitCode` then holds its exit code.
    bool exited(DWORD* exitCode = nullptr) const;

    struct Module
    {
        std::wstring name;  // file name
        uintptr_t base;
    };
    // The modules the process has loaded; of a 32-bit process, its 32-bit modules only (under
    // WOW64 a system DLL's name is also taken by its 64-bit image).
    std::vector<Module> modules() const;

    // Base of the module with this file name in the process, or null. Waits up to `timeoutMs`
    // while the process has not loaded its system DLLs yet.
    uintptr_t moduleBase(const std::wstring& fileName, DWORD timeoutMs = 0) const;

    // LoadLibraryW(path) in the process on a thread started there. Throws on failure.
    void loadLibrary(const std::wstring& path, DWORD timeoutMs);

    // Runs the export `name` of the module at `moduleBase` on a new thread in the process with a
    // pointer to a copy of `argument` (null when empty) and returns the thread's exit code. Each
    // offset in `pointerFields` names a pointer-sized field of the argument (4 bytes in a 32-bit
    // process, 8 in a 64-bit one) that holds a nonzero offset
    // into the argument (a text stored after the record); the copy gets the address in the game
    // there. The copy is read back into `argument` afterwards (for out parameters). Throws when the
    // export does not exist or the thread does not end within `timeoutMs`.
    DWORD callExport(uintptr_t moduleBase, const std::string& name, std::vector<uint8_t>& argument,
                     const std::vector<size_t>& pointerFields, DWORD timeoutMs);

    void write(uintptr_t address, const void* data, size_t size);
    void read(uintptr_t address, void* data, size_t size) const;

private:
    RemoteProcess(Win::UniqueHandle process, DWORD id, Win::UniqueHandle suspended = {})
        : process_(std::move(process)), suspended_(std::move(suspended)), id_(id), machine_(readWow64Machine())
    {
    }

    // Asked once: a process keeps its machine for life.
    USHORT readWow64Machine() const;

    // A 32-bit image (PE32) at `base`, below 4 GiB.
    bool is32BitImage(uintptr_t base) const;
    // `what` names the call in the error when it does not return.
    DWORD runThread(uintptr_t start, uintptr_t parameter, DWORD timeoutMs, const std::string& what);
    // CreateRemoteThread, bounded: the thread's handle, or an error naming `what`.
    HANDLE startThread(uintptr_t start, uintptr_t parameter, DWORD timeoutMs, const std::string& what);
    // The address of export `name` of the module at `moduleBase` (a 32-bit or 64-bit image);
    // a forwarded export is followed to its module. `depth` bounds chains of forwarders.
    uintptr_t exportAddress(uintptr_t moduleBase, const std::string& name, int depth = 0) const;

    Win::UniqueHandle process_;
    Win::UniqueHandle suspended_;  // the launched game's first thread until resumed
    DWORD id_ = 0;
    USHORT machine_ = IMAGE_FILE_MACHINE_UNKNOWN;
};

}  // namespace Overlay::Host
