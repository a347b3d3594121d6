// Start-up time of the overlay: from starting overlay_host.exe to its `ready` event, for each way
// the host brings the DLL into the game, against a thread started in the game (the way every host
// did it before), measured side by side in one run. The game is the Direct3D 11 demo game with
// --single-thread: one busy thread that allocates every frame, the case a started thread can hang.
//   bench_startup.exe [rounds]   (default 5)
#include "common/bench_util.h"
#include "win/unique_handle.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD hostTimeoutMs = 20000;

std::wstring widen(const char* text)
{
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

double seconds(Bench::Clock::time_point since)
{
    return std::chrono::duration<double>(Bench::Clock::now() - since).count();
}

// A child process whose standard output and error come back as lines, read on a thread.
class Child
{
public:
    explicit Child(std::wstring command)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE readOut = nullptr, writeOut = nullptr, readIn = nullptr, writeIn = nullptr;
        if (!CreatePipe(&readOut, &writeOut, &inherit, 0) || !CreatePipe(&readIn, &writeIn, &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
        output_.reset(readOut);
        input_.reset(writeIn);
        Win::UniqueHandle childOut(writeOut), childIn(readIn);
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn.get();
        startup.hStdOutput = childOut.get();
        startup.hStdError = childOut.get();
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
            throw std::runtime_error("a child process did not start");
        process_.reset(info.hProcess);
        Win::UniqueHandle thread(info.hThread);
        reader_ = std::thread([this] { read(); });
    }
    ~Child()
    {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 10000);
        input_.reset();
        reader_.join();
    }

    void send(const std::string& line)
    {
        DWORD written = 0;
        WriteFile(input_.get(), (line + "\n").data(), DWORD(line.size() + 1), &written, nullptr);
    }
    // The first line (from now on) that contains `text`, or none when the child ends or `timeoutMs`
    // passes first.
    std::optional<std::string> waitFor(const std::string& text, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> guard(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            while (!lines_.empty()) {
                std::string line = std::move(lines_.front());
                lines_.pop_front();
                if (line.find(text) != std::string::npos)
                    return line;
            }
            if (ended_ || !ready_.wait_until(guard, deadline, [this] { return ended_ || !lines_.empty(); }))
                return std::nullopt;
        }
    }

private:
    void read()
    {
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        // Ends when every process holding the pipe's write end has ended (a launched game too).
        while (ReadFile(output_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::lock_guard<std::mutex> guard(mutex_);
                lines_.push_back(pending.substr(0, end));
                ready_.notify_all();
            }
        }
        std::lock_guard<std::mutex> guard(mutex_);
        ended_ = true;
        ready_.notify_all();
    }

    Win::UniqueHandle process_, output_, input_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> lines_;
    bool ended_ = false;
    std::thread reader_;
};

void terminateProcess(DWORD processId)
{
    Win::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (process) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
    }
}

std::wstring hostCommand(const std::wstring& method)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return L"\"" + widen(BENCH_HOST_EXE) + L"\" --timeout-ms " + std::to_wstring(hostTimeoutMs) + L" --log-dir \"" +
           temp + L".\" --load-with " + method;
}

const std::wstring gameArguments = L" --single-thread --sync 0 --hidden";

// Seconds from the host's start to `ready`, or none when it failed or hung.
std::optional<double> launchOnce(const std::wstring& method)
{
    const auto start = Bench::Clock::now();
    Child host(hostCommand(method) + L" --launch \"" + widen(BENCH_GAME_EXE) + L"\"" + gameArguments);
    const auto game = host.waitFor("game process ", hostTimeoutMs);
    const auto ready = host.waitFor("\"event\":\"ready\"", hostTimeoutMs + 5000);
    const double elapsed = seconds(start);
    if (game)
        terminateProcess(DWORD(std::strtoul(game->substr(game->rfind(' ') + 1).c_str(), nullptr, 10)));
    return ready ? std::optional<double>(elapsed) : std::nullopt;
}

std::optional<double> attachOnce(const std::wstring& method)
{
    Child game(L"\"" + widen(BENCH_GAME_EXE) + L"\"" + gameArguments);
    const auto pid = game.waitFor("pid=", hostTimeoutMs);
    if (!pid)
        throw std::runtime_error("the game did not start");
    // A game that already presents, as a running game does.
    Sleep(1000);
    const auto start = Bench::Clock::now();
    Child host(hostCommand(method) + L" --pid " + std::to_wstring(std::strtoul(pid->c_str() + 4, nullptr, 10)));
    const auto ready = host.waitFor("\"event\":\"ready\"", hostTimeoutMs + 5000);
    return ready ? std::optional<double>(seconds(start)) : std::nullopt;
}

struct Figure
{
    std::vector<double> times;
    int failed = 0;
    double median() const { return times.empty() ? 0.0 : Bench::percentile(times, 0.5); }
};

void report(const char* name, const Figure& figure, const Figure& baseline)
{
    std::printf("%-34s median %6.3f s over %zu, %d failed or hung; against the thread: %.2fx\n", name, figure.median(),
                figure.times.size(), figure.failed, baseline.median() > 0 ? figure.median() / baseline.median() : 0.0);
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Figure imported, launchedThread, hooked, attachedThread;
    try {
        // Interleaved, so that a slower phase of the machine weighs on both alike.
        for (int round = 0; round < rounds; ++round) {
            const auto add = [](Figure& figure, std::optional<double> time) {
                if (time)
                    figure.times.push_back(*time);
                else
                    ++figure.failed;
            };
            add(imported, launchOnce(L"import"));
            add(launchedThread, launchOnce(L"thread"));
            add(hooked, attachOnce(L"hook"));
            add(attachedThread, attachOnce(L"thread"));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_startup: %s\n", e.what());
        return 1;
    }
    std::printf("host start to ready, single-thread Direct3D 11 game, %d rounds:\n", rounds);
    report("--launch, import", imported, launchedThread);
    report("--launch, thread (before)", launchedThread, launchedThread);
    report("--pid, message hook", hooked, attachedThread);
    report("--pid, thread (before)", attachedThread, attachedThread);
    return 0;
}
