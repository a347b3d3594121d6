#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "log/sink.h"

namespace Log {

namespace Private {

// One open log file: UTF-8 with a byte-order mark, CR LF line ends, other writers denied.
class LogFile
{
public:
    // Throws Errors::FailedToCreateLogFile ("Failed to open file <path>: errno = <n>").
    explicit LogFile(std::wstring path);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    const std::wstring& path() const noexcept { return path_; }
    FILE* file() const noexcept { return file_; }

    std::uint64_t written;  // characters, counted for rotation; starts at the size on disk

private:
    std::wstring path_;
    FILE* file_;
};

}  // namespace Private

// Writes records into rotating files <prefix><yyyymmdd_hhmmss_mmm><extension> in one folder.
//
// The first file starts with a header and "Starting log session <process id> at <date>"; when a
// record makes a file longer than maxFileSize characters the file ends with "Log session <id>
// reached maximum allowed file size" and the next starts with "Continue log session <id> at
// <date>". At most maxFiles files (0: all) are kept, the oldest are deleted.
class FileSink : public Sink
{
public:
    // Throws Errors::Failed when the folder cannot be made absolute.
    explicit FileSink(const std::wstring& folder);
    ~FileSink() override;

    std::wstring name() const override;  // File("<folder>")
    void flush() override;
    void write(const Record& record, const TagTexts& tags) override;

    void setPrefix(const std::wstring& prefix);
    void setExtension(const std::wstring& extension);
    void setMaxFiles(std::uint32_t maxFiles) noexcept { maxFiles_ = maxFiles; }
    void setMaxFileSize(std::uint64_t maxFileSize) noexcept { maxFileSize_ = maxFileSize; }
    void setFlushEachRecord(bool flush) noexcept { flushEachRecord_ = flush; }

    // Opens the first file; throws Errors::FailedToCreateLogFile when it cannot.
    void start();

    const std::wstring& folder() const noexcept { return folder_; }
    std::uint32_t runId() const noexcept { return runId_; }
    // The file being written, or empty.
    std::wstring currentPath() const;

private:
    void open(bool rotate);
    std::wstring newFilePath();
    std::wstring pathInFolder(const std::wstring& name) const;
    void cleanUp();
    void writeText(std::wstring text);
    void writeStatus(const std::wstring& message);

    std::wstring name_;
    std::uint32_t runId_;
    bool opened_ = false;
    bool firstFile_ = true;
    std::wstring folder_;
    std::wstring prefix_;
    std::wstring extension_ = L".log";
    std::atomic<std::uint32_t> maxFiles_{0};
    std::atomic<std::uint64_t> maxFileSize_{0x100000};
    std::atomic<bool> flushEachRecord_{false};
    std::uint64_t lastNameTime_ = 0;  // milliseconds since 1970 of the last file name
    std::shared_ptr<FileFormatter> formatter_;
    std::shared_ptr<Private::LogFile> file_;
};

}  // namespace Log
