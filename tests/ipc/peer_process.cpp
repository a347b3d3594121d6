#include "peer_process.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "overlay/overlay_common/ipc/shared_layout.h"

namespace IpcTest {

namespace {

std::wstring peerPath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, length);
    return self.substr(0, self.find_last_of(L"\\/") + 1) + L"ipc_peer.exe";
}

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

} // namespace

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

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + peerPath() + L"\" " + widen(arguments);
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
    m_processId = info.dwProcessId;
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
    for (;;) {
        const size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        DWORD available = 0;
        if (!PeekNamedPipe(m_output, nullptr, 0, nullptr, &available, nullptr))
            return {}; // the peer ended
        if (available == 0) {
            if (GetTickCount64() > deadline)
                return {};
            Sleep(5);
            continue;
        }
        std::vector<char> buffer(available);
        DWORD count = 0;
        if (!ReadFile(m_output, buffer.data(), available, &count, nullptr))
            return {};
        m_pending.append(buffer.data(), count);
    }
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
    if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
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
    Overlay::Ipc::SharedId id;
    if (text.size() != 32)
        throw std::invalid_argument("id text must have 32 digits: " + text);
    id.high = std::strtoull(text.substr(0, 16).c_str(), nullptr, 16);
    id.low = std::strtoull(text.substr(16).c_str(), nullptr, 16);
    return id;
}

} // namespace IpcTest
