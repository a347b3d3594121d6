#include "ipc_test_support.h"

#include <stdexcept>

namespace IpcTest {

PeerProcess::PeerProcess(const std::string& arguments)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &input_, &inheritable, 0) || !CreatePipe(&output_, &childOutput, &inheritable, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);

    job_ = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    wchar_t self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    std::wstring commandLine = L"\"" + path.substr(0, path.find_last_of(L"\\/") + 1) + L"ipc_peer.exe\" " +
                               std::wstring(arguments.begin(), arguments.end());
    STARTUPINFOW startup{sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                        nullptr, &startup, &info);
    CloseHandle(childInput);
    CloseHandle(childOutput);
    if (!created)
        throw std::runtime_error("CreateProcess failed: " + std::to_string(GetLastError()));
    AssignProcessToJobObject(job_, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    process_ = info.hProcess;
}

PeerProcess::~PeerProcess()
{
    closeInput();
    if (wait(10000) == STILL_ACTIVE) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(output_);
    CloseHandle(process_);
    CloseHandle(job_);
}

std::string PeerProcess::readLine(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (size_t end; (end = pending_.find('\n')) == std::string::npos;) {
        DWORD available = 0;
        if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr))
            return {};  // the peer ended
        if (available == 0) {
            if (GetTickCount64() > deadline)
                return {};
            Sleep(5);
            continue;
        }
        std::string buffer(available, '\0');
        DWORD count = 0;
        if (!ReadFile(output_, &buffer[0], available, &count, nullptr))
            return {};
        pending_.append(buffer, 0, count);
    }
    const size_t end = pending_.find('\n');
    std::string line = pending_.substr(0, end > 0 && pending_[end - 1] == '\r' ? end - 1 : end);
    pending_.erase(0, end + 1);
    return line;
}

void PeerProcess::writeLine(const std::string& line)
{
    const std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(input_, data.data(), DWORD(data.size()), &written, nullptr);
}

void PeerProcess::closeInput()
{
    if (input_) {
        CloseHandle(input_);
        input_ = nullptr;
    }
}

DWORD PeerProcess::wait(DWORD timeoutMs)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process_, &code);
    return code;
}

bool runningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::string uniqueName()
{
    return Overlay::Ipc::idToName(Overlay::Ipc::makeSharedId());
}

}  // namespace IpcTest
