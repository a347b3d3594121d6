// The overlay end to end, with overlay_host.exe injecting overlay_client_x64.dll into this process,
// which runs the Direct3D 11 demo game (800x600, Present without waiting for the vertical blank).
// Each figure next to its baseline from the same run:
//  - frame time (median) with the DLL injected and the overlay hidden against before the injection;
//  - input latency: from the game thread taking a key message from its queue to the host receiving
//    the KeyEvent, against a one-way write to read on a pipe between the same two processes (a line
//    written to the host's standard input, timed where the host reads it);
//  - show latency: from the host being told to show to `shown`, in game frames presented meanwhile,
//    and the client's own measure from its log: from the host's showOverlay to the first overlay frame.
// Times across the two processes come from QueryPerformanceCounter, one clock for the machine; the
// host stamps its events with it (--timestamps).
#include "common/bench_util.h"
#include "demo_game.h"
#include "win/unique_handle.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t now()
{
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

int64_t ticksPerSecond()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

double microseconds(int64_t ticks)
{
    return double(ticks) * 1e6 / double(ticksPerSecond());
}

// A JSON field of a host event line, as text (numbers and names only).
std::string field(const std::string& line, const std::string& name)
{
    const std::string key = "\"" + name + "\":";
    const size_t at = line.find(key);
    if (at == std::string::npos)
        return std::string();
    size_t begin = at + key.size();
    if (line[begin] == '"')
        ++begin;
    const size_t end = line.find_first_of(",}\"", begin);
    return line.substr(begin, end - begin);
}

// overlay_host.exe on this process, its events read on a thread of their own.
class HostProcess
{
public:
    HostProcess()
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE readOut = nullptr, writeOut = nullptr, readIn = nullptr, writeIn = nullptr;
        if (!CreatePipe(&readOut, &writeOut, &inherit, 0) || !CreatePipe(&readIn, &writeIn, &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
        events_.reset(readOut);
        Win::UniqueHandle childOut(writeOut), childIn(readIn);
        input_.reset(writeIn);
        SetHandleInformation(events_.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);

        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring command = L"\"" + std::wstring(hostExe, hostExe + std::char_traits<char>::length(hostExe)) +
                               L"\" --timestamps --log-dir \"" + std::wstring(temp) + L".\" --pid " +
                               std::to_wstring(GetCurrentProcessId());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn.get();
        startup.hStdOutput = childOut.get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
            throw std::runtime_error("overlay_host.exe did not start");
        process_.reset(info.hProcess);
        Win::UniqueHandle thread(info.hThread);
        reader_ = std::thread([this] { read(); });
    }
    ~HostProcess()
    {
        send("quit");
        input_.reset();
        if (WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0)
            TerminateProcess(process_.get(), 1);
        reader_.join();
    }

    void send(const std::string& command)
    {
        const std::string line = command + "\n";
        DWORD written = 0;
        WriteFile(input_.get(), line.data(), DWORD(line.size()), &written, nullptr);
    }
    // The next event line named `name`, or an empty string when none is there yet (earlier lines of
    // other names are dropped).
    std::string poll(const std::string& name)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        while (!lines_.empty()) {
            std::string line = std::move(lines_.front());
            lines_.pop_front();
            if (line.find("\"event\":\"" + name + "\"") != std::string::npos)
                return line;
            if (line.find("\"event\":\"error\"") != std::string::npos)
                std::fprintf(stderr, "host: %s\n", line.c_str());
        }
        if (ended_)
            throw std::runtime_error("overlay_host.exe ended while waiting for " + name);
        return std::string();
    }

private:
    static constexpr const char* hostExe = BENCH_HOST_EXE;

    void read()
    {
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(events_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::lock_guard<std::mutex> guard(mutex_);
                lines_.push_back(pending.substr(0, end));
            }
        }
        std::lock_guard<std::mutex> guard(mutex_);
        ended_ = true;
    }

    Win::UniqueHandle process_;
    Win::UniqueHandle events_;
    Win::UniqueHandle input_;
    std::thread reader_;
    std::mutex mutex_;
    std::deque<std::string> lines_;
    bool ended_ = false;
};

// The game's loop: one frame per call, its start time kept.
class Game
{
public:
    Game() : game_(options()) {}

    int64_t frame()
    {
        const int64_t start = now();
        game_.pumpMessages();
        if (FAILED(game_.renderFrame()))
            throw std::runtime_error("Present failed");
        started_.push_back(start);
        return now() - start;
    }
    // Frames until the host reports `name`; throws after 60 s.
    std::string frameUntil(HostProcess& host, const std::string& name)
    {
        const int64_t deadline = now() + 60 * ticksPerSecond();
        for (;;) {
            const std::string line = host.poll(name);
            if (!line.empty())
                return line;
            if (now() > deadline)
                throw std::runtime_error("no " + name + " event from the host");
            frame();
        }
    }
    // Median frame time in microseconds over `count` frames after a warm-up (the first frames of a
    // device are slower: the software renderer compiles its shaders).
    double medianFrame(int count)
    {
        for (int i = 0; i < 300; ++i)
            frame();
        std::vector<double> times;
        for (int i = 0; i < count; ++i)
            times.push_back(microseconds(frame()));
        return Bench::percentile(times, 0.5);
    }
    // Frames started after `from` and no later than `to`.
    size_t startedBetween(int64_t from, int64_t to) const
    {
        size_t count = 0;
        for (int64_t at : started_)
            count += at > from && at <= to ? 1 : 0;
        return count;
    }
    HWND window() const { return game_.window(); }

private:
    static Demo::Options options()
    {
        Demo::Options options;
        options.syncInterval = 0;
        return options;
    }

    Demo::DemoGame game_;
    std::vector<int64_t> started_;
};

// The client's show latencies in milliseconds, from this process's log (the newest in the folder).
std::vector<double> clientShowLatencies()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    WIN32_FIND_DATAW found = {};
    std::wstring newest;
    FILETIME newestTime = {};
    HANDLE search = FindFirstFileW((std::wstring(temp) + L"overlay_client_*.log").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (CompareFileTime(&found.ftLastWriteTime, &newestTime) > 0) {
                newestTime = found.ftLastWriteTime;
                newest = std::wstring(temp) + found.cFileName;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::vector<double> latencies;
    Win::UniqueFileHandle file(CreateFileW(newest.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (newest.empty() || !file)
        return latencies;
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    const std::string marker = "First overlay frame drawn ";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1))
        latencies.push_back(std::strtod(text.c_str() + at + marker.size(), nullptr) / 1000.0);
    return latencies;
}

int run()
{
    const int frames = 1000;
    const int rounds = 40;
    Game game;
    const double plainFrame = game.medianFrame(frames);

    HostProcess host;
    game.frameUntil(host, "registered");
    game.frameUntil(host, "export");  // prepareOverlay
    const double hookedFrame = game.medianFrame(frames);
    std::printf("frame time, overlay hidden: %.1f us with the DLL, %.1f us before it was injected (measured in "
                "that order): ratio %.3f (medians of %d frames)\n",
                hookedFrame, plainFrame, hookedFrame / plainFrame, frames);

    host.send("show");
    game.frameUntil(host, "shown");
    std::vector<double> keyLatency, pipeLatency;
    for (int i = 0; i < rounds; ++i) {
        // The message is posted, then taken from the queue by the game's own loop at once.
        PostMessageW(game.window(), WM_KEYDOWN, 'A', 0x001E0001);
        PostMessageW(game.window(), WM_KEYUP, 'A', 0xC01E0001);
        const int64_t taken = now();
        const std::string key = game.frameUntil(host, "key");
        keyLatency.push_back(microseconds(std::stoll(field(key, "qpc")) - taken));
        game.frameUntil(host, "key");  // the key up

        const int64_t written = now();
        host.send("clock");
        const std::string clock = game.frameUntil(host, "clock");
        pipeLatency.push_back(microseconds(std::stoll(field(clock, "qpc")) - written));
    }
    const double key = Bench::percentile(keyLatency, 0.5);
    const double pipe = Bench::percentile(pipeLatency, 0.5);
    std::printf("input latency: %.0f us from the game taking the key message to the host's KeyEvent, %.0f us for "
                "a pipe write to read between the same processes: ratio %.2f (medians of %d)\n",
                key, pipe, key / pipe, rounds);

    host.send("hide");
    game.frameUntil(host, "hidden");
    std::vector<double> showFrames;
    for (int i = 0; i < rounds / 2; ++i) {
        const int64_t asked = now();
        host.send("show");
        const std::string shown = game.frameUntil(host, "shown");
        showFrames.push_back(double(game.startedBetween(asked, std::stoll(field(shown, "qpc")))));
        host.send("hide");
        game.frameUntil(host, "hidden");
    }
    std::printf("show latency: %.0f game frames started from the show command to shown (median of %d, at most "
                "%.0f); 1 is the next frame\n",
                Bench::percentile(showFrames, 0.5), rounds / 2, Bench::percentile(showFrames, 1.0));
    const std::vector<double> client = clientShowLatencies();
    if (client.empty()) {
        std::printf("show latency, the client's own measure: not in its log\n");
    } else {
        std::printf("show latency, the client's own measure: %.2f ms from showOverlay to the first overlay frame "
                    "(median of %zu, at most %.2f); a frame is %.2f ms\n",
                    Bench::percentile(client, 0.5), client.size(), Bench::percentile(client, 1.0), hookedFrame / 1e3);
    }
    return 0;
}

}  // namespace

int main()
{
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_e2e: %s\n", e.what());
        return 1;
    }
}
