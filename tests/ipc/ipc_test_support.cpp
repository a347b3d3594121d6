#include "ipc_test_support.h"

#include <cstdlib>
#include <stdexcept>

namespace IpcTest {

PeerProcess::PeerProcess(const std::string& arguments)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &m_input, &inheritable, 0) || !CreatePipe(&m_output, &childOutput, &inheritable, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(m_input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);

    m_job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

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
    const BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                        nullptr, nullptr, &startup, &info);
    CloseHandle(childInput);
    CloseHandle(childOutput);
    if (!created)
        throw std::runtime_error("CreateProcess failed: " + std::to_string(GetLastError()));
    AssignProcessToJobObject(m_job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    m_process = info.hProcess;
}

PeerProcess::~PeerProcess()
{
    closeInput();
    if (wait(10000) == STILL_ACTIVE) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 5000);
    }
    CloseHandle(m_output);
    CloseHandle(m_process);
    CloseHandle(m_job);
}

std::string PeerProcess::readLine(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (size_t end; (end = m_pending.find('\n')) == std::string::npos;) {
        DWORD available = 0;
        if (!PeekNamedPipe(m_output, nullptr, 0, nullptr, &available, nullptr))
            return {}; // the peer ended
        if (available == 0) {
            if (GetTickCount64() > deadline)
                return {};
            Sleep(5);
            continue;
        }
        std::string buffer(available, '\0');
        DWORD count = 0;
        if (!ReadFile(m_output, &buffer[0], available, &count, nullptr))
            return {};
        m_pending.append(buffer, 0, count);
    }
    const size_t end = m_pending.find('\n');
    std::string line = m_pending.substr(0, end > 0 && m_pending[end - 1] == '\r' ? end - 1 : end);
    m_pending.erase(0, end + 1);
    return line;
}

void PeerProcess::writeLine(const std::string& line)
{
    const std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(m_input, data.data(), DWORD(data.size()), &written, nullptr);
}

void PeerProcess::closeInput()
{
    if (m_input) {
        CloseHandle(m_input);
        m_input = nullptr;
    }
}

DWORD PeerProcess::wait(DWORD timeoutMs)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(m_process, &code);
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

Overlay::Ipc::SharedId idFromText(const std::string& text)
{
    if (text.size() != 32)
        throw std::invalid_argument("id text must have 32 digits: " + text);
    Overlay::Ipc::SharedId id;
    id.high = std::strtoull(text.substr(0, 16).c_str(), nullptr, 16);
    id.low = std::strtoull(text.substr(16).c_str(), nullptr, 16);
    return id;
}

} // namespace IpcTest
