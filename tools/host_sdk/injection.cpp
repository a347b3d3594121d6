#include "host_sdk/injection.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "err/system_error.h"
#include "err/text_conversion.h"
#include "overlay/overlay_client/overlay_client_api.h"
#include "overlay/overlay_common/loading/load_contract.h"
#include "win/scope_guard.h"
#include "win/unique_handle.h"

namespace Overlay::Host {

namespace {

using Loading::LoaderBlock;
using Loading::LoaderState;

// How long taking the added import out again may hold the host up.
constexpr DWORD restoreTimeoutMs = 2000;

std::string milliseconds(DWORD timeoutMs)
{
    return std::to_string(timeoutMs) + " ms";
}

size_t alignUp(size_t value, size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Polls until the DLL's loaded event is signalled; `check` may throw to end the wait early. The
// wait began at `since` (GetTickCount64) and lasts `timeoutMs` from there.
void waitLoaded(const RemoteProcess& game, ULONGLONG since, DWORD timeoutMs, const std::string& blockedHint,
                const std::function<void()>& check)
{
    const std::wstring name = Loading::loadedEventName(game.id());
    const ULONGLONG deadline = since + timeoutMs;
    Win::UniqueHandle loaded;
    for (;;) {
        if (!loaded)
            loaded.reset(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
        if (loaded && WaitForSingleObject(loaded.get(), 0) == WAIT_OBJECT_0)
            return;
        check();
        DWORD exitCode = 0;
        if (game.exited(&exitCode))
            throw std::runtime_error("the game ended (exit code " + std::to_string(exitCode) +
                                     ") before it loaded the overlay");
        if (GetTickCount64() >= deadline)
            throw std::runtime_error("the game did not load the overlay within " + milliseconds(timeoutMs) + "; " +
                                     blockedHint);
        WaitForSingleObject(loaded ? loaded.get() : game.handle(), 10);
    }
}

// Writes the import and bound-import directories into the image header at `header`. False, with
// the last error set, when the game's memory could not be changed.
bool writeImportDirectories(HANDLE process, uintptr_t header, uintptr_t directories,
                            const IMAGE_DATA_DIRECTORY& imports, const IMAGE_DATA_DIRECTORY& bound)
{
    // The headers are read-only; an image page made writable becomes the process's own copy.
    DWORD old = 0;
    void* page = reinterpret_cast<void*>(header);
    if (!VirtualProtectEx(process, page, 0x1000, PAGE_READWRITE, &old) &&
        !VirtualProtectEx(process, page, 0x1000, PAGE_WRITECOPY, &old))
        return false;
    SIZE_T written = 0;
    const bool done =
        WriteProcessMemory(process,
                           reinterpret_cast<void*>(directories + IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof imports),
                           &imports, sizeof imports, &written) &&
        written == sizeof imports &&
        WriteProcessMemory(process,
                           reinterpret_cast<void*>(directories + IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT * sizeof bound),
                           &bound, sizeof bound, &written) &&
        written == sizeof bound;
    const DWORD error = GetLastError();
    VirtualProtectEx(process, page, 0x1000, old, &old);
    SetLastError(error);
    return done;
}

struct WindowSearch
{
    DWORD processId;
    DWORD visibleThread;
    DWORD anyThread;
};

BOOL CALLBACK visitWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD processId = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || GetWindow(window, GW_OWNER))
        return TRUE;
    if (!search->anyThread)
        search->anyThread = thread;
    if (IsWindowVisible(window)) {
        search->visibleThread = thread;
        return FALSE;
    }
    return TRUE;
}

// The thread of the game's first visible top-level window, else of any of its top-level windows.
DWORD findWindowThread(const RemoteProcess& game, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        WindowSearch search = {game.id(), 0, 0};
        EnumWindows(visitWindow, reinterpret_cast<LPARAM>(&search));
        if (search.visibleThread || search.anyThread)
            return search.visibleThread ? search.visibleThread : search.anyThread;
        if (game.exited())
            throw std::runtime_error("the game ended before it loaded the overlay");
        if (GetTickCount64() >= deadline)
            throw std::runtime_error("the game showed no window within " + milliseconds(timeoutMs) +
                                     " to load the overlay through (--load-with thread works without one)");
        Sleep(20);
    }
}

class RemoteReader
{
public:
    explicit RemoteReader(const RemoteProcess& process) : process_(process) {}
    template <class T>
    T at(uintptr_t address) const
    {
        T value = {};
        process_.read(address, &value, sizeof value);
        return value;
    }

private:
    const RemoteProcess& process_;
};

// The base of the process's main image, from its process environment block.
uintptr_t mainImageBase(const RemoteProcess& process)
{
    struct BasicInformation
    {
        LONG_PTR exitStatus;
        void* peb;
        ULONG_PTR affinityMask;
        LONG_PTR basePriority;
        ULONG_PTR processId;
        ULONG_PTR parentId;
    };
    using Query = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    BasicInformation info = {};
    if (!query || query(process.handle(), 0 /* ProcessBasicInformation */, &info, sizeof info, nullptr) < 0 ||
        !info.peb)
        throw std::runtime_error("the game's process environment block cannot be read");
    // PEB.ImageBaseAddress on x64.
    const auto base = RemoteReader(process).at<uintptr_t>(reinterpret_cast<uintptr_t>(info.peb) + 0x10);
    if (!base)
        throw std::runtime_error("the game's main image is not mapped yet");
    return base;
}

// Memory for the new import directory above the image and within reach of a 32-bit offset from its
// base (an import directory is given as such an offset).
uintptr_t allocateAbove(const RemoteProcess& process, uintptr_t base, uintptr_t imageEnd, size_t size)
{
    constexpr uintptr_t granularity = 0x10000;
    const uintptr_t limit = base + 0x7FF00000;
    for (uintptr_t address = alignUp(imageEnd, granularity); address + size < limit;) {
        MEMORY_BASIC_INFORMATION region = {};
        if (!VirtualQueryEx(process.handle(), reinterpret_cast<void*>(address), &region, sizeof region))
            break;
        const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (region.State == MEM_FREE && regionEnd - address >= size) {
            void* placed = VirtualAllocEx(process.handle(), reinterpret_cast<void*>(address), size,
                                          MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
            if (placed)
                return reinterpret_cast<uintptr_t>(placed);
        }
        address = alignUp(regionEnd, granularity);
    }
    throw std::runtime_error("no free memory near the game's main image for the overlay's import");
}

}  // namespace

std::string bitnessProblem(USHORT processMachine)
{
    if (processMachine == IMAGE_FILE_MACHINE_UNKNOWN || processMachine == IMAGE_FILE_MACHINE_I386)
        return std::string();
    char machine[8];
    std::snprintf(machine, sizeof machine, "%04X", processMachine);
    return std::string("the game runs under WOW64 for machine 0x") + machine + "; the overlay is built for x64 and x86";
}

std::vector<uint8_t> buildImportBlock(const std::vector<IMAGE_IMPORT_DESCRIPTOR>& existing, uint32_t blockRva,
                                      const std::string& dllName, const std::string& functionName)
{
    const size_t descriptors = alignUp((existing.size() + 2) * sizeof(IMAGE_IMPORT_DESCRIPTOR), 8);
    const size_t lookup = descriptors;
    const size_t addresses = lookup + 2 * sizeof(uint64_t);
    const size_t hintName = addresses + 2 * sizeof(uint64_t);
    const size_t name = alignUp(hintName + sizeof(WORD) + functionName.size() + 1, 2);
    std::vector<uint8_t> block(name + dllName.size() + 1, 0);

    std::memcpy(block.data(), existing.data(), existing.size() * sizeof(IMAGE_IMPORT_DESCRIPTOR));
    IMAGE_IMPORT_DESCRIPTOR added = {};
    added.OriginalFirstThunk = DWORD(blockRva + lookup);
    added.Name = DWORD(blockRva + name);
    added.FirstThunk = DWORD(blockRva + addresses);
    std::memcpy(block.data() + existing.size() * sizeof added, &added, sizeof added);
    // By name (top bit clear): the offset of the hint and name; the loader overwrites the address
    // table's copy with the function's address.
    const uint64_t byName = blockRva + hintName;
    std::memcpy(block.data() + lookup, &byName, sizeof byName);
    std::memcpy(block.data() + addresses, &byName, sizeof byName);
    std::memcpy(block.data() + hintName + sizeof(WORD), functionName.data(), functionName.size());
    std::memcpy(block.data() + name, dllName.data(), dllName.size());
    return block;
}

std::string importNameOf(const std::wstring& dllPath)
{
    const auto convert = [](const std::wstring& text, std::string& out) {
        BOOL lossy = FALSE;
        const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), int(text.size()), nullptr, 0,
                                             nullptr, &lossy);
        if (size <= 0 || lossy)
            return false;
        out.assign(size_t(size), '\0');
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), int(text.size()), &out[0], size, nullptr,
                            nullptr);
        return true;
    };
    std::string name;
    if (convert(dllPath, name))
        return name;
    wchar_t shortPath[MAX_PATH * 4];
    const DWORD length = GetShortPathNameW(dllPath.c_str(), shortPath, DWORD(std::size(shortPath)));
    if (length > 0 && length < std::size(shortPath) && convert(std::wstring(shortPath, length), name))
        return name;
    throw std::runtime_error("the overlay DLL's path " + Err::utf16ToUtf8(dllPath) +
                             " cannot be written in the system's code page for the game's import table");
}

void checkOverlayDll(const std::wstring& dllPath, const std::string& functionName, bool x86)
{
    const std::string path = Err::utf16ToUtf8(dllPath);
    const HMODULE image = LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!image)
        throw std::runtime_error(
            Err::details::appendSystemCode("the overlay DLL " + path + " cannot be opened:", GetLastError()));
    auto unload = Win::scopeExit([image] { FreeLibrary(image); });
    // A resource mapping's handle has its low bits set; the image itself lies at the rounded base.
    const auto* base = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(image) & ~uintptr_t(0xFFFF));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const auto* nt32 = reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt);
    const WORD machine = x86 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->FileHeader.Machine != machine || !(nt->FileHeader.Characteristics & IMAGE_FILE_DLL))
        throw std::runtime_error("the overlay DLL " + path + (x86 ? " is not a 32-bit DLL" : " is not a 64-bit DLL"));
    // The two optional headers differ before their data directories.
    const IMAGE_DATA_DIRECTORY& directory = x86 ? nt32->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT]
                                                : nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const DWORD imageSize = x86 ? nt32->OptionalHeader.SizeOfImage : nt->OptionalHeader.SizeOfImage;
    if (directory.VirtualAddress != 0 && directory.VirtualAddress < imageSize) {
        const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
        const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            if (functionName == reinterpret_cast<const char*>(base + names[i]))
                return;
    }
    throw std::runtime_error("the overlay DLL " + path + " does not export " + functionName);
}

std::vector<uint8_t> initParamsExRecord(const InitRecordFields& fields, bool x86, std::vector<size_t>& pointerFields)
{
    struct Layout
    {
        size_t version, pipeHostName, reserved, logDirectory, disableMouseCursorHook, graphicApi, enableHotkeys, size,
            pointer;
    };
    constexpr Layout x64 = {0, 4, 12, 20, 28, 29, 33, 34, 8};
    constexpr Layout x32 = {0, 4, 8, 16, 20, 21, 25, 26, 4};
    // The public header gives the record of the DLL of this build's own bitness.
    using Record = OverlayClientApi::InitParamsEx;
#if defined(_WIN64)
    constexpr Layout own = x64;
#else
    constexpr Layout own = x32;
#endif
    static_assert(offsetof(Record, pipeHostName) == own.pipeHostName && offsetof(Record, reserved) == own.reserved &&
                      offsetof(Record, logDirectory) == own.logDirectory &&
                      offsetof(Record, disableMouseCursorHook) == own.disableMouseCursorHook &&
                      offsetof(Record, graphicApi) == own.graphicApi &&
                      offsetof(Record, enableHotkeys) == own.enableHotkeys && sizeof(Record) == own.size,
                  "the record as the public header gives it");
    const Layout& at = x86 ? x32 : x64;

    std::vector<uint8_t> block(at.size + fields.pipeHostName.size() + 1 + fields.logDirectory.size() + 1, 0);
    auto put = [&](size_t offset, uint64_t value, size_t bytes) { std::memcpy(&block[offset], &value, bytes); };
    const size_t pipeText = at.size;
    const size_t logText = pipeText + fields.pipeHostName.size() + 1;
    put(at.version, OverlayClientApi::InitParamsExVersion, 4);
    put(at.pipeHostName, pipeText, at.pointer);
    put(at.logDirectory, logText, at.pointer);
    put(at.disableMouseCursorHook, fields.disableMouseCursorHook ? 1 : 0, 1);
    put(at.graphicApi, fields.graphicApi, 4);
    put(at.enableHotkeys, fields.enableHotkeys ? 1 : 0, 1);
    std::memcpy(&block[pipeText], fields.pipeHostName.data(), fields.pipeHostName.size());
    std::memcpy(&block[logText], fields.logDirectory.data(), fields.logDirectory.size());
    pointerFields = {at.pipeHostName, at.logDirectory};
    return block;
}

ImportPatch::ImportPatch(RemoteProcess& process, const std::wstring& dllPath, const std::string& functionName)
    : process_(process)
{
    const RemoteReader remote(process);
    header_ = mainImageBase(process);
    const auto dos = remote.at<IMAGE_DOS_HEADER>(header_);
    const auto nt = remote.at<IMAGE_NT_HEADERS64>(header_ + dos.e_lfanew);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        throw std::runtime_error("the game's main image is not a 64-bit image");
    directories_ = header_ + dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory);
    imports_ = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bound_ = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT];

    std::vector<IMAGE_IMPORT_DESCRIPTOR> existing;
    for (uintptr_t at = imports_.VirtualAddress ? header_ + imports_.VirtualAddress : 0; at;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto descriptor = remote.at<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (descriptor.Name == 0 && descriptor.FirstThunk == 0)
            break;
        if (existing.size() >= 4096)
            throw std::runtime_error("the game's import table has no end");
        existing.push_back(descriptor);
    }

    const std::string dllName = importNameOf(dllPath);
    const size_t size = buildImportBlock(existing, 0, dllName, functionName).size();
    // Left in the game when the import is taken out again: a few hundred bytes, and nothing of the
    // game's can still hold an address in it by mistake.
    const uintptr_t block = allocateAbove(process, header_, header_ + nt.OptionalHeader.SizeOfImage, size);
    const uint32_t blockRva = uint32_t(block - header_);
    const std::vector<uint8_t> bytes = buildImportBlock(existing, blockRva, dllName, functionName);
    process.write(block, bytes.data(), bytes.size());

    IMAGE_DATA_DIRECTORY added = {blockRva, DWORD(bytes.size())};
    // Bound imports describe the old table; without them the loader resolves every import itself.
    applied_ = true;
    writeDirectories(added, IMAGE_DATA_DIRECTORY{});
}

void ImportPatch::writeDirectories(const IMAGE_DATA_DIRECTORY& imports, const IMAGE_DATA_DIRECTORY& bound)
{
    if (!writeImportDirectories(process_.handle(), header_, directories_, imports, bound)) {
        if (process_.exited())
            throw std::runtime_error("the game ended");
        Err::throwLastError("Failed to patch the game's import directory");
    }
}

void ImportPatch::restore() noexcept
{
    if (!applied_ || process_.exited())
        return;
    applied_ = false;
    // Under Wine, another process's page protection is changed by one of that process's own
    // threads, and a game that is ending may never get to it: the write is made on a thread of
    // ours and waited for briefly. Should it come late, it still only writes the game's original
    // directories back.
    struct Restore
    {
        Win::UniqueHandle process;
        Win::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        uintptr_t header = 0, directories = 0;
        IMAGE_DATA_DIRECTORY imports = {}, bound = {};
    };
    try {
        auto job = std::make_shared<Restore>();
        HANDLE process = nullptr;
        if (!job->done || !DuplicateHandle(GetCurrentProcess(), process_.handle(), GetCurrentProcess(), &process, 0,
                                           FALSE, DUPLICATE_SAME_ACCESS))
            return;
        job->process.reset(process);
        job->header = header_;
        job->directories = directories_;
        job->imports = imports_;
        job->bound = bound_;
        std::thread([job] {
            writeImportDirectories(job->process.get(), job->header, job->directories, job->imports, job->bound);
            SetEvent(job->done.get());
        }).detach();
        WaitForSingleObject(job->done.get(), restoreTimeoutMs);
    } catch (const std::exception&) {
        // The game keeps an extra import that is already loaded: harmless.
    }
}

void waitForLoadedDll(const RemoteProcess& game, DWORD timeoutMs)
{
    waitLoaded(game, GetTickCount64(), timeoutMs, "its threads may be blocked", [] {});
}

void loadThroughHook(RemoteProcess& game, const std::wstring& dllPath, const std::wstring& loaderPath, DWORD timeoutMs)
{
    const ULONGLONG started = GetTickCount64();
    const DWORD thread = findWindowThread(game, timeoutMs);

    // The loader block first: the hook may run as soon as it is set.
    const std::wstring blockName = Loading::loaderBlockName(game.id());
    Win::UniqueHandle mapping(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LoaderBlock), blockName.c_str()));
    if (!mapping)
        Err::throwLastError("Failed to create the loader block for the game");
    auto* block = static_cast<LoaderBlock*>(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(LoaderBlock)));
    if (!block)
        Err::throwLastError("Failed to map the loader block");
    auto unmap = Win::scopeExit([block] { UnmapViewOfFile(block); });
    const size_t capacity = sizeof block->dllPath / sizeof block->dllPath[0];
    if (dllPath.size() >= capacity)
        throw std::runtime_error("the overlay DLL's path is too long");
    std::memset(block, 0, sizeof *block);
    std::memcpy(block->dllPath, dllPath.c_str(), (dllPath.size() + 1) * sizeof(wchar_t));
    block->version = LoaderBlock::currentVersion;

    const HMODULE loader = LoadLibraryW(loaderPath.c_str());
    if (!loader)
        Err::throwLastError("Failed to load the overlay loader " + Err::utf16ToUtf8(loaderPath));
    auto unload = Win::scopeExit([loader] { FreeLibrary(loader); });
    const auto hookProc =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(loader, Loading::loaderHookName)));
    if (!hookProc)
        throw std::runtime_error("the overlay loader " + Err::utf16ToUtf8(loaderPath) + " has no " +
                                 Loading::loaderHookName);
    const HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, hookProc, loader, thread);
    if (!hook)
        Err::throwLastError("SetWindowsHookExW failed for the game's window thread " + std::to_string(thread));
    auto unhook = Win::scopeExit([hook] { UnhookWindowsHookEx(hook); });
    // The hook runs when the thread next takes a message: make sure there is one.
    PostThreadMessageW(thread, WM_NULL, 0, 0);

    waitLoaded(game, started, timeoutMs, "its window thread " + std::to_string(thread) + " takes no messages", [block] {
        const auto state =
            LoaderState(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&block->state), 0, 0));
        if (state == LoaderState::Failed)
            throw std::runtime_error(Err::details::appendSystemCode(
                "the game could not load the overlay DLL: LoadLibraryW failed:", block->error));
    });
}

}  // namespace Overlay::Host
