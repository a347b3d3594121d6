#pragma once

// The Windows error codes the library treats specially: the condition the error category maps
// each to, and the kind of error makeSystemError builds for it. Internal to the library.

#include <windows.h>

#include <cstdint>

#include "err/category.h"

// Missing from MinGW-w64's winerror.h; the value is the Windows SDK's.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740L
#endif

namespace Err {
namespace details {

enum class SystemKind {
    plain,
    accessDenied,
    fileNotFound,
    outOfDiskSpace,
    cancelled,
    elevationRequired,
};

struct SystemCode
{
    std::uint32_t code;
    int condition;  // 0: no condition of the error category
    SystemKind kind;
};

inline constexpr SystemCode systemCodes[] = {
    {ERROR_ACCESS_DENIED, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_SHARING_VIOLATION, 0, SystemKind::accessDenied},
    {ERROR_LOCK_VIOLATION, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_NETWORK_ACCESS_DENIED, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_FAIL_I24, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_DRIVE_LOCKED, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_SEEK_ON_DEVICE, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_NOT_LOCKED, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_LOCK_FAILED, accessDeniedCondition, SystemKind::accessDenied},
    {ERROR_FILE_CORRUPT, 0, SystemKind::accessDenied},
    {ERROR_DISK_CORRUPT, 0, SystemKind::accessDenied},
    {ERROR_DISK_FULL, noSpaceOnDeviceCondition, SystemKind::outOfDiskSpace},
    {ERROR_FILE_NOT_FOUND, noSuchFileOrDirectoryCondition, SystemKind::fileNotFound},
    {ERROR_PATH_NOT_FOUND, noSuchFileOrDirectoryCondition, SystemKind::fileNotFound},
    {ERROR_INVALID_DRIVE, noSuchFileOrDirectoryCondition, SystemKind::plain},
    {ERROR_BAD_NETPATH, noSuchFileOrDirectoryCondition, SystemKind::plain},
    {ERROR_BAD_NET_NAME, noSuchFileOrDirectoryCondition, SystemKind::plain},
    {ERROR_BAD_PATHNAME, noSuchFileOrDirectoryCondition, SystemKind::plain},
    {ERROR_FILENAME_EXCED_RANGE, noSuchFileOrDirectoryCondition, SystemKind::plain},
    {ERROR_INVALID_HANDLE, invalidArgumentCondition, SystemKind::plain},
    {ERROR_INVALID_DATA, invalidArgumentCondition, SystemKind::plain},
    {ERROR_INVALID_PARAMETER, invalidArgumentCondition, SystemKind::plain},
    {ERROR_NOT_ENOUGH_MEMORY, notEnoughMemoryCondition, SystemKind::plain},
    {ERROR_CANCELLED, 0, SystemKind::cancelled},
    {ERROR_ELEVATION_REQUIRED, 0, SystemKind::elevationRequired},
};

// The entry of a code, or nullptr when the library has nothing special for it.
inline const SystemCode* findSystemCode(std::uint32_t code) noexcept
{
    for (const SystemCode& entry : systemCodes) {
        if (entry.code == code)
            return &entry;
    }
    return nullptr;
}

}  // namespace details
}  // namespace Err
