#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <future>
#include <stdexcept>

#include "log_capture.h"

namespace {

using LogTest::MemorySink;
using Messages = std::vector<std::wstring>;

// Every test starts without a core and lets its core go at the end.
class LogCore : public ::testing::Test
{
protected:
    void SetUp() override { Log::Core::release(); }
    void TearDown() override { Log::Core::release(); }

    std::shared_ptr<MemorySink> start(Log::Mode mode)
    {
        auto sink = std::make_shared<MemorySink>();
        Log::Core::initialize(mode)->rootLogger()->addSink(sink);
        return sink;
    }
};

TEST_F(LogCore, CoreIsCreatedOnceStopsForGoodAndCanBeReplaced)
{
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    LOG_ERROR(L"%0", count());  // no core yet
    auto sink = start(Log::Mode::Synchronous);
    const auto core = Log::Core::instance();
    EXPECT_THROW(Log::Core::initialize(Log::Mode::Synchronous), Log::Errors::AlreadyInitialized);

    LOG_TRACE(L"%0", count());  // below the threshold: not even evaluated
    LOG_DEBUG(L"%0", count());
    core->stop();
    LOG_FATAL(L"after stop");
    EXPECT_FALSE(Log::Core::isEnabled(Log::Level::Fatal));
    EXPECT_EQ(sink->messages(), Messages{L"1"});

    // The program's logger attaches to the next core.
    Log::Core::release();
    sink = start(Log::Mode::Synchronous);
    LOG_WARN(L"again");
    EXPECT_EQ(sink->messages(), Messages{L"again"});
}

TEST_F(LogCore, LoggersAttachLazilyAndCarryTags)
{
    Log::Logger early("early", "C:\\work\\src\\area\\part\\file.cpp", 12, {L"ipc", L"pipe"});
    early.log(__FILE__, __LINE__, Log::Level::Error, L"no core yet");

    auto rootSink = start(Log::Mode::Synchronous);
    Log::Core::instance()->setThreshold(Log::Level::Max);
    rootSink->setMinLevel(Log::Level::Max);
    auto ownSink = std::make_shared<MemorySink>();
    ownSink->setMinLevel(Log::Level::Warn);
    early.addSink(ownSink);

    early.log(__FILE__, __LINE__, Log::Level::Info, L"first %0", 1);
    early.log(__FILE__, __LINE__, Log::Level::Warn, L"second");
    EXPECT_EQ(early.identity(), "early@area\\part\\file.cpp(12)");
    EXPECT_EQ(rootSink->messages(),
              (Messages{L"Logger created (early@area\\part\\file.cpp(12))", L"first 1", L"second"}));
    EXPECT_EQ(ownSink->messages(), Messages{L"second"});  // below Warn filtered out

    Log::Logger alone("alone", __FILE__, __LINE__);
    alone.setDetached(true);
    auto aloneSink = std::make_shared<MemorySink>();
    alone.addSink(aloneSink);
    alone.log(__FILE__, __LINE__, Log::Level::Info, L"only mine");
    EXPECT_EQ(aloneSink->messages(), Messages{L"only mine"});
    EXPECT_EQ(rootSink->messages().size(), 3u);
}

// Holds the writer thread in its first write until `open` is set.
class GatedSink : public MemorySink
{
public:
    void write(const Log::Record& record, const Log::TagTexts& tags) override
    {
        if (first.exchange(false)) {
            entered.set_value();
            gate.wait();
        }
        MemorySink::write(record, tags);
    }
    std::atomic<bool> first{true};
    std::promise<void> entered, open;
    std::shared_future<void> gate = open.get_future().share();
};

TEST_F(LogCore, AsynchronousQueueOverflowsAt199AndStopWritesWhatIsQueued)
{
    auto sink = std::make_shared<GatedSink>();
    const auto core = Log::Core::initialize(Log::Mode::Asynchronous);
    core->rootLogger()->addSink(sink);

    LOG_INFO(L"first");
    sink->entered.get_future().wait();  // the writer holds "first"; the queue is empty
    for (int i = 1; i <= 210; ++i)
        LOG_INFO(L"record %0", i);  // 199 queued, then the warning, then dropped
    EXPECT_EQ(core->highWaterMark(), 200u);
    sink->open.set_value();
    while (sink->records().size() < 201)
        Sleep(1);
    for (int i = 0; i < 50; ++i)
        LOG_INFO(L"tail %0", i);  // room again; stop writes whatever is still queued
    core->stop();

    const auto records = sink->records();
    ASSERT_EQ(records.size(), 251u);
    EXPECT_EQ(records[0].message, L"first");
    for (int i = 1; i <= 199; ++i)
        EXPECT_EQ(records[i].message, L"record " + std::to_wstring(i));
    EXPECT_EQ(records[200].message, L"Log buffer overflow: some messages may be lost!");
    EXPECT_EQ(records[200].level, Log::Level::Warn);
    EXPECT_EQ(records[250].message, L"tail 49");
    EXPECT_EQ(core->mode(), Log::Mode::Disabled);
}

class ThrowingSink : public Log::Sink
{
public:
    std::wstring name() const override { return L"Throwing"; }
    void write(const Log::Record&, const Log::TagTexts&) override
    {
        ++calls;
        throw std::runtime_error("disk on fire");
    }
    int calls = 0;
};

TEST_F(LogCore, AFailingSinkStopsLoggingWithoutThrowing)
{
    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    std::string reported;
    core->setErrorHandler([&](const Log::Errors::Base& error) { reported = error.what(); });
    auto sink = std::make_shared<ThrowingSink>();
    core->rootLogger()->addSink(sink);
    EXPECT_NO_THROW(LOG_ERROR(L"one"));
    EXPECT_NO_THROW(LOG_ERROR(L"two"));
    EXPECT_EQ(sink->calls, 1);
    EXPECT_EQ(reported, "disk on fire");
    EXPECT_FALSE(core->running());
    EXPECT_FALSE(Log::Core::isEnabled(Log::Level::Fatal));
}

}  // namespace
