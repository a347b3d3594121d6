#pragma once

#include <windows.h>

#include <string>

#include "overlay/overlay_common/ipc/shared_layout.h"

namespace IpcTest {

// The helper program next to the test executable, started with the given arguments. Its
// standard input and output are pipes; it belongs to a kill-on-close job so that it never
// outlives the test.
class PeerProcess
{
public:
    explicit PeerProcess(const std::string& arguments);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Next line of the peer's output without its line end; empty when nothing came within
    // the time-out or the peer ended.
    std::string readLine(DWORD timeoutMs = 20000);
    // Sends one line to the peer's input.
    void writeLine(const std::string& line);
    // Tells the peer to finish (it ends when its input closes).
    void closeInput();
    // Waits for the peer to end and returns its exit code (STILL_ACTIVE on time-out).
    DWORD wait(DWORD timeoutMs = 20000);
    DWORD processId() const { return m_processId; }

private:
    HANDLE m_job = nullptr;
    HANDLE m_process = nullptr;
    HANDLE m_input = nullptr;
    HANDLE m_output = nullptr;
    DWORD m_processId = 0;
    std::string m_pending;
};

// Wine differs from Windows in a few documented places; tests that meet one ask this.
bool runningUnderWine();

// A fresh random name for pipes, blocks and mutexes.
std::string uniqueName();

Overlay::Ipc::SharedId idFromText(const std::string& text);

} // namespace IpcTest
