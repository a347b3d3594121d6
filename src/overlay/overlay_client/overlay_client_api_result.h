#pragma once

// The result codes of overlay_client_x64.dll's exports, for C and C++.
//
// A result travels as a 32-bit unsigned integer (OverlayClientResult). In C it is a uint32_t and
// the codes are the OVERLAY_CLIENT_RESULT_* constants: not an enum type, whose size a C compiler
// may choose (GCC's -fshort-enums makes it one byte). In C++ it is the enum OverlayClientApi::Result,
// whose underlying type is uint32_t.
//
// Values 3, 8, 9 and 10 are never produced.

#include <stdint.h>

enum OverlayClientResultCode {
    OVERLAY_CLIENT_RESULT_SUCCESS = 0,
    OVERLAY_CLIENT_RESULT_INVALID_ARGUMENT = 1,
    OVERLAY_CLIENT_RESULT_FAILED = 2,
    OVERLAY_CLIENT_RESULT_IPC_ERROR = 4,
    OVERLAY_CLIENT_RESULT_HOOKS_NOT_ATTACHED = 5,
    OVERLAY_CLIENT_RESULT_BLACKLISTED_MODULES = 6,
    OVERLAY_CLIENT_RESULT_CLIENT_NOT_CREATED = 7,
    OVERLAY_CLIENT_RESULT_UNEXPECTED_ERROR = 11,
    OVERLAY_CLIENT_RESULT_NOT_INITIALIZED = 12,
    OVERLAY_CLIENT_RESULT_STOPPED = 13
};

#ifdef __cplusplus

#include <cstdint>

namespace OverlayClientApi {

// Result of the exported functions and of the application's and overlay client's operations.
enum Result : std::uint32_t {
    Success = OVERLAY_CLIENT_RESULT_SUCCESS,
    InvalidArgument = OVERLAY_CLIENT_RESULT_INVALID_ARGUMENT,
    Failed = OVERLAY_CLIENT_RESULT_FAILED,
    IpcError = OVERLAY_CLIENT_RESULT_IPC_ERROR,
    HooksNotAttached = OVERLAY_CLIENT_RESULT_HOOKS_NOT_ATTACHED,
    BlacklistedModules = OVERLAY_CLIENT_RESULT_BLACKLISTED_MODULES,
    ClientNotCreated = OVERLAY_CLIENT_RESULT_CLIENT_NOT_CREATED,
    UnexpectedError = OVERLAY_CLIENT_RESULT_UNEXPECTED_ERROR,
    NotInitialized = OVERLAY_CLIENT_RESULT_NOT_INITIALIZED,
    Stopped = OVERLAY_CLIENT_RESULT_STOPPED,
};

}  // namespace OverlayClientApi

typedef OverlayClientApi::Result OverlayClientResult;

#else

typedef uint32_t OverlayClientResult;

#endif
