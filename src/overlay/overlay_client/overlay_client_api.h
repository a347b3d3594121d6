#pragma once

// The interface of overlay_client_x64.dll for host applications: the argument records, the result
// codes and the eight exported functions (exported by name, undecorated, ordinals 1 to 8 in
// alphabetical order).
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

#include <cstddef>
#include <cstdint>

#include "overlay/overlay_client/overlay_client_api_result.h"

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

namespace OverlayClientApi {

// Record of initializeOverlay (natural alignment).
struct InitParams
{
    const char* pipeHostName;     // name of the host's pipe; required
    std::uint64_t reserved;       // not read
    const wchar_t* logDirectory;  // UTF-16 folder of the log file; null or empty: no log file
};

#pragma pack(push, 1)

// Record of initializeOverlayEx. Versioned: fields beyond `version` are not read and keep their
// defaults, so an older host passes a shorter record.
struct InitParamsEx
{
    std::uint32_t version;                // 1 to 4 (initializeOverlay passes 4)
    const char* pipeHostName;             // v1: name of the host's pipe; required
    std::uint64_t reserved;               // v1: not read
    const char* logDirectory;             // v1: UTF-8 folder of the log file; null or empty: no log file
    std::uint8_t disableMouseCursorHook;  // v2: nonzero: no mouse cursor hook
    std::uint32_t graphicApi;             // v3: GraphicApiD3D9 hooks Direct3D 9, anything else DXGI / Direct3D 11
    std::uint8_t enableHotkeys;           // v4: nonzero: Shift+Tab and Ctrl+Space toggle the overlay
};

// Record of showTestOverlay.
struct TestOverlayParams
{
    std::uint32_t reserved;  // not read
    double relativeWidth;    // size of the test overlay relative to the game surface
    double relativeHeight;
    std::int32_t color;
    std::uint8_t useCef;
};

#pragma pack(pop)

constexpr std::uint32_t InitParamsExVersion = 4;
constexpr std::uint32_t GraphicApiDxgi = 0;
constexpr std::uint32_t GraphicApiD3D9 = 1;

static_assert(sizeof(void*) == 8, "overlay_client_x64 is a 64-bit interface");

static_assert(sizeof(InitParams) == 24, "InitParams layout");
static_assert(offsetof(InitParams, pipeHostName) == 0, "InitParams layout");
static_assert(offsetof(InitParams, reserved) == 8, "InitParams layout");
static_assert(offsetof(InitParams, logDirectory) == 16, "InitParams layout");

static_assert(sizeof(InitParamsEx) == 34, "InitParamsEx layout");
static_assert(offsetof(InitParamsEx, version) == 0, "InitParamsEx layout");
static_assert(offsetof(InitParamsEx, pipeHostName) == 4, "InitParamsEx layout");
static_assert(offsetof(InitParamsEx, reserved) == 12, "InitParamsEx layout");
static_assert(offsetof(InitParamsEx, logDirectory) == 20, "InitParamsEx layout");
static_assert(offsetof(InitParamsEx, disableMouseCursorHook) == 28, "InitParamsEx layout");
static_assert(offsetof(InitParamsEx, graphicApi) == 29, "InitParamsEx layout");
static_assert(offsetof(InitParamsEx, enableHotkeys) == 33, "InitParamsEx layout");

static_assert(sizeof(TestOverlayParams) == 25, "TestOverlayParams layout");
static_assert(offsetof(TestOverlayParams, reserved) == 0, "TestOverlayParams layout");
static_assert(offsetof(TestOverlayParams, relativeWidth) == 4, "TestOverlayParams layout");
static_assert(offsetof(TestOverlayParams, relativeHeight) == 12, "TestOverlayParams layout");
static_assert(offsetof(TestOverlayParams, color) == 20, "TestOverlayParams layout");
static_assert(offsetof(TestOverlayParams, useCef) == 24, "TestOverlayParams layout");

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

// Starts the overlay with an InitParams record; true when it started. A second call returns the
// outcome of the first.
OVERLAY_CLIENT_API_DECL bool OVERLAY_CLIENT_API_CALL initializeOverlay(const OverlayClientApi::InitParams* params);

// Starts the overlay. InvalidArgument for a null record or host pipe name; a second call returns the
// first call's result and ignores its record.
OVERLAY_CLIENT_API_DECL OverlayClientApi::Result OVERLAY_CLIENT_API_CALL
initializeOverlayEx(const OverlayClientApi::InitParamsEx* params);

// NotInitialized, Stopped, ClientNotCreated (the game window is not hooked yet) or Success.
OVERLAY_CLIENT_API_DECL OverlayClientApi::Result OVERLAY_CLIENT_API_CALL getOverlayClientState();

// Connects to the host (or checks the open connection) and registers the client.
OVERLAY_CLIENT_API_DECL OverlayClientApi::Result OVERLAY_CLIENT_API_CALL prepareOverlay();

// Asks the host to show the overlay; with a record, a test overlay described by it.
OVERLAY_CLIENT_API_DECL OverlayClientApi::Result OVERLAY_CLIENT_API_CALL
showTestOverlay(const OverlayClientApi::TestOverlayParams* params);

// Asks the host to hide the overlay; hides it locally when the host cannot be reached.
OVERLAY_CLIENT_API_DECL OverlayClientApi::Result OVERLAY_CLIENT_API_CALL hideOverlay();

// The client's random 64-bit id (never 0, fixed for the life of the process).
OVERLAY_CLIENT_API_DECL OverlayClientApi::Result OVERLAY_CLIENT_API_CALL getOverlayClientId(std::int64_t* id);

// Does nothing: the library stays loaded and active until the process ends.
OVERLAY_CLIENT_API_DECL void OVERLAY_CLIENT_API_CALL deinitializeOverlay();

}  // extern "C"
