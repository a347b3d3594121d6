#include "log/logger.h"

#include <algorithm>
#include <utility>

namespace Log {

namespace {

// name "@" + the last three components of the path, joined with backslashes, + "(" line ")"
std::string makeIdentity(const std::string& name, const char* sourceFile, unsigned sourceLine)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = sourceFile != nullptr ? sourceFile : ""; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            if (!part.empty())
                parts.push_back(std::move(part));
            part.clear();
        } else {
            part += *p;
        }
    }
    if (!part.empty())
        parts.push_back(std::move(part));
    std::string identity = name + "@";
    const std::size_t first = parts.size() > 3 ? parts.size() - 3 : 0;
    for (std::size_t i = first; i < parts.size(); ++i) {
        if (i != first)
            identity += '\\';
        identity += parts[i];
    }
    return identity + "(" + std::to_string(sourceLine) + ")";
}

}  // namespace

Logger::Logger(std::string name, const char* sourceFile, unsigned sourceLine, std::vector<std::wstring> tags)
    : name_(std::move(name)), identity_(makeIdentity(name_, sourceFile, sourceLine)), tagNames_(std::move(tags))
{
}

Logger::~Logger() = default;

void Logger::addSink(std::shared_ptr<Sink> sink)
{
    if (!sink)
        return;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sinks_.push_back(std::move(sink));
}

void Logger::setDetached(bool detached)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    detached_ = detached;
    if (detached) {
        initialized_ = true;
        parent_.reset();
    }
}

void Logger::shutdown()
{
    std::vector<std::shared_ptr<Sink>> sinks;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        sinks.swap(sinks_);
    }
    // The sinks go here, outside the lock: a file sink writes its last line when it goes.
}

void Logger::attach(Core& core)
{
    if (initialized_ && coreGeneration_ == core.generation())
        return;
    if (!detached_)
        parent_ = core.rootLogger();
    tagIds_.clear();
    for (const std::wstring& tag : tagNames_)
        tagIds_.push_back(core.registerTag(tag));
    initialized_ = true;
    coreGeneration_ = core.generation();
    log(__FILE__, __LINE__, Level::Trace, L"Logger created (%0)", identity_);
}

void Logger::logFormatted(const char* sourceFile, unsigned sourceLine, Level level, std::wstring_view format,
                          const std::wstring* arguments, std::size_t count) noexcept
{
    try {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        const std::shared_ptr<Core> core = Core::instance();
        if (!core)
            return;
        attach(*core);
        Record record = Record::make(sourceFile, sourceLine, level, formatMessage(format, arguments, count));
        push(*core, record);
    } catch (...) {
        // Logging never throws into its caller.
    }
}

// Called with this logger's lock held; takes each ancestor's lock in turn (child before parent).
void Logger::push(Core& core, Record& record)
{
    for (const std::uint32_t id : tagIds_) {
        if (std::find(record.tags.begin(), record.tags.end(), id) == record.tags.end())
            record.tags.push_back(id);
    }
    if (!sinks_.empty() && core.running())
        core.dispatch(record, sinks_);
    if (parent_) {
        std::lock_guard<std::recursive_mutex> lock(parent_->mutex_);
        parent_->push(core, record);
    }
}

Logger& programLogger()
{
    static Logger logger("logger", __FILE__, __LINE__);
    return logger;
}

}  // namespace Log
