#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/core.h"
#include "log/message_format.h"

namespace Log {

// A named logger. It attaches itself to the core's root logger at its first enabled call and hands
// its records to its own sinks and to those of its ancestors.
class Logger
{
public:
    Logger(std::string name, const char* sourceFile, unsigned sourceLine, std::vector<std::wstring> tags = {});
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    ~Logger();

    const std::string& name() const noexcept { return name_; }
    // name "@" last three components of the declaring source path "(" line ")"
    const std::string& identity() const noexcept { return identity_; }

    void addSink(std::shared_ptr<Sink> sink);
    // A detached logger does not attach to the root (the root itself is one).
    void setDetached(bool detached);
    // Drops the sinks (when the core stops).
    void shutdown();

    // Logs a message made from `format` and `arguments` (see formatMessage). Never throws.
    template <typename... Args>
    void log(const char* sourceFile, unsigned sourceLine, Level level, const MessageFormat& format,
             const Args&... arguments) noexcept
    {
        if (!Core::isEnabled(level))
            return;
        try {
            if constexpr (sizeof...(Args) == 0) {
                logFormatted(sourceFile, sourceLine, level, format.text, nullptr, 0);
            } else {
                std::wstring texts[sizeof...(Args)];
                std::size_t index = 0;
                (detail::appendArgument(texts[index++], arguments), ...);
                logFormatted(sourceFile, sourceLine, level, format.text, texts, sizeof...(Args));
            }
        } catch (...) {
            // Logging never throws into its caller.
        }
    }

private:
    void logFormatted(const char* sourceFile, unsigned sourceLine, Level level, std::wstring_view format,
                      const std::wstring* arguments, std::size_t count) noexcept;
    void attach(Core& core);
    void push(Core& core, Record& record);

    std::string name_;
    std::string identity_;
    std::recursive_mutex mutex_;
    bool initialized_ = false;
    bool detached_ = false;
    std::uint64_t coreGeneration_ = 0;
    std::shared_ptr<Logger> parent_;
    std::vector<std::shared_ptr<Sink>> sinks_;
    std::vector<std::wstring> tagNames_;
    std::vector<std::uint32_t> tagIds_;
};

// The program's logger, "logger".
Logger& programLogger();

// Logs through the program's logger (what the LOG_ macros call). Never throws.
template <typename... Args>
void logProgram(const char* sourceFile, unsigned sourceLine, Level level, const MessageFormat& format,
                const Args&... arguments) noexcept
{
    try {
        programLogger().log(sourceFile, sourceLine, level, format, arguments...);
    } catch (...) {
        // Making the logger itself failed (out of memory); the record is lost.
    }
}

}  // namespace Log
