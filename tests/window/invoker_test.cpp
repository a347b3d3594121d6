// The invoker on real threads with real message loops.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "game_thread.h"
#include "log_capture.h"
#include "overlay/overlay_client/impl/invoker.h"

namespace Overlay {
namespace {

// Counts its live copies: every payload that captures one is freed when the count is back.
struct Tracked
{
    explicit Tracked(std::atomic<int>& live) : live_(&live) { ++*live_; }
    Tracked(const Tracked& other) : live_(other.live_) { ++*live_; }
    ~Tracked() { --*live_; }
    std::atomic<int>* live_;
};

TEST(InvokerTest, RunsOnTheOwningThreadInOrder)
{
    LogTest::LogCapture log;
    auto invoker = Invoker::create();

    // On the owning thread: at once, inside post.
    bool ran = false;
    EXPECT_TRUE(invoker->post([&] { ran = true; }));
    EXPECT_TRUE(ran);

    // From another thread: on the owner, in posting order, a throwing function not stopping the next.
    std::vector<DWORD> threads;
    std::vector<int> order;
    const DWORD self = GetCurrentThreadId();
    std::thread poster([&] {
        EXPECT_TRUE(invoker->post([&] { order.push_back(1), threads.push_back(GetCurrentThreadId()); }));
        EXPECT_TRUE(invoker->post([] { throw std::runtime_error("function failed"); }));
        EXPECT_TRUE(invoker->post([] { throw 42; }));
        EXPECT_TRUE(invoker->post([&] { order.push_back(2), threads.push_back(GetCurrentThreadId()); }));
    });
    poster.join();
    EXPECT_TRUE(order.empty()) << "runs only when the owner pumps";
    // A function forced onto the queue on the owner thread waits its turn too.
    EXPECT_TRUE(invoker->post([&] { order.push_back(3), threads.push_back(GetCurrentThreadId()); }, true));
    EXPECT_TRUE(order.empty());

    // Null and foreign WPARAMs of the registered message are logged and never run.
    int foreign = 0;
    SendMessageW(invoker->window(), Invoker::message(), 0, 0);
    SendMessageW(invoker->window(), Invoker::message(), reinterpret_cast<WPARAM>(&foreign), 0);

    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(threads, (std::vector<DWORD>{self, self, self}));
    // The sent messages were handled at once, before the queue was pumped.
    EXPECT_EQ(log.take(), (std::vector<LogTest::Line>{{Log::Level::Error, L"Can not execute func, wParam is null"},
                                                      {Log::Level::Error, L"Can not execute func, wParam is unknown"},
                                                      {Log::Level::Error, L"function failed"},
                                                      {Log::Level::Error, L"Unknown exception"}}));
}

TEST(InvokerTest, ManyPostsFromManyThreadsRunOnceAndFreeEverything)
{
    constexpr int threads = 4;
    constexpr int postsPerThread = 25000;
    std::atomic<int> live{0};
    std::vector<std::atomic<int>> runs(threads * postsPerThread);
    HWND window = nullptr;
    DWORD ownerId = 0;
    DWORD ranOn = 0;
    {
        WindowTest::Game owner;  // a window thread with a plain message loop
        std::shared_ptr<Invoker> invoker;
        owner.call([&] { invoker = Invoker::create(); });
        window = invoker->window();
        ownerId = owner.threadId();
        std::vector<std::thread> posters;
        for (int t = 0; t < threads; ++t) {
            posters.emplace_back([&, t] {
                const Tracked tracked(live);
                for (int i = 0; i < postsPerThread; ++i) {
                    const int index = t * postsPerThread + i;
                    while (!invoker->post([&runs, &ranOn, index, tracked] {
                        ++runs[index];
                        ranOn = GetCurrentThreadId();
                    }))
                        std::this_thread::yield();  // the queue is full: the owner catches up
                }
            });
        }
        for (std::thread& poster : posters)
            poster.join();

        // Functions still queued when the invoker is released are dropped: wait for the last one.
        std::promise<void> last;
        ASSERT_TRUE(invoker->post([&] { last.set_value(); }));
        last.get_future().wait();
        // Released here, the invoker is destroyed on its own thread.
        invoker.reset();
    }  // the owner's loop ends after everything queued, the destruction included
    EXPECT_EQ(ranOn, ownerId);
    EXPECT_FALSE(IsWindow(window));
    for (std::size_t index = 0; index < runs.size(); ++index)
        ASSERT_EQ(runs[index].load(), 1) << "function " << index;
    EXPECT_EQ(live.load(), 0);
}

TEST(InvokerTest, FunctionsQueuedAtDestructionAreFreedUnrun)
{
    std::atomic<int> live{0};
    std::atomic<int> ran{0};
    {
        auto invoker = Invoker::create();
        std::thread poster([&] {
            for (int i = 0; i < 10; ++i)
                EXPECT_TRUE(invoker->post([&ran, tracked = Tracked(live)] { ++ran; }));
        });
        poster.join();
        EXPECT_EQ(live.load(), 10);
    }  // released on the owning thread: destroyed at once
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(live.load(), 0);
}

}  // namespace
}  // namespace Overlay
