// Soak: a live client in a game (this process), its overlay drawn every frame while shown;
// SOAK_CYCLES show/hide cycles by the host, then SOAK_RECONNECTS reconnects of the host to the
// client's pipe, each showing the overlay for a frame. Prints the process's private bytes and
// handle count at the start and after each phase, and the frame times of each phase; the hidden
// phase before the cycles is their baseline.

#include "client_harness.h"
#include "common/bench_util.h"

#include <cstdio>
#include <cstdlib>
#include <future>

using namespace ClientHarness;
using Clock = std::chrono::steady_clock;

namespace {

int envCount(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? std::atoi(text) : fallback;
}

void report(const char* phase, size_t bytes, DWORD handles, size_t bytes0, DWORD handles0, double seconds, Game& game)
{
    std::printf("%-22s private bytes %10zu (%+lld)  handles %5lu (%+ld)  %.1f s, longest frame %.1f ms\n", phase, bytes,
                static_cast<long long>(bytes) - static_cast<long long>(bytes0), static_cast<unsigned long>(handles),
                static_cast<long>(handles) - static_cast<long>(handles0), seconds, game.longestFrameMs);
    if (!game.frameTimesMs.empty()) {
        const double median = Bench::percentile(game.frameTimesMs, 0.5);
        std::printf("%-22s frames %zu: median %.1f ms, 99th percentile %.1f ms, longest %.1f ms = %.1fx the median "
                    "(target: at most 2x)\n",
                    "", game.frameTimesMs.size(), median, Bench::percentile(game.frameTimesMs, 0.99),
                    game.longestFrameMs, median > 0 ? game.longestFrameMs / median : 0.0);
    }
    game.longestFrameMs = 0;
    game.frameTimesMs.clear();
    // Counting the process's memory and handles takes a second or two under Wine: not a frame's.
    game.last = std::chrono::steady_clock::now();
}

}  // namespace

int main()
{
    LogFolder log;
    LiveClient c(log);
    try {
        c.start();
        const int cycles = envCount("SOAK_CYCLES", 10000);
        const int reconnects = envCount("SOAK_RECONNECTS", 1000);
        auto& client = c.connection->service();
        // Each step waits for the host to hear of it: shown is reported after a drawn frame.
        size_t shown = 1;
        size_t hidden = 0;
        auto waitFor = [&](const char* what, size_t count) {
            if (!c.game.runUntil([&] { return c.host->count(what) == count; }))
                throw std::runtime_error(std::string("no ") + what);
        };
        // The host's calls run on a thread of their own, as in a host process: the game keeps
        // presenting and pumping its window's messages meanwhile.
        auto hostCall = [&](const std::function<void()>& call) {
            auto done = std::async(std::launch::async, call);
            c.game.runUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
            done.get();
        };
        auto cycle = [&] {
            hostCall([&] { client.hideOverlay(); });
            waitFor("hidden", ++hidden);
            hostCall([&] { client.showOverlay(); });
            waitFor("shown", ++shown);
        };
        // Warm-up: the allocators and the device reach their steady state first.
        for (int i = 0; i < 100; ++i)
            cycle();
        c.game.keepFrameTimes = true;
        const size_t bytes0 = privateBytes();
        const DWORD handles0 = handleCount();
        report("start", bytes0, handles0, bytes0, handles0, 0, c.game);

        // Baseline: the overlay hidden, the host's thread started as often and the game presenting
        // as many frames per cycle, so that the longest frame has something to be measured against.
        auto start = Clock::now();
        const int framesPerCycle = 4;
        for (int i = 0; i < cycles; ++i) {
            hostCall([] {});
            hostCall([] {});
            int frames = 0;
            c.game.runUntil([&] { return ++frames > framesPerCycle; });
        }
        const std::string baselineLine = std::to_string(cycles) + " hidden";
        report(baselineLine.c_str(), privateBytes(), handleCount(), bytes0, handles0,
               std::chrono::duration<double>(Clock::now() - start).count(), c.game);

        start = Clock::now();
        for (int i = 0; i < cycles; ++i)
            cycle();
        const std::string cyclesLine = std::to_string(cycles) + " show/hide";
        report(cyclesLine.c_str(), privateBytes(), handleCount(), bytes0, handles0,
               std::chrono::duration<double>(Clock::now() - start).count(), c.game);

        start = Clock::now();
        c.connection->close();
        waitFor("hidden", ++hidden);
        for (int i = 0; i < reconnects; ++i) {
            Host::ClientConnection connection(c.info.pipeName);
            hostCall([&] {
                connection.open();
                connection.service().showOverlay();
            });
            waitFor("shown", ++shown);
            hostCall([&] { connection.close(); });  // the client hides the overlay of a host that went
            waitFor("hidden", ++hidden);
        }
        const std::string reconnectsLine = std::to_string(reconnects) + " reconnects";
        report(reconnectsLine.c_str(), privateBytes(), handleCount(), bytes0, handles0,
               std::chrono::duration<double>(Clock::now() - start).count(), c.game);
        std::printf("frames %d, client state %d, host saw %zu shown\n", c.game.frames, static_cast<int>(c.dll.state()),
                    c.host->count("shown"));
        return c.dll.state() == Success ? 0 : 1;
    } catch (const std::exception& e) {
        std::printf("soak failed: %s\n", e.what());
        log.printOnExit = true;
        return 1;
    }
}
