#pragma once

// The interface of overlay_client_x64.dll (and of its 32-bit build, overlay_client_x86.dll) for host
// applications, for C (C99; C11 for the layout checks) and C++: the argument records, the result
// codes and the eight exported functions (exported by name, undecorated also in the 32-bit DLL,
// ordinals 1 to 8 in alphabetical order; __stdcall, which on x64 is the one Windows calling
// convention).
//
// Calling order expected of a host:
//   1. initializeOverlay or initializeOverlayEx, once;
//   2. getOverlayClientState until it returns Success (the client exists only after the game has
//      presented frames and its window has been hooked);
//   3. prepareOverlay, showTestOverlay, hideOverlay and getOverlayClientId in any order.
//
// prepareOverlay, showTestOverlay and hideOverlay wait for the host's answer (each call to the host
// is bounded by the pipe's time-outs, 5 s, and 10 s for the registration), queued behind the
// client's earlier calls to it: call them from the host's own thread, never from a thread of the
// game. The client itself never waits on the host on the game's threads.
//
// Every export taking at most one pointer argument and returning a 32-bit value can also be run as
// a thread start routine in the game process (CreateRemoteThread at the export's address); the
// thread's exit code is then the result.
//
// For bindings in other languages:
//   - InitParams has natural alignment (24 bytes). InitParamsEx and TestOverlayParams are packed,
//     without any padding (#pragma pack(1); C# StructLayout Pack = 1, Rust repr(C, packed)).
//     Each field's byte offset is given next to it.
//   - Pointers are 8 bytes in overlay_client_x64.dll and 4 bytes in overlay_client_x86.dll. The
//     offsets next to the fields are the 64-bit ones; the layout checks below give both. A record
//     is laid out for the DLL's own architecture, that of the game process it runs in.
//   - Pipe names are ASCII: the client opens them with the ANSI functions (CreateFileA), so other
//     characters depend on the system's code page. The pipe name is the bare name, without the
//     \\.\pipe\ prefix.
//   - logDirectory is UTF-16 (wchar_t) in InitParams and UTF-8 in InitParamsEx.
//   - Results are 32-bit unsigned integers (overlay_client_api_result.h).
//   - initializeOverlay returns one byte (a C++ bool, OverlayClientBool here: 1 started, 0 not):
//     read only the low byte of the return register, AL; the rest of RAX (EAX) is undefined (C#
//     [return: MarshalAs(UnmanagedType.U1)] bool, Rust bool or u8).
//
// In C++ the same records, constants and results are also named inside namespace OverlayClientApi
// (InitParams, InitParamsEx, TestOverlayParams, Result, Success, ...).

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "overlay_client_api_result.h"

#if defined(_WIN32)
#define OVERLAY_CLIENT_API_CALL __stdcall
#else
#define OVERLAY_CLIENT_API_CALL
#endif

#if defined(OVERLAY_CLIENT_API_BUILDING)
#define OVERLAY_CLIENT_API_DECL
#elif defined(_WIN32)
#define OVERLAY_CLIENT_API_DECL __declspec(dllimport)
#else
#define OVERLAY_CLIENT_API_DECL
#endif

#if defined(__cplusplus)
#define OVERLAY_CLIENT_API_STATIC_ASSERT(condition, message) static_assert(condition, message)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OVERLAY_CLIENT_API_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#else
// Before C11: an array type of negative size when the condition fails.
#define OVERLAY_CLIENT_API_CHECK_NAME_(line) overlay_client_api_check_##line
#define OVERLAY_CLIENT_API_CHECK_NAME(line) OVERLAY_CLIENT_API_CHECK_NAME_(line)
#define OVERLAY_CLIENT_API_STATIC_ASSERT(condition, message)                                                           \
    typedef char OVERLAY_CLIENT_API_CHECK_NAME(__LINE__)[(condition) ? 1 : -1]
#endif

#ifdef __cplusplus
typedef bool OverlayClientBool;
#else
typedef uint8_t OverlayClientBool;
#endif

// InitParamsEx.version of the newest record (initializeOverlay passes it).
enum { OVERLAY_CLIENT_INIT_PARAMS_EX_VERSION = 4 };

// Values of InitParamsEx.graphicApi.
enum {
    OVERLAY_CLIENT_GRAPHIC_API_DXGI = 0,  // DXGI: Direct3D 11 and 12
    OVERLAY_CLIENT_GRAPHIC_API_D3D9 = 1,
    OVERLAY_CLIENT_GRAPHIC_API_OPENGL = 2,  // wglSwapBuffers and SwapBuffers; older clients read it as DXGI
    OVERLAY_CLIENT_GRAPHIC_API_VULKAN = 3   // vkQueuePresentKHR; older clients read it as DXGI
};

// Record of initializeOverlay: natural alignment, 24 bytes (also in 32-bit, where each pointer is
// followed by 4 bytes of padding).
typedef struct OverlayClientInitParams
{
    const char* pipeHostName;     // +0: ASCII name of the host's pipe; required
    uint64_t reserved;            // +8: not read
    const wchar_t* logDirectory;  // +16: UTF-16 folder of the log file; null or empty: no log file
} OverlayClientInitParams;

#pragma pack(push, 1)

// Record of initializeOverlayEx: packed, 34 bytes (26 in 32-bit). Versioned: fields beyond `version`
// are not read and keep their defaults, so an older host passes a shorter record (versions 1 to 4
// end at bytes 28, 29, 33 and 34; 32-bit: 20, 21, 25 and 26).
typedef struct OverlayClientInitParamsEx
{
    uint32_t version;                // +0: 1 to 4 (initializeOverlay passes 4)
    const char* pipeHostName;        // +4, v1: ASCII name of the host's pipe; required
    uint64_t reserved;               // +12, v1: not read
    const char* logDirectory;        // +20, v1: UTF-8 folder of the log file; null or empty: no log file
    uint8_t disableMouseCursorHook;  // +28, v2: nonzero: no mouse cursor hook
    uint32_t graphicApi;             // +29, v3: GRAPHIC_API_*: D3D9, OPENGL, VULKAN, else DXGI (11, 12)
    uint8_t enableHotkeys;           // +33, v4: nonzero: Shift+Tab and Ctrl+Space toggle the overlay
} OverlayClientInitParamsEx;

// Record of showTestOverlay: packed, 25 bytes.
typedef struct OverlayClientTestOverlayParams
{
    uint32_t reserved;      // +0: not read
    double relativeWidth;   // +4: size of the test overlay relative to the game surface
    double relativeHeight;  // +12
    int32_t color;          // +20
    uint8_t useCef;         // +24
} OverlayClientTestOverlayParams;

#pragma pack(pop)

#if defined(_WIN32) && !defined(_WIN64)
// overlay_client_x86.dll: 4-byte pointers.
OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(void*) == 4, "overlay_client_x86 is a 32-bit interface");
#else
OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(void*) == 8, "overlay_client_x64 is a 64-bit interface");
#endif
OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(wchar_t) == 2, "logDirectory of InitParams is UTF-16");
OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(OverlayClientResult) == 4, "results are 32-bit");

OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(OverlayClientInitParams) == 24, "InitParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParams, pipeHostName) == 0, "InitParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParams, reserved) == 8, "InitParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParams, logDirectory) == 16, "InitParams layout");

OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, version) == 0, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, pipeHostName) == 4, "InitParamsEx layout");
#if defined(_WIN32) && !defined(_WIN64)
OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(OverlayClientInitParamsEx) == 26, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, reserved) == 8, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, logDirectory) == 16, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, disableMouseCursorHook) == 20,
                                 "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, graphicApi) == 21, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, enableHotkeys) == 25, "InitParamsEx layout");
#else
OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(OverlayClientInitParamsEx) == 34, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, reserved) == 12, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, logDirectory) == 20, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, disableMouseCursorHook) == 28,
                                 "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, graphicApi) == 29, "InitParamsEx layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientInitParamsEx, enableHotkeys) == 33, "InitParamsEx layout");
#endif

OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(OverlayClientTestOverlayParams) == 25, "TestOverlayParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientTestOverlayParams, reserved) == 0, "TestOverlayParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientTestOverlayParams, relativeWidth) == 4,
                                 "TestOverlayParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientTestOverlayParams, relativeHeight) == 12,
                                 "TestOverlayParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientTestOverlayParams, color) == 20, "TestOverlayParams layout");
OVERLAY_CLIENT_API_STATIC_ASSERT(offsetof(OverlayClientTestOverlayParams, useCef) == 24, "TestOverlayParams layout");

#ifdef __cplusplus

#include <cstddef>
#include <cstdint>

namespace OverlayClientApi {

typedef ::OverlayClientInitParams InitParams;
typedef ::OverlayClientInitParamsEx InitParamsEx;
typedef ::OverlayClientTestOverlayParams TestOverlayParams;

constexpr std::uint32_t InitParamsExVersion = OVERLAY_CLIENT_INIT_PARAMS_EX_VERSION;
constexpr std::uint32_t GraphicApiDxgi = OVERLAY_CLIENT_GRAPHIC_API_DXGI;
constexpr std::uint32_t GraphicApiD3D9 = OVERLAY_CLIENT_GRAPHIC_API_D3D9;
constexpr std::uint32_t GraphicApiOpenGl = OVERLAY_CLIENT_GRAPHIC_API_OPENGL;
constexpr std::uint32_t GraphicApiVulkan = OVERLAY_CLIENT_GRAPHIC_API_VULKAN;

// Size of the record up to and including the fields of `version` (the bytes a caller must provide).
constexpr std::size_t initParamsExSize(std::uint32_t version)
{
    return version <= 1   ? offsetof(InitParamsEx, disableMouseCursorHook)
           : version == 2 ? offsetof(InitParamsEx, graphicApi)
           : version == 3 ? offsetof(InitParamsEx, enableHotkeys)
                          : sizeof(InitParamsEx);
}

}  // namespace OverlayClientApi

extern "C" {
#endif

// Starts the overlay with an InitParams record; 1 (true) when it started. A second call returns
// the outcome of the first.
OVERLAY_CLIENT_API_DECL OverlayClientBool OVERLAY_CLIENT_API_CALL
initializeOverlay(const OverlayClientInitParams* params);

// Starts the overlay. InvalidArgument for a null record or host pipe name; a second call returns the
// first call's result and ignores its record.
OVERLAY_CLIENT_API_DECL OverlayClientResult OVERLAY_CLIENT_API_CALL
initializeOverlayEx(const OverlayClientInitParamsEx* params);

// NotInitialized, Stopped, ClientNotCreated (the game window is not hooked yet) or Success.
OVERLAY_CLIENT_API_DECL OverlayClientResult OVERLAY_CLIENT_API_CALL getOverlayClientState(void);

// Connects to the host (or checks the open connection) and registers the client.
OVERLAY_CLIENT_API_DECL OverlayClientResult OVERLAY_CLIENT_API_CALL prepareOverlay(void);

// Asks the host to show the overlay; with a record, a test overlay described by it.
OVERLAY_CLIENT_API_DECL OverlayClientResult OVERLAY_CLIENT_API_CALL
showTestOverlay(const OverlayClientTestOverlayParams* params);

// Asks the host to hide the overlay; hides it locally when the host cannot be reached.
OVERLAY_CLIENT_API_DECL OverlayClientResult OVERLAY_CLIENT_API_CALL hideOverlay(void);

// The client's random 64-bit id (never 0, fixed for the life of the process). InvalidArgument for
// a null pointer.
OVERLAY_CLIENT_API_DECL OverlayClientResult OVERLAY_CLIENT_API_CALL getOverlayClientId(int64_t* id);

// Does nothing: the library stays loaded and active until the process ends.
OVERLAY_CLIENT_API_DECL void OVERLAY_CLIENT_API_CALL deinitializeOverlay(void);

#ifdef __cplusplus
}  // extern "C"
#endif

OVERLAY_CLIENT_API_STATIC_ASSERT(sizeof(initializeOverlay(0)) == 1, "initializeOverlay returns one byte");
