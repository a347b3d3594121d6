#pragma once

// Logging through the program's logger "logger":
//
//   LOG_INFO(L"Width=%0, Height=%1", width, height);
//   LOG_WARN(L"Failed to open %0", path);            // std::string / const char*: UTF-8
//   LOG_DEBUG(L"Create RenderOverlay: %0", this);    // pointers: 16 upper-case hex digits
//   LOG_ERROR_OBJ(error);                            // an exception's what() at ERROR, with this location
//
// The first argument is a wide format with numbered placeholders (see formatMessage in
// message_format.h); the others are any values with a wide-stream operator<< (text, numbers,
// pointers, exceptions need none). At a level that is not enabled the arguments are not evaluated
// and the call costs one atomic load. Logging never throws.
//
// Setting up (once, at start-up):
//
//   auto core = Log::Core::initialize(Log::Mode::Synchronous);
//   auto sink = std::make_shared<Log::FileSink>(folder);
//   sink->setPrefix(L"overlay_client_"); sink->setMaxFiles(15); ...; sink->start();
//   core->rootLogger()->addSink(sink);

#include "log/core.h"
#include "log/errors.h"
#include "log/level.h"
#include "log/logger.h"
#include "log/message_format.h"
#include "log/record.h"
#include "log/sink.h"
#include "log/sinks/file_sink.h"

namespace Log {

// Logs `error.what()` at ERROR through the program's logger, with the given source location.
inline void logError(const std::exception& error, const char* sourceFile, unsigned sourceLine) noexcept
{
    if (Core::isEnabled(Level::Error))
        logProgram(sourceFile, sourceLine, Level::Error, L"%0", error);
}

}  // namespace Log

#define LOG_AT_LEVEL_(level, ...)                                                                                      \
    (::Log::Core::isEnabled(level) ? ::Log::logProgram(__FILE__, __LINE__, level, __VA_ARGS__) : (void)0)

#define LOG_TRACE(...) LOG_AT_LEVEL_(::Log::Level::Trace, __VA_ARGS__)
#define LOG_DEBUG(...) LOG_AT_LEVEL_(::Log::Level::Debug, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT_LEVEL_(::Log::Level::Info, __VA_ARGS__)
#define LOG_WARN(...) LOG_AT_LEVEL_(::Log::Level::Warn, __VA_ARGS__)
#define LOG_ERROR(...) LOG_AT_LEVEL_(::Log::Level::Error, __VA_ARGS__)
#define LOG_FATAL(...) LOG_AT_LEVEL_(::Log::Level::Fatal, __VA_ARGS__)

#define LOG_ERROR_OBJ(error) ::Log::logError((error), __FILE__, __LINE__)
