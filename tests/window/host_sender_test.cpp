// The queue from the game's threads to the host's pipe: a burst of input arrives whole and in order
// while the host reads slower than the game sends.

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
        HANDLE reads = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<int> received;  // the sender's thread only, until it has finished
        ~Host() { CloseHandle(reads); }
    };
    auto host = std::make_shared<Host>();  // the calls may outlive a failed test
    auto sender = Overlay::HostSender::start();
    // Nothing is read until the whole burst is queued.
    ASSERT_TRUE(sender->post([host] { WaitForSingleObject(host->reads, 20000); }));
    int queued = 0;
    while (queued < 10000 && sender->post([host, event = queued] { host->received.push_back(event); }))
        ++queued;
    SetEvent(host->reads);
    sender->finish([] {});
    ASSERT_TRUE(sender->waitFinished(std::chrono::steady_clock::now() + std::chrono::seconds(20)));
    EXPECT_EQ(queued, 10000) << "events dropped";
    ASSERT_EQ(host->received.size(), size_t(queued));
    for (int event = 0; event < queued; ++event)
        ASSERT_EQ(host->received[event], event);
}
