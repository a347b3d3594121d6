#pragma once
// The one thread that talks to the host's pipe. Threads that must not wait on the host (the game's
// window and presenting threads) queue their calls here; they run one at a time, in the order they
// were queued, so events reach the host in the order they happened.
//
//   auto sender = HostSender::start();
//   sender->post([connection] { connection->send(...); });   // any thread; never waits on the host
//   sender->finish([connection] { ... });                    // the last call; the thread then ends
//   sender->waitFinished(deadline);                           // bounded: a stuck call is left behind
//
// The thread shares ownership of the sender, so one still stuck in a pipe call when its owner goes
// away finishes on its own; what a call touches it must own (or hold weakly) too.

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>

namespace Overlay {

class HostSender
{
public:
    using Call = std::function<void()>;

    // Beyond a burst of input the host may take seconds to read (10,000 events, with room to spare):
    // the host is not reading, and what is queued would be thrown away anyway once a write fails.
    // A few megabytes at most.
    static constexpr std::size_t maxQueued = 16384;

    // Starts the thread. Throws std::system_error when it cannot.
    static std::shared_ptr<HostSender> start();

    // Any thread: queues `call` after those queued before. False (and `call` dropped) when the
    // queue is full, logged once until it has drained, or finished.
    bool post(Call call);
    // Any thread, once: queues `last` whatever the bound; the thread ends after running it.
    void finish(Call last);
    // True once the thread has run everything; false when `deadline` came first.
    bool waitFinished(std::chrono::steady_clock::time_point deadline);

    HostSender() = default;
    HostSender(const HostSender&) = delete;
    HostSender& operator=(const HostSender&) = delete;

private:
    void run();

    // Win32's slim lock and condition variable rather than std's: under Wine these wake through a
    // futex, while the MinGW runtime's condition variable takes a round trip through the server for
    // every wake, a fifth of the whole latency of an input event.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<Call> queue_;
    bool finishing_ = false;
    bool finished_ = false;
    bool dropping_ = false;
};

}  // namespace Overlay
