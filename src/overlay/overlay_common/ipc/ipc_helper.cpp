#include "overlay/overlay_common/ipc/ipc_helper.h"

#include "log/log.h"
#include "win/unique_handle.h"

namespace Overlay::Ipc {

namespace {

HRESULT lastError()
{
    return HRESULT_FROM_WIN32(GetLastError());
}

// Copies out the token group marked as logon SID; `sid` stays empty when there is none.
HRESULT findLogonSid(HANDLE token, std::vector<uint8_t>& sid)
{
    DWORD needed = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &needed);
    if (needed == 0)
        return lastError();
    std::vector<uint8_t> buffer(needed);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed))
        return lastError();
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if ((group.Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID) {
            const auto* bytes = static_cast<const uint8_t*>(group.Sid);
            sid.assign(bytes, bytes + GetLengthSid(group.Sid));
            break;
        }
    }
    return S_OK;
}

HRESULT buildDescriptor(SecurityAttributes& security)
{
    Win::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_READ, token.put()))
        return lastError();
    std::vector<uint8_t> sid;
    const HRESULT hr = findLogonSid(token.get(), sid);
    if (FAILED(hr))
        return hr;

    // Without a logon SID the DACL stays empty and admits nobody else.
    DWORD aclSize = sizeof(ACL);
    if (!sid.empty())
        aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid.size());
    aclSize = (aclSize + sizeof(DWORD) - 1) & ~DWORD(sizeof(DWORD) - 1);
    security.dacl.assign(aclSize, 0);
    auto* acl = reinterpret_cast<ACL*>(security.dacl.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION))
        return lastError();
    if (!sid.empty() && !AddAccessAllowedAceEx(acl, ACL_REVISION, 0, pipeAccessMask, sid.data()))
        return lastError();

    if (!InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION))
        return lastError();
    if (!SetSecurityDescriptorDacl(&security.descriptor, TRUE, acl, FALSE))
        return lastError();
    return S_OK;
}

}  // namespace

SecurityAttributes::SecurityAttributes() : attributes(), descriptor()
{
    attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
}

std::shared_ptr<SecurityAttributes> createSecurityAttributes()
{
    auto security = std::make_shared<SecurityAttributes>();
    const HRESULT hr = buildDescriptor(*security);
    if (SUCCEEDED(hr))
        security->attributes.lpSecurityDescriptor = &security->descriptor;
    else
        LOG_ERROR(L"Failed to create SecurityAttributes, hr = %0", hr);
    security->attributes.bInheritHandle = FALSE;
    return security;
}

}  // namespace Overlay::Ipc
