#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include "err/text_conversion.h"
#include "log_capture.h"

namespace {

using Err::utf16ToUtf8;

const std::string bom = "\xEF\xBB\xBF";
const std::string header = bom + " Level | Thread | Day and time    | Message\r\n"
                                 "--------------------------------------------\r\n";
const std::regex fileNamePattern(R"(overlay_client_\d{8}_\d{6}_\d{3}\.log)");
const std::regex timeField(R"(\d\d \d\d:\d\d:\d\d\.\d\d\d)");
const std::string pid = std::to_string(GetCurrentProcessId());

std::string readFile(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::wstring& path, const std::string& bytes)
{
    std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}

// Names of the folder's files, sorted; only the log files' names when `logsOnly`.
std::vector<std::wstring> fileNames(const std::wstring& folder, bool logsOnly = true)
{
    std::vector<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file() &&
            (!logsOnly || std::regex_match(entry.path().filename().string(), fileNamePattern)))
            names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The body after the header, split at CR LF (the last piece is what follows the last CR LF).
std::vector<std::string> bodyLines(const std::string& bytes)
{
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    std::vector<std::string> lines;
    size_t start = header.size();
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(bytes.substr(start, end - start));
    lines.push_back(bytes.substr(start));
    return lines;
}

// Checks the level and thread fields and the time of a line written by this thread; returns the message.
std::string messageOf(const std::string& line, const char* level)
{
    char prefix[32];
    const size_t n = std::snprintf(prefix, sizeof prefix, " %-5s | %-6lu | ", level, GetCurrentThreadId());
    EXPECT_EQ(line.substr(0, n), prefix) << line;
    EXPECT_TRUE(std::regex_match(line.substr(n, 15), timeField)) << line;
    EXPECT_EQ(line.substr(n + 15, 3), " | ") << line;
    return line.size() > n + 18 ? line.substr(n + 18) : std::string();
}

// A fresh folder under the temporary folder (removed with its files at the end) and a core
// logging into it with the program's file settings.
class LogFiles : public ::testing::Test
{
protected:
    LogFiles()
    {
        // Process ids come back soon under Wine: a counter and the clock make the name unique.
        static std::atomic<int> counter{0};
        const auto unique = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter) + L"_" +
                            std::to_wstring(std::chrono::steady_clock::now().time_since_epoch().count());
        folder = (std::filesystem::temp_directory_path() / (L"log_tests_" + unique)).wstring();
        std::filesystem::create_directories(folder);
        Log::Core::release();
        core = Log::Core::initialize(Log::Mode::Synchronous);
    }
    ~LogFiles() override
    {
        Log::Core::release();
        core.reset();
        sink.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::wstring file(const std::wstring& name) const { return folder + L"\\" + name; }

    void startSink(std::uint64_t maxFileSize, std::uint32_t maxFiles)
    {
        sink = std::make_shared<Log::FileSink>(folder);
        sink->setPrefix(L"overlay_client_");
        sink->setExtension(L".log");
        sink->setMaxFiles(maxFiles);
        sink->setMaxFileSize(maxFileSize);
        sink->setFlushEachRecord(true);
        sink->start();
        core->rootLogger()->addSink(sink);
    }

    // Ends the session (the last reference closes the file) and returns the last file's path.
    std::wstring finish()
    {
        const std::wstring path = sink->currentPath();
        Log::Core::release();
        sink.reset();
        return path;
    }

    std::wstring folder;
    std::shared_ptr<Log::Core> core;
    std::shared_ptr<Log::FileSink> sink;
};

TEST_F(LogFiles, HeaderAndLinesByteForByte)
{
    core->setThreshold(Log::Level::Max);
    startSink(0x200000, 15);
    sink->setMinLevel(Log::Level::Max);
    Log::Logger tagged("tagged", __FILE__, __LINE__, {L"ipc", L"pipe"});
    // Lone surrogates become U+FFFD; a valid pair stays.
    const wchar_t broken[] = {L'a', 0xD800, L'b', 0xDC00, L' ', 0xD83D, 0xDE00, L' ', 0xDBFF, 0};

    LOG_TRACE(L"Run overlay client: id = %1, version = %2, pipeHostName = %3", 42, "26.00.02.1046", "host_pipe");
    LOG_WARN(L"title %0", broken);
    LOG_FATAL(L"multi\nline");
    Log::programLogger().log(__FILE__, __LINE__, Log::Level::Max, broken);
    Log::programLogger().log(__FILE__, __LINE__, static_cast<Log::Level>(9), L"nine");
    tagged.log(__FILE__, __LINE__, Log::Level::Info, L"tagged %0", 1);
    const std::wstring path = finish();

    ASSERT_EQ(fileNames(folder).size(), 1u);
    const std::string bytes = readFile(path);
    EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0), 0);

    const auto lines = bodyLines(bytes);
    ASSERT_EQ(lines.size(), 13u) << bytes;
    const std::string starting = messageOf(lines[0], "INFO");
    const std::regex startLine("Starting log session " + pid + R"( at \d{4}-\d\d-\d\d, Time Zone = GMT[+-]\d{4})");
    EXPECT_TRUE(std::regex_match(starting, startLine)) << starting;
    char today[16];
    const time_t now = time(nullptr);
    strftime(today, sizeof(today), "%Y-%m-%d", localtime(&now));
    EXPECT_NE(starting.find(today), std::string::npos);
    EXPECT_EQ(lines[0].substr(lines[0].size() - starting.size() - 18, 2), std::string(today + 8, 2));  // day of month

    const std::string replaced = "a\xEF\xBF\xBD"
                                 "b\xEF\xBF\xBD \xF0\x9F\x98\x80 \xEF\xBF\xBD";
    EXPECT_EQ(messageOf(lines[1], "TRACE").substr(0, 24), "Logger created (logger@s");
    EXPECT_EQ(messageOf(lines[2], "TRACE"),
              "Run overlay client: id = 42, version = 26.00.02.1046, pipeHostName = host_pipe");
    EXPECT_EQ(messageOf(lines[3], "WARN"), "title " + replaced);
    EXPECT_EQ(messageOf(lines[4], "FATAL"), "multi");
    EXPECT_EQ(lines[5], "line");
    EXPECT_EQ(messageOf(lines[6], "MAX"), replaced);
    EXPECT_EQ(messageOf(lines[7], "DEBUG"), "nine");
    EXPECT_EQ(messageOf(lines[8], "TRACE").substr(0, 36), "[ipc] [pipe] Logger created (tagged@");
    EXPECT_EQ(messageOf(lines[9], "INFO"), "[ipc] [pipe] tagged 1");
    EXPECT_EQ(messageOf(lines[10], "INFO"), "Log session " + pid + " finished");
    EXPECT_EQ(lines[11], "");
    EXPECT_EQ(lines[12], "");
}

TEST_F(LogFiles, RotationEndsTheOldFileAndContinuesInANewOne)
{
    const std::uint64_t maxFileSize = 600;
    startSink(maxFileSize, 0);
    const int count = 40;
    for (int i = 0; i < count; ++i)
        LOG_INFO(L"record %0 of the rotation test", i);
    finish();

    // Files follow each other within milliseconds: each still gets a name of its own.
    const auto files = fileNames(folder);
    ASSERT_GE(files.size(), 4u);
    int next = 0;
    for (size_t f = 0; f < files.size(); ++f) {
        SCOPED_TRACE(f);
        const auto lines = bodyLines(readFile(file(files[f])));
        const std::string opening = messageOf(lines[0], "INFO");
        EXPECT_EQ(opening.rfind(std::string(f == 0 ? "Starting" : "Continue") + " log session " + pid + " at ", 0), 0u)
            << opening;
        const bool last = f + 1 == files.size();
        // opening line, records, closing line, blank line, what follows the last CR LF
        const size_t closing = lines.size() - 3;
        for (size_t l = 1; l < closing; ++l)
            EXPECT_EQ(messageOf(lines[l], "INFO"), "record " + std::to_string(next++) + " of the rotation test");
        EXPECT_EQ(messageOf(lines[closing], "INFO"),
                  "Log session " + pid + (last ? " finished" : " reached maximum allowed file size"));
        EXPECT_EQ(lines[closing + 1], "");
        if (!last) {
            // The record that crossed the limit is the last one of the old file. Characters are
            // counted as written (CR LF as one), plus up to three for the byte-order mark.
            size_t characters = header.size() - bom.size() - 2;
            for (size_t l = 0; l + 1 < closing; ++l)
                characters += lines[l].size() + 1;
            EXPECT_LE(characters, maxFileSize);
            EXPECT_GT(characters + lines[closing - 1].size() + 1 + 3, maxFileSize);
        }
    }
    EXPECT_EQ(next, count);
}

TEST_F(LogFiles, RetentionKeepsTheNewest15)
{
    for (int i = 0; i < 15; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"overlay_client_20200101_000000_%03d.log", i);
        writeFile(file(name), "old");
    }
    writeFile(file(L"other.log"), "not ours");
    writeFile(file(L"overlay_client_notes.txt"), "not ours");

    startSink(300, 15);
    const std::wstring current = sink->currentPath().substr(folder.size() + 1);
    auto files = fileNames(folder);
    ASSERT_EQ(files.size(), 15u);
    EXPECT_EQ(files.front(), L"overlay_client_20200101_000000_001.log");  // the oldest went
    EXPECT_EQ(files.back(), current);

    // Rotation keeps cleaning up: the old files go first, the newest stay.
    for (int i = 0; i < 60; ++i)
        LOG_INFO(L"filling record %0", i);
    files = fileNames(folder);
    EXPECT_EQ(files.size(), 15u);
    EXPECT_NE(utf16ToUtf8(files.front()).substr(0, 24), "overlay_client_20200101_");
    EXPECT_EQ(files.back(), sink->currentPath().substr(folder.size() + 1));
    EXPECT_EQ(fileNames(folder, false).size(), 17u);
}

TEST_F(LogFiles, UnusableFoldersGiveTheirErrorsAndNothingElseBreaks)
{
    auto memory = std::make_shared<LogTest::MemorySink>();
    core->rootLogger()->addSink(memory);
    writeFile(file(L"plain.txt"), "a file, not a folder");

    for (const std::wstring& unusable : {file(L"missing"), file(L"plain.txt"), file(L"bad|name")}) {
        Log::FileSink unusableSink(unusable);
        try {
            unusableSink.start();
            ADD_FAILURE() << "started in " << utf16ToUtf8(unusable);
        } catch (const Log::Errors::FailedToCreateLogFile& error) {
            EXPECT_STREQ(error.what(), "Failed to open log file in folder");
            EXPECT_EQ(error.path(), unusable);
        }
        EXPECT_EQ(unusableSink.currentPath(), L"");
    }
    try {
        Log::FileSink noFolder(L"");
        ADD_FAILURE() << "a sink without a folder";
    } catch (const Log::Errors::Failed& error) {
        EXPECT_STREQ(error.what(), "Failed to get absolute path to the log folder: ");
    }
    LOG_INFO(L"still logging");
    EXPECT_EQ(memory->messages(), std::vector<std::wstring>{L"still logging"});
    EXPECT_TRUE(core->running());
    EXPECT_EQ(fileNames(folder, false), std::vector<std::wstring>{L"plain.txt"});
}

TEST_F(LogFiles, AFileThatCannotBeOpenedAtRotationStopsLoggingQuietly)
{
    std::vector<std::string> errors;
    std::wstring errorPath;
    core->setErrorHandler([&](const Log::Errors::Base& error) {
        errors.push_back(error.what());
        if (auto* failed = dynamic_cast<const Log::Errors::FailedToCreateLogFile*>(&error))
            errorPath = failed->path();
    });
    startSink(400, 0);
    sink->setPrefix(L"missing\\overlay_client_");  // the next file's folder does not exist
    int written = 0;
    for (; written < 20 && core->running(); ++written)
        EXPECT_NO_THROW(LOG_INFO(L"record %0 before the failure", written));
    EXPECT_FALSE(core->running());
    EXPECT_NO_THROW(LOG_ERROR(L"after the failure"));
    EXPECT_EQ(errors, std::vector<std::string>{"Failed to open log file in folder"});
    EXPECT_EQ(errorPath, folder);

    const std::string bytes = readFile(finish());
    EXPECT_NE(bytes.find("record " + std::to_string(written - 1) + " before the failure"), std::string::npos);
    EXPECT_NE(bytes.find("reached maximum allowed file size"), std::string::npos);
    EXPECT_EQ(bytes.find("after the failure"), std::string::npos);
    EXPECT_EQ(fileNames(folder).size(), 1u);
}

}  // namespace
