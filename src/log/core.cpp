#include "log/core.h"

#include <algorithm>
#include <utility>

#include "log/logger.h"

namespace Log {

namespace detail {

std::atomic<std::uint64_t> enabledFrom{nothingEnabled};

}  // namespace detail

namespace {

std::mutex instanceMutex;
std::shared_ptr<Core> instanceCore;
std::atomic<std::uint64_t> generations{0};

}  // namespace

std::shared_ptr<Core> Core::initialize(Mode mode)
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    if (instanceCore)
        throw Errors::AlreadyInitialized();
    std::shared_ptr<Core> core(new Core(mode));
    instanceCore = core;
    detail::enabledFrom = static_cast<std::uint64_t>(core->threshold_.load());
    return core;
}

std::shared_ptr<Core> Core::instance()
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    return instanceCore;
}

void Core::release()
{
    std::shared_ptr<Core> core;
    {
        std::lock_guard<std::mutex> lock(instanceMutex);
        core.swap(instanceCore);
        detail::enabledFrom = detail::nothingEnabled;
    }
    if (core)
        core->stop();
}

Core::Core(Mode mode)
    : root_(std::make_shared<Logger>("root", __FILE__, __LINE__)), creationTime_(currentTime()),
      generation_(++generations)
{
    root_->setDetached(true);
    setMode(mode);
}

Core::~Core()
{
    try {
        stop();
    } catch (...) {
    }
}

void Core::setMode(Mode mode)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    mode_ = mode;
    if (mode == Mode::Asynchronous && !writer_.joinable())
        writer_ = std::thread([this] { writerLoop(); });
    wakeUp_.notify_all();
}

// Lock order: a core's mutex, then the instance mutex (never the other way round).
void Core::updateEnabled()
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    if (instanceCore.get() != this)
        return;  // a released core: the switch was cleared when it was let go
    detail::enabledFrom = running_ ? static_cast<std::uint64_t>(threshold_.load()) : detail::nothingEnabled;
}

void Core::setThreshold(Level level)
{
    threshold_ = level;
    updateEnabled();
}

void Core::setErrorHandler(ErrorHandler handler)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    errorHandler_ = std::move(handler);
}

std::uint32_t Core::registerTag(const std::wstring& text)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto found = std::find(tags_.begin(), tags_.end(), text);
    if (found != tags_.end())
        return static_cast<std::uint32_t>(found - tags_.begin()) + 1;
    tags_.push_back(text);
    return static_cast<std::uint32_t>(tags_.size());
}

TagTexts Core::tagTexts(const Record& record) const
{
    TagTexts texts;
    for (const std::uint32_t id : record.tags) {
        if (id >= 1 && id <= tags_.size())
            texts.push_back(tags_[id - 1]);
    }
    return texts;
}

void Core::stop()
{
    if (stopped_.exchange(true))
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        running_ = false;
        mode_ = Mode::Disabled;
        wakeUp_.notify_all();
    }
    updateEnabled();
    if (writer_.joinable() && writer_.get_id() != std::this_thread::get_id())
        writer_.join();
    else if (writer_.joinable())
        writer_.detach();
    root_->shutdown();
}

void Core::dispatch(const Record& record, const std::vector<std::shared_ptr<Sink>>& sinks)
{
    if (!running_)
        return;
    const bool accepted = std::any_of(sinks.begin(), sinks.end(),
                                      [&](const std::shared_ptr<Sink>& sink) { return sink->accepts(record.level); });
    if (!accepted)
        return;

    switch (mode_.load()) {
    case Mode::Synchronous: {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        const TagTexts tags = tagTexts(record);
        for (const auto& sink : sinks) {
            if (sink->accepts(record.level) && !writeToSink(*sink, record, tags))
                return;
        }
        break;
    }
    case Mode::Asynchronous: {
        std::vector<std::shared_ptr<Sink>> accepting;
        for (const auto& sink : sinks) {
            if (sink->accepts(record.level))
                accepting.push_back(sink);
        }
        enqueue(record, std::move(accepting));
        break;
    }
    case Mode::Disabled:
    default: break;
    }
}

void Core::enqueue(const Record& record, std::vector<std::shared_ptr<Sink>> sinks)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::size_t size = queue_.size();
    if (size >= capacity)
        return;  // full: the record is lost, the overflow warning is already queued
    if (size + 1 < capacity) {
        queue_.push_back(Entry{record, std::move(sinks), tagTexts(record)});
    } else {
        Record warning =
            Record::make(__FILE__, __LINE__, Level::Warn, L"Log buffer overflow: some messages may be lost!");
        queue_.push_back(Entry{std::move(warning), std::move(sinks), TagTexts()});
    }
    const std::size_t newSize = queue_.size();
    std::size_t mark = highWaterMark_.load();
    while (mark < newSize && !highWaterMark_.compare_exchange_weak(mark, newSize)) {
    }
    wakeUp_.notify_one();
}

void Core::writeEntry(const Entry& entry)
{
    for (const auto& sink : entry.sinks) {
        if (!writeToSink(*sink, entry.record, entry.tags))
            return;
    }
}

// A sink that fails stops all logging (see handleError); false then.
bool Core::writeToSink(Sink& sink, const Record& record, const TagTexts& tags)
{
    try {
        sink.write(record, tags);
        return true;
    } catch (const Errors::Base& error) {
        handleError(error);
    } catch (const std::exception& error) {
        handleError(Errors::Failed(error.what()));
    } catch (...) {
        handleError(Errors::Failed("Unknown exception"));
    }
    return false;
}

void Core::writerLoop()
{
    std::vector<Entry> batch;
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    while (running_ && mode_ == Mode::Asynchronous) {
        wakeUp_.wait(lock, [this] { return !queue_.empty() || !running_ || mode_ != Mode::Asynchronous; });
        if (queue_.empty())
            continue;
        batch.swap(queue_);
        lock.unlock();
        for (const Entry& entry : batch)
            writeEntry(entry);
        batch.clear();
        lock.lock();
    }
    batch.swap(queue_);
    lock.unlock();
    for (const Entry& entry : batch)
        writeEntry(entry);
}

void Core::handleError(const Errors::Base& error)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    running_ = false;
    updateEnabled();
    if (errorHandler_) {
        try {
            errorHandler_(error);
        } catch (...) {
        }
    }
}

}  // namespace Log
