#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/errors.h"
#include "log/level.h"
#include "log/record.h"
#include "log/sink.h"

namespace Log {

class Logger;

enum class Mode : std::uint32_t {
    Disabled = 0,      // records are dropped
    Synchronous = 1,   // records are written on the logging thread, under the core's lock
    Asynchronous = 2,  // records are queued for a writer thread
};

namespace detail {

// The lowest level that passes while a core exists and runs; above every level otherwise. Kept
// apart from the core so that a disabled log call costs one atomic load.
extern std::atomic<std::uint64_t> enabledFrom;
const std::uint64_t nothingEnabled = 0x100000000ULL;

}  // namespace detail

// The process-wide logging core: the root logger, the threshold, the mode and the queue.
class Core
{
public:
    using ErrorHandler = std::function<void(const Errors::Base&)>;

    static constexpr std::size_t capacity = 200;

    // Creates the core; throws Errors::AlreadyInitialized when one exists.
    static std::shared_ptr<Core> initialize(Mode mode);
    // The core, or empty.
    static std::shared_ptr<Core> instance();
    // Stops the core and lets it go; a later initialize() starts afresh (orderly shutdown, tests).
    static void release();

    // A core exists, runs, and `level` passes the threshold.
    static bool isEnabled(Level level) noexcept
    {
        return static_cast<std::uint64_t>(level) >= detail::enabledFrom.load(std::memory_order_relaxed);
    }

    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    const std::shared_ptr<Logger>& rootLogger() const noexcept { return root_; }

    // Ends logging for good: writes what is queued, stops the writer thread, and shuts the root
    // logger down (its sinks go with their last reference).
    void stop();

    bool running() const noexcept { return running_.load(); }
    Mode mode() const noexcept { return mode_.load(); }
    Level threshold() const noexcept { return threshold_.load(); }
    void setThreshold(Level level);
    // Called, under the core's lock, with the error that made a sink fail (logging has stopped then).
    void setErrorHandler(ErrorHandler handler);
    std::uint64_t creationTime() const noexcept { return creationTime_; }
    std::size_t highWaterMark() const noexcept { return highWaterMark_.load(); }
    // Changes with every new core; loggers attached to an earlier one attach again.
    std::uint64_t generation() const noexcept { return generation_; }

    std::uint32_t registerTag(const std::wstring& text);

    // Hands a record to `sinks` according to the mode.
    void dispatch(const Record& record, const std::vector<std::shared_ptr<Sink>>& sinks);

private:
    struct Entry
    {
        Record record;
        std::vector<std::shared_ptr<Sink>> sinks;
        TagTexts tags;
    };

    explicit Core(Mode mode);
    void setMode(Mode mode);
    void updateEnabled();
    TagTexts tagTexts(const Record& record) const;
    void enqueue(const Record& record, std::vector<std::shared_ptr<Sink>> sinks);
    void writeEntry(const Entry& entry);
    bool writeToSink(Sink& sink, const Record& record, const TagTexts& tags);
    void writerLoop();
    void handleError(const Errors::Base& error);

    mutable std::recursive_mutex mutex_;
    std::atomic<bool> running_{true};
    std::atomic<bool> stopped_{false};
    ErrorHandler errorHandler_;
    std::atomic<Mode> mode_{Mode::Disabled};
    std::thread writer_;
    std::vector<Entry> queue_;
    std::condition_variable_any wakeUp_;
    std::shared_ptr<Logger> root_;
    std::atomic<Level> threshold_{Level::Debug};
    std::uint64_t creationTime_;
    std::vector<std::wstring> tags_;  // text of tag identifier i + 1
    std::atomic<std::size_t> highWaterMark_{0};
    std::uint64_t generation_;
};

}  // namespace Log
