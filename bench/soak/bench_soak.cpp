// Soak: a live client in a game (this process), its overlay drawn every frame while shown;
// SOAK_CYCLES show/hide cycles by the host, then SOAK_RECONNECTS reconnects of the host to the
// client's pipe, each showing the overlay for a frame. Prints the process's private bytes and
// handle count at the start and after each phase.

#include "client_harness.h"

#include <cstdio>
#include <cstdlib>

using namespace ClientHarness;
using Clock = std::chrono::steady_clock;

namespace {

int envCount(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? std::atoi(text) : fallback;
}

void report(const char* phase, size_t bytes, DWORD handles, size_t bytes0, DWORD handles0, double seconds)
{
    std::printf("%-22s private bytes %10zu (%+lld)  handles %5lu (%+ld)  %.1f s\n", phase, bytes,
                static_cast<long long>(bytes) - static_cast<long long>(bytes0), static_cast<unsigned long>(handles),
                static_cast<long>(handles) - static_cast<long>(handles0), seconds);
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
        auto cycle = [&] {
            client.hideOverlay();
            c.game.present();
            client.showOverlay();
            c.game.present();
        };
        // Warm-up: the allocators and the device reach their steady state first.
        for (int i = 0; i < 100; ++i)
            cycle();
        const size_t bytes0 = privateBytes();
        const DWORD handles0 = handleCount();
        report("start", bytes0, handles0, bytes0, handles0, 0);

        auto start = Clock::now();
        for (int i = 0; i < cycles; ++i)
            cycle();
        const std::string cyclesLine = std::to_string(cycles) + " show/hide";
        report(cyclesLine.c_str(), privateBytes(), handleCount(), bytes0, handles0,
               std::chrono::duration<double>(Clock::now() - start).count());

        start = Clock::now();
        c.connection->close();
        for (int i = 0; i < reconnects; ++i) {
            Host::ClientConnection connection(c.info.pipeName);
            connection.open();
            connection.service().showOverlay();
            c.game.present();
            connection.close();
        }
        const std::string reconnectsLine = std::to_string(reconnects) + " reconnects";
        report(reconnectsLine.c_str(), privateBytes(), handleCount(), bytes0, handles0,
               std::chrono::duration<double>(Clock::now() - start).count());
        std::printf("frames %d, longest frame %.1f ms, client state %d, host saw %zu shown\n", c.game.frames,
                    c.game.longestFrameMs, static_cast<int>(c.dll.state()), c.host->count("shown"));
        return c.dll.state() == Success ? 0 : 1;
    } catch (const std::exception& e) {
        std::printf("soak failed: %s\n", e.what());
        log.printOnExit = true;
        return 1;
    }
}
