#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace Overlay::Ipc {

// SECURITY_ATTRIBUTES together with the descriptor and DACL it points to. The record points
// into the object itself, so it is neither copied nor moved; it is handed out shared.
struct SecurityAttributes
{
    SecurityAttributes();
    SecurityAttributes(const SecurityAttributes&) = delete;
    SecurityAttributes& operator=(const SecurityAttributes&) = delete;

    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    std::vector<uint8_t> dacl;
};

// Access given to the processes of the caller's logon session: read and write, nothing else.
constexpr DWORD pipeAccessMask = FILE_GENERIC_READ | FILE_GENERIC_WRITE;  // 0x12019F

// A descriptor whose DACL allows only the current logon session (the logon SID of the
// process token) to read and write. When the token cannot be read, the failure is logged and
// the record carries no descriptor, so the object gets the process's default security.
std::shared_ptr<SecurityAttributes> createSecurityAttributes();

}  // namespace Overlay::Ipc
