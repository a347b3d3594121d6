#include "host_sdk/remote_process.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <memory>
#include <stdexcept>
#include <thread>

#include "err/system_error.h"
#include "err/text_conversion.h"
#include "win/scope_guard.h"

namespace Overlay::Host {

namespace {

bool sameFileName(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}

// Memory in the other process, freed when the call that used it has finished. A call that timed
// out dismisses the free: its thread may still read the memory.
class RemoteBuffer
{
public:
    RemoteBuffer(HANDLE process, size_t size) : process_(process)
    {
        if (size == 0)
            return;
        address_ = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!address_)
            Err::throwLastError("Failed to allocate memory in the game");
    }
    ~RemoteBuffer()
    {
        if (address_ && owned_)
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    uintptr_t address() const { return reinterpret_cast<uintptr_t>(address_); }
    void leak() { owned_ = false; }

private:
    HANDLE process_;  // borrowed
    void* address_ = nullptr;
    bool owned_ = true;
};

}  // namespace

RemoteProcess RemoteProcess::launch(const std::wstring& commandLine, HANDLE output)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    std::wstring mutableLine = commandLine;
    if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &info))
        Err::throwLastError("Failed to start the game");
    return RemoteProcess(Win::UniqueHandle(info.hProcess), info.dwProcessId, Win::UniqueHandle(info.hThread));
}

void RemoteProcess::resume()
{
    if (!suspended_)
        return;
    const Win::UniqueHandle thread = std::move(suspended_);
    if (ResumeThread(thread.get()) == DWORD(-1))
        Err::throwLastError("Failed to let the game run");
}

USHORT RemoteProcess::readWow64Machine() const
{
    using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT nativeMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    if (isWow64Process2 && isWow64Process2(process_.get(), &processMachine, &nativeMachine))
        return processMachine;
    // Before Windows 10 1709: only whether it is a 32-bit process on a 64-bit system.
    BOOL wow64 = FALSE;
    if (IsWow64Process(process_.get(), &wow64) && wow64)
        return IMAGE_FILE_MACHINE_I386;
    return IMAGE_FILE_MACHINE_UNKNOWN;
}

RemoteProcess RemoteProcess::open(DWORD processId)
{
    const DWORD access = PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION | PROCESS_VM_READ |
                         PROCESS_VM_WRITE | SYNCHRONIZE;
    Win::UniqueHandle process(OpenProcess(access, FALSE, processId));
    if (!process)
        Err::throwLastError("Failed to open the game process " + std::to_string(processId));
    return RemoteProcess(std::move(process), processId);
}

bool RemoteProcess::exited(DWORD* exitCode) const
{
    if (WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process_.get(), exitCode);
    return true;
}

std::vector<RemoteProcess::Module> RemoteProcess::modules() const
{
    std::vector<Module> found;
    if (!is32Bit()) {
        Win::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id_));
        if (!snapshot)
            return found;
        MODULEENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Module32FirstW(snapshot.get(), &entry); more; more = Module32NextW(snapshot.get(), &entry))
            found.push_back({entry.szModule, reinterpret_cast<uintptr_t>(entry.modBaseAddr)});
        return found;
    }
    // A 32-bit process's modules: Wine's module snapshot of one refuses a 64-bit caller, the process
    // status functions list them (looked up here: older systems name them in psapi.dll only).
    using EnumModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*, DWORD);
    using ModuleName = DWORD(WINAPI*)(HANDLE, HMODULE, wchar_t*, DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto enumModules =
        reinterpret_cast<EnumModules>(reinterpret_cast<void*>(GetProcAddress(kernel, "K32EnumProcessModulesEx")));
    const auto moduleName =
        reinterpret_cast<ModuleName>(reinterpret_cast<void*>(GetProcAddress(kernel, "K32GetModuleBaseNameW")));
    if (!enumModules || !moduleName)
        return found;
    std::vector<HMODULE> handles(1024);
    DWORD needed = 0;
    if (!enumModules(process_.get(), handles.data(), DWORD(handles.size() * sizeof(HMODULE)), &needed,
                     LIST_MODULES_32BIT) &&
        !enumModules(process_.get(), handles.data(), DWORD(handles.size() * sizeof(HMODULE)), &needed,
                     LIST_MODULES_ALL))
        return found;
    handles.resize(std::min<size_t>(handles.size(), needed / sizeof(HMODULE)));
    for (const HMODULE handle : handles) {
        wchar_t name[MAX_PATH] = {};
        const auto base = reinterpret_cast<uintptr_t>(handle);
        if (moduleName(process_.get(), handle, name, MAX_PATH) && is32BitImage(base))
            found.push_back({name, base});
    }
    return found;
}

uintptr_t RemoteProcess::moduleBase(const std::wstring& fileName, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        for (const Module& module : modules())
            if (sameFileName(module.name, fileName))
                return module.base;
        if (GetTickCount64() >= deadline || exited())
            return 0;
        // A freshly started process lists no modules until its loader has run.
        Sleep(20);
    }
}

bool RemoteProcess::is32BitImage(uintptr_t base) const
{
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS32 nt = {};
    SIZE_T done = 0;
    return (static_cast<uint64_t>(base) >> 32) == 0 &&
           ReadProcessMemory(process_.get(), reinterpret_cast<const void*>(base), &dos, sizeof dos, &done) &&
           dos.e_magic == IMAGE_DOS_SIGNATURE &&
           ReadProcessMemory(process_.get(), reinterpret_cast<const void*>(base + dos.e_lfanew), &nt, sizeof nt,
                             &done) &&
           nt.Signature == IMAGE_NT_SIGNATURE && nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC;
}

void RemoteProcess::write(uintptr_t address, const void* data, size_t size)
{
    SIZE_T written = 0;
    if (!WriteProcessMemory(process_.get(), reinterpret_cast<void*>(address), data, size, &written) ||
        written != size) {
        if (exited())
            throw std::runtime_error("the game ended");
        Err::throwLastError("Failed to write into the game's memory");
    }
}

void RemoteProcess::read(uintptr_t address, void* data, size_t size) const
{
    SIZE_T done = 0;
    if (!ReadProcessMemory(process_.get(), reinterpret_cast<const void*>(address), data, size, &done) || done != size) {
        if (exited())
            throw std::runtime_error("the game ended");
        Err::throwLastError("Failed to read the game's memory");
    }
}

DWORD RemoteProcess::runThread(uintptr_t start, uintptr_t parameter, DWORD timeoutMs, const std::string& what)
{
    const ULONGLONG started = GetTickCount64();
    Win::UniqueHandle thread(startThread(start, parameter, timeoutMs, what));
    const ULONGLONG spent = GetTickCount64() - started;
    const HANDLE waits[] = {thread.get(), process_.get()};
    const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, spent < timeoutMs ? DWORD(timeoutMs - spent) : 0);
    if (waited != WAIT_OBJECT_0)
        throw std::runtime_error(waited == WAIT_OBJECT_0 + 1
                                     ? "the game ended during " + what
                                     : what + " did not return within " + std::to_string(timeoutMs) +
                                           " ms; the game's threads may be blocked");
    DWORD exitCode = 0;
    if (!GetExitCodeThread(thread.get(), &exitCode))
        Err::throwLastError("Failed to read the result of the call in the game");
    return exitCode;
}

HANDLE RemoteProcess::startThread(uintptr_t start, uintptr_t parameter, DWORD timeoutMs, const std::string& what)
{
    // Under Wine, CreateRemoteThread returns once one of the game's threads has made the thread; in a
    // game whose threads are all stopped, or ending, none ever does. So the call is made on a thread
    // of ours and waited for with the bound; one that never returns is left behind.
    struct Call
    {
        Win::UniqueHandle process;
        Win::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        HANDLE thread = nullptr;
        DWORD error = 0;
        std::atomic<bool> abandoned{false};
    };
    auto call = std::make_shared<Call>();
    HANDLE process = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), process_.get(), GetCurrentProcess(), &process, 0, FALSE,
                         DUPLICATE_SAME_ACCESS) ||
        !call->done)
        Err::throwLastError("Failed to prepare a thread in the game for " + what);
    call->process.reset(process);
    std::thread([call, start, parameter] {
        call->thread =
            CreateRemoteThread(call->process.get(), nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(start),
                               reinterpret_cast<void*>(parameter), 0, nullptr);
        call->error = GetLastError();
        SetEvent(call->done.get());
        if (call->abandoned.load() && call->thread)
            CloseHandle(call->thread);
    }).detach();
    if (WaitForSingleObject(call->done.get(), timeoutMs) != WAIT_OBJECT_0) {
        // The late thread's handle is closed there (or, in a narrow race, left open: one handle).
        call->abandoned.store(true);
        throw std::runtime_error("the game did not start a thread for " + what + " within " +
                                 std::to_string(timeoutMs) + " ms; its threads may be blocked or ending");
    }
    if (!call->thread) {
        if (exited())
            throw std::runtime_error("the game ended before " + what);
        SetLastError(call->error);
        Err::throwLastError("Failed to start a thread in the game for " + what);
    }
    return call->thread;
}

void RemoteProcess::loadLibrary(const std::wstring& path, DWORD timeoutMs)
{
    uintptr_t remoteLoad = 0;
    if (is32Bit()) {
        // Another kernel32 than ours: its export table, read in the game, says where.
        const uintptr_t remoteKernel = moduleBase(L"kernel32.dll", timeoutMs);
        if (!remoteKernel)
            throw std::runtime_error("kernel32.dll not found in the game");
        remoteLoad = exportAddress(remoteKernel, "LoadLibraryW");
    } else {
        // kernel32 is mapped at its own base in each process; LoadLibraryW lies at the same offset.
        const HMODULE localKernel = GetModuleHandleW(L"kernel32.dll");
        const auto localLoad = reinterpret_cast<uintptr_t>(GetProcAddress(localKernel, "LoadLibraryW"));
        const uintptr_t remoteKernel = moduleBase(L"kernel32.dll", timeoutMs);
        if (!localLoad || !remoteKernel)
            throw std::runtime_error("kernel32.dll not found in the game");
        remoteLoad = remoteKernel + (localLoad - reinterpret_cast<uintptr_t>(localKernel));
    }

    const size_t bytes = (path.size() + 1) * sizeof(wchar_t);
    RemoteBuffer text(process_.get(), bytes);
    write(text.address(), path.c_str(), bytes);
    auto keepOnTimeout = Win::scopeExit([&] { text.leak(); });
    const DWORD loaded = runThread(remoteLoad, text.address(), timeoutMs, "LoadLibraryW in the game");
    keepOnTimeout.dismiss();
    // The exit code holds only the low half of the module handle: zero means it failed.
    if (!loaded)
        throw std::runtime_error("LoadLibraryW failed in the game for " + Err::utf16ToUtf8(path));
}

uintptr_t RemoteProcess::exportAddress(uintptr_t moduleBase, const std::string& name, int depth) const
{
    IMAGE_DOS_HEADER dos = {};
    read(moduleBase, &dos, sizeof dos);
    // The optional headers differ after the magic; the export directory is found in either.
    IMAGE_NT_HEADERS64 nt64 = {};
    read(moduleBase + dos.e_lfanew, &nt64, offsetof(IMAGE_NT_HEADERS64, OptionalHeader.Magic) + sizeof(WORD));
    IMAGE_DATA_DIRECTORY directory = {};
    if (dos.e_magic == IMAGE_DOS_SIGNATURE && nt64.Signature == IMAGE_NT_SIGNATURE &&
        nt64.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        read(moduleBase + dos.e_lfanew, &nt64, sizeof nt64);
        directory = nt64.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else if (dos.e_magic == IMAGE_DOS_SIGNATURE && nt64.Signature == IMAGE_NT_SIGNATURE &&
               nt64.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        IMAGE_NT_HEADERS32 nt32 = {};
        read(moduleBase + dos.e_lfanew, &nt32, sizeof nt32);
        directory = nt32.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else {
        throw std::runtime_error("the module at " + std::to_string(moduleBase) + " in the game is not an image");
    }
    if (directory.VirtualAddress == 0)
        throw std::runtime_error("the module in the game exports nothing");
    IMAGE_EXPORT_DIRECTORY exports = {};
    read(moduleBase + directory.VirtualAddress, &exports, sizeof exports);

    std::vector<DWORD> names(exports.NumberOfNames);
    std::vector<WORD> ordinals(exports.NumberOfNames);
    if (!names.empty()) {
        read(moduleBase + exports.AddressOfNames, names.data(), names.size() * sizeof(DWORD));
        read(moduleBase + exports.AddressOfNameOrdinals, ordinals.data(), ordinals.size() * sizeof(WORD));
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::string candidate(name.size() + 1, '\0');
        read(moduleBase + names[i], &candidate[0], candidate.size());
        if (candidate.compare(0, name.size(), name) != 0 || candidate.back() != '\0')
            continue;
        if (ordinals[i] >= exports.NumberOfFunctions)
            break;
        DWORD rva = 0;
        read(moduleBase + exports.AddressOfFunctions + ordinals[i] * sizeof(DWORD), &rva, sizeof rva);
        if (rva < directory.VirtualAddress || rva >= directory.VirtualAddress + directory.Size)
            return moduleBase + rva;
        // Forwarded: "module.function" in place of code.
        char text[256] = {};
        SIZE_T done = 0;
        ReadProcessMemory(process_.get(), reinterpret_cast<const void*>(moduleBase + rva), text, sizeof text - 1,
                          &done);
        const std::string forward(text);
        const size_t dot = forward.find('.');
        if (dot == std::string::npos || depth >= 4 || forward[dot + 1] == '#')
            throw std::runtime_error("the export " + name + " is forwarded to " + forward + ", which is not followed");
        const std::wstring target = Err::utf8ToUtf16(forward.substr(0, dot) + ".dll");
        const uintptr_t targetBase = this->moduleBase(target);
        if (!targetBase)
            throw std::runtime_error("the export " + name + " is forwarded to " + forward + ", not loaded in the game");
        return exportAddress(targetBase, forward.substr(dot + 1), depth + 1);
    }
    throw std::runtime_error("the module in the game has no export " + name);
}

DWORD RemoteProcess::callExport(uintptr_t moduleBase, const std::string& name, std::vector<uint8_t>& argument,
                                const std::vector<size_t>& pointerFields, DWORD timeoutMs)
{
    const uintptr_t start = exportAddress(moduleBase, name);
    RemoteBuffer copy(process_.get(), argument.size());
    if (!argument.empty()) {
        std::vector<uint8_t> placed = argument;
        const size_t width = is32Bit() ? sizeof(uint32_t) : sizeof(uint64_t);
        for (size_t field : pointerFields) {
            uint64_t offset = 0;  // little-endian: the low bytes of a 4-byte field
            std::memcpy(&offset, &placed.at(field + width - 1) - (width - 1), width);
            if (offset == 0)
                continue;
            if (offset >= placed.size())
                throw std::logic_error("pointer field outside the argument");
            const uint64_t address = copy.address() + offset;
            if (width == sizeof(uint32_t) && address > UINT32_MAX)
                throw std::runtime_error("the game's memory for " + name + " lies above 4 GiB");
            std::memcpy(&placed[field], &address, width);
        }
        write(copy.address(), placed.data(), placed.size());
    }
    auto keepOnTimeout = Win::scopeExit([&] { copy.leak(); });
    const DWORD result = runThread(start, copy.address(), timeoutMs, name);
    keepOnTimeout.dismiss();
    if (!argument.empty())
        read(copy.address(), argument.data(), argument.size());
    return result;
}

}  // namespace Overlay::Host
