#include <gtest/gtest.h>

#include <aclapi.h>
#include <windows.h>

#include <vector>

#include "host_sdk/host_pipe.h"
#include "ipc_test_support.h"
#include "overlay/overlay_common/ipc/ipc_helper.h"

using namespace Overlay::Ipc;

namespace {

std::vector<uint8_t> currentLogonSid()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD needed = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &needed);
    std::vector<uint8_t> buffer(needed);
    GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed);
    CloseHandle(token);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) {
            const auto* sid = static_cast<const uint8_t*>(groups->Groups[i].Sid);
            return std::vector<uint8_t>(sid, sid + GetLengthSid(groups->Groups[i].Sid));
        }
    }
    return {};
}

// The pipe at `path` lets only this logon session read and write it.
void expectLogonSessionOnly(const std::string& path)
{
    HANDLE pipe = CreateFileA(path.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor),
              DWORD(ERROR_SUCCESS));
    CloseHandle(pipe);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 1);

    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, 0);
    EXPECT_EQ(allowed->Mask, 0x12019Fu);
    const std::vector<uint8_t> logonSid = currentLogonSid();
    ASSERT_FALSE(logonSid.empty());
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), const_cast<uint8_t*>(logonSid.data())));
    LocalFree(descriptor);
}

}  // namespace

// The client's pipe and the host's. Both are made by PipeServer, which also refuses remote
// clients; no call reads that flag back from a pipe, so it is not checked here.
TEST(SecurityAttributes, PipesAllowOnlyTheLogonSessionToReadAndWrite)
{
    auto security = createSecurityAttributes();
    ASSERT_EQ(security->attributes.nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(security->attributes.bInheritHandle);

    const std::string client = IpcTest::uniqueName();
    PipeServer server(makePipePath(client), true, security, 3000);
    server.listen();
    EXPECT_NO_FATAL_FAILURE(expectLogonSessionOnly(makePipePath(client)));

    const std::string host = IpcTest::uniqueName();
    Overlay::Host::HostPipeServer hostServer(host, std::make_shared<Stub::OverlayHostNull>());
    hostServer.start();
    EXPECT_NO_FATAL_FAILURE(expectLogonSessionOnly(makePipePath(host)));
}
