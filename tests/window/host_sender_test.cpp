// The queue from the game's threads to the host's pipe: a burst of input arrives whole and in order
// while the host reads slower than the game sends; beyond its bound, what a host that does not read
// would never get is dropped rather than kept.

#include "overlay/overlay_client/impl/host_sender.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <memory>
#include <vector>

TEST(HostSender, ABurstOfTenThousandEventsArrivesCompleteAndInOrder)
{
    struct Host
    {
        HANDLE reading = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE reads = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<int> received;  // the sender's thread only, until it has finished
        ~Host()
        {
            CloseHandle(reading);
            CloseHandle(reads);
        }
    };
    auto host = std::make_shared<Host>();  // the calls may outlive a failed test
    auto sender = Overlay::HostSender::start();
    // Nothing is read until the whole burst is queued.
    ASSERT_TRUE(sender->post([host] {
        SetEvent(host->reading);
        WaitForSingleObject(host->reads, 20000);
    }));
    int queued = 0;
    while (queued < 10000 && sender->post([host, event = queued] { host->received.push_back(event); }))
        ++queued;
    EXPECT_EQ(queued, 10000) << "events dropped";
    ASSERT_EQ(WaitForSingleObject(host->reading, 20000), WAIT_OBJECT_0);  // the first call is off the queue
    const int bound = int(Overlay::HostSender::maxQueued);
    int beyond = 0;
    while (queued + beyond <= bound && sender->post([] {}))
        ++beyond;
    EXPECT_EQ(queued + beyond, bound) << "the queue's bound";
    SetEvent(host->reads);
    sender->finish([] {});
    ASSERT_TRUE(sender->waitFinished(std::chrono::steady_clock::now() + std::chrono::seconds(20)));
    ASSERT_EQ(host->received.size(), size_t(queued));
    for (int event = 0; event < queued; ++event)
        ASSERT_EQ(host->received[event], event);
}
