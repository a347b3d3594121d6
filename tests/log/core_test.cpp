#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "log_test_support.h"

namespace {

using LogTest::LogFixture;
using LogTest::MemorySink;

const wchar_t overflowWarning[] = L"Log buffer overflow: some messages may be lost!";

TEST_F(LogFixture, CoreIsCreatedOnceAndStopsForGood)
{
    EXPECT_FALSE(Log::Core::isEnabled(Log::Level::Fatal));
    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    EXPECT_EQ(Log::Core::instance(), core);
    EXPECT_EQ(core->threshold(), Log::Level::Debug);
    EXPECT_TRUE(Log::Core::isEnabled(Log::Level::Debug));
    EXPECT_FALSE(Log::Core::isEnabled(Log::Level::Trace));
    try {
        Log::Core::initialize(Log::Mode::Synchronous);
        FAIL() << "a second core was created";
    } catch (const Log::Errors::AlreadyInitialized& error) {
        EXPECT_STREQ(error.what(), "Logger is already initialized");
    }

    auto sink = std::make_shared<MemorySink>();
    core->rootLogger()->addSink(sink);
    LOG_INFO(L"before stop");
    core->stop();
    LOG_FATAL(L"after stop");
    EXPECT_FALSE(Log::Core::isEnabled(Log::Level::Fatal));
    EXPECT_EQ(sink->messages(), std::vector<std::wstring>{L"before stop"});
}

TEST_F(LogFixture, DisabledLevelsEvaluateNothing)
{
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    LOG_ERROR(L"%0", count());  // no core yet
    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    LOG_TRACE(L"%0", count());
    EXPECT_EQ(evaluated, 0);
    LOG_DEBUG(L"%0", count());
    EXPECT_EQ(evaluated, 1);
}

TEST_F(LogFixture, LoggersAttachLazilyAndCarryTags)
{
    Log::Logger early("early", "C:\\work\\src\\area\\part\\file.cpp", 12, {L"ipc", L"pipe"});
    early.log(__FILE__, __LINE__, Log::Level::Error, L"no core yet");

    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    core->setThreshold(Log::Level::Max);
    auto rootSink = std::make_shared<MemorySink>();
    rootSink->setMinLevel(Log::Level::Max);
    core->rootLogger()->addSink(rootSink);
    auto ownSink = std::make_shared<MemorySink>();
    ownSink->setMinLevel(Log::Level::Warn);
    early.addSink(ownSink);

    early.log(__FILE__, __LINE__, Log::Level::Info, L"first %0", 1);
    early.log(__FILE__, __LINE__, Log::Level::Warn, L"second");
    EXPECT_EQ(early.identity(), "early@area\\part\\file.cpp(12)");
    EXPECT_EQ(rootSink->messages(), (std::vector<std::wstring>{L"Logger created (early@area\\part\\file.cpp(12))",
                                                               L"first 1", L"second"}));
    EXPECT_EQ(rootSink->tags().back(), (Log::TagTexts{L"ipc", L"pipe"}));
    EXPECT_EQ(rootSink->records().back().level, Log::Level::Warn);
    EXPECT_EQ(rootSink->records().back().threadId, GetCurrentThreadId());
    EXPECT_EQ(rootSink->records().back().processId, GetCurrentProcessId());
    EXPECT_EQ(ownSink->messages(), std::vector<std::wstring>{L"second"});  // below Warn filtered out

    Log::Logger alone("alone", __FILE__, __LINE__);
    alone.setDetached(true);
    auto aloneSink = std::make_shared<MemorySink>();
    alone.addSink(aloneSink);
    alone.log(__FILE__, __LINE__, Log::Level::Info, L"only mine");
    EXPECT_EQ(aloneSink->messages(), std::vector<std::wstring>{L"only mine"});
    EXPECT_EQ(rootSink->messages().size(), 3u);
}

TEST_F(LogFixture, ProgramLoggerFollowsANewCore)
{
    for (int round = 0; round < 2; ++round) {
        const auto core = Log::Core::initialize(Log::Mode::Synchronous);
        auto sink = std::make_shared<MemorySink>();
        core->rootLogger()->addSink(sink);
        LOG_WARN(L"round %0", round);
        EXPECT_EQ(sink->messages(), std::vector<std::wstring>{L"round " + std::to_wstring(round)});
        Log::Core::release();
    }
}

// The first record it is given blocks the writer thread until `release`.
class BlockingSink : public MemorySink {
public:
    void write(const Log::Record& record, const Log::TagTexts& tags) override
    {
        std::unique_lock<std::mutex> lock(gate_);
        if (!blockedOnce_) {
            blockedOnce_ = true;
            entered_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
        }
        lock.unlock();
        MemorySink::write(record, tags);
        lock.lock();
        ++written_;
        changed_.notify_all();
    }
    void waitEntered()
    {
        std::unique_lock<std::mutex> lock(gate_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(gate_);
        released_ = true;
        changed_.notify_all();
    }
    void waitWritten(int count)
    {
        std::unique_lock<std::mutex> lock(gate_);
        changed_.wait(lock, [&] { return written_ >= count; });
    }

private:
    std::mutex gate_;
    std::condition_variable changed_;
    bool blockedOnce_ = false, entered_ = false, released_ = false;
    int written_ = 0;
};

TEST_F(LogFixture, AsynchronousQueueOverflowsAt199)
{
    const auto core = Log::Core::initialize(Log::Mode::Asynchronous);
    auto sink = std::make_shared<BlockingSink>();
    core->rootLogger()->addSink(sink);

    LOG_INFO(L"first");
    sink->waitEntered();  // the writer holds "first"; the queue is empty
    for (int i = 1; i <= 210; ++i)
        LOG_INFO(L"record %0", i);  // 199 queued, then the warning, then dropped
    EXPECT_EQ(core->highWaterMark(), 200u);
    sink->release();
    sink->waitWritten(201);
    LOG_INFO(L"after drain");
    sink->waitWritten(202);
    Log::Core::release();

    const auto records = sink->records();
    ASSERT_EQ(records.size(), 202u);
    EXPECT_EQ(records[0].message, L"first");
    for (int i = 1; i <= 199; ++i)
        EXPECT_EQ(records[i].message, L"record " + std::to_wstring(i));
    EXPECT_EQ(records[200].message, overflowWarning);
    EXPECT_EQ(records[200].level, Log::Level::Warn);
    EXPECT_EQ(records[201].message, L"after drain");
    EXPECT_EQ(core->highWaterMark(), 200u);
}

TEST_F(LogFixture, StopWritesWhatIsQueued)
{
    const auto core = Log::Core::initialize(Log::Mode::Asynchronous);
    auto sink = std::make_shared<MemorySink>();
    core->rootLogger()->addSink(sink);
    for (int i = 0; i < 50; ++i)
        LOG_INFO(L"%0", i);
    core->stop();
    EXPECT_EQ(sink->messages().size(), 50u);
    EXPECT_EQ(core->mode(), Log::Mode::Disabled);
}

class ThrowingSink : public Log::Sink {
public:
    std::wstring name() const override { return L"Throwing"; }
    void write(const Log::Record&, const Log::TagTexts&) override
    {
        ++calls;
        throw std::runtime_error("disk on fire");
    }
    int calls = 0;
};

TEST_F(LogFixture, AFailingSinkStopsLoggingWithoutThrowing)
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

TEST_F(LogFixture, ErrorObjectsAreLoggedWithTheirLocation)
{
    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    auto sink = std::make_shared<MemorySink>();
    core->rootLogger()->addSink(sink);
    const std::runtime_error error(u8"Failed to open mutex \u00e9");
    const unsigned line = __LINE__ + 1;
    LOG_ERROR_OBJ(error);
    const auto records = sink->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, L"Failed to open mutex \u00e9");
    EXPECT_EQ(records[0].level, Log::Level::Error);
    EXPECT_EQ(records[0].sourceLine, line);
    EXPECT_STREQ(records[0].sourceFile, __FILE__);
}

}  // namespace
