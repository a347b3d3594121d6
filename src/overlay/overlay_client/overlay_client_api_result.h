#pragma once

#include <cstdint>

namespace OverlayClientApi {

// Result of the exported functions and of the application's and overlay client's operations.
// Values 3, 8, 9 and 10 are never produced.
enum Result : std::uint32_t {
    Success = 0,
    InvalidArgument = 1,
    Failed = 2,
    IpcError = 4,
    HooksNotAttached = 5,
    BlacklistedModules = 6,
    ClientNotCreated = 7,
    UnexpectedError = 11,
    NotInitialized = 12,
    Stopped = 13,
};

}  // namespace OverlayClientApi
