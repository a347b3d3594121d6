#include <windows.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "err/text_conversion.h"
#include "log_test_support.h"

namespace {

using LogTest::fileNames;
using LogTest::LogFixture;
using LogTest::readFile;
using LogTest::splitLines;
using LogTest::TempFolder;
using LogTest::utf8;

const std::string bom = "\xEF\xBB\xBF";
const std::string headerBytes =
    " Level | Thread | Day and time    | Message\r\n--------------------------------------------\r\n";
const std::regex fileNamePattern(R"(overlay_client_\d{8}_\d{6}_\d{3}\.log)");
const std::regex timeField(R"(\d\d \d\d:\d\d:\d\d\.\d\d\d)");

std::string padded(std::string text, size_t width)
{
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

// " LEVEL | thread | " of a line written by this thread.
std::string linePrefix(const char* level)
{
    return " " + padded(level, 5) + " | " + padded(std::to_string(GetCurrentThreadId()), 6) + " | ";
}

// Checks one line: level and thread fields, a well-formed time, and returns the message.
std::string messageOf(const std::string& line, const char* level)
{
    const std::string prefix = linePrefix(level);
    EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line;
    EXPECT_TRUE(std::regex_match(line.substr(prefix.size(), 15), timeField)) << line;
    EXPECT_EQ(line.substr(prefix.size() + 15, 3), " | ") << line;
    return line.size() > prefix.size() + 18 ? line.substr(prefix.size() + 18) : std::string();
}

std::string pid()
{
    return std::to_string(GetCurrentProcessId());
}

// The program's configuration, with the given size limit and number of files.
std::shared_ptr<Log::FileSink> startSink(const std::wstring& folder, std::uint64_t maxFileSize, std::uint32_t maxFiles)
{
    auto sink = std::make_shared<Log::FileSink>(folder);
    sink->setPrefix(L"overlay_client_");
    sink->setExtension(L".log");
    sink->setMaxFiles(maxFiles);
    sink->setMaxFileSize(maxFileSize);
    sink->setFlushEachRecord(true);
    sink->start();
    Log::Core::instance()->rootLogger()->addSink(sink);
    return sink;
}

std::vector<std::wstring> logFiles(const std::wstring& folder)
{
    std::vector<std::wstring> files;
    for (const std::wstring& name : fileNames(folder)) {
        if (std::regex_match(utf8(name), fileNamePattern))
            files.push_back(name);
    }
    return files;
}

TEST_F(LogFixture, FileHeaderAndLinesByteForByte)
{
    TempFolder folder;
    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    core->setThreshold(Log::Level::Max);
    auto sink = startSink(folder.path(), 0x200000, 15);
    sink->setMinLevel(Log::Level::Max);
    EXPECT_EQ(sink->name(), L"File(\"" + folder.path() + L"\")");
    Log::Logger tagged("tagged", __FILE__, __LINE__, {L"ipc"});

    LOG_TRACE(L"Run overlay client: id = %1, version = %2, pipeHostName = %3", 42, "26.00.02.1046", "host_pipe");
    LOG_DEBUG(L"Width=%0, Height=%1", 1280, 720);
    LOG_INFO(L"Create RenderOverlay: %0", reinterpret_cast<void*>(0xABCDEF12));
    LOG_WARN(L"Overlay already running");
    LOG_ERROR(L"Failed to initialize overlay: %1", "[Error.Base.Failed] mandatory hooks were not attached: ");
    LOG_FATAL(L"multi\nline");
    Log::programLogger().log(__FILE__, __LINE__, Log::Level::Max, L"max");
    Log::programLogger().log(__FILE__, __LINE__, static_cast<Log::Level>(9), L"nine");
    tagged.log(__FILE__, __LINE__, Log::Level::Info, L"tagged %0", 1);
    const std::wstring path = sink->currentPath();
    Log::Core::release();
    sink.reset();  // the last reference: "finished"

    ASSERT_EQ(logFiles(folder.path()).size(), 1u);
    const std::string bytes = readFile(path);
    if (const char* sample = std::getenv("LOG_TESTS_SAMPLE"))
        CopyFileW(path.c_str(), Err::utf8ToUtf16(sample).c_str(), FALSE);
    ASSERT_EQ(bytes.substr(0, bom.size() + headerBytes.size()), bom + headerBytes);

    const auto lines = splitLines(bytes.substr(bom.size() + headerBytes.size()));
    ASSERT_EQ(lines.size(), 16u) << bytes;
    const std::string starting = messageOf(lines[0], "INFO");
    EXPECT_TRUE(std::regex_match(starting, std::regex("Starting log session " + pid() +
                                                      R"( at \d{4}-\d\d-\d\d, Time Zone = GMT[+-]\d{4})")))
        << starting;
    char today[16];
    const time_t now = time(nullptr);
    strftime(today, sizeof(today), "%Y-%m-%d", localtime(&now));
    EXPECT_NE(starting.find(today), std::string::npos);
    EXPECT_EQ(lines[0].substr(linePrefix("INFO").size(), 2), std::string(today + 8, 2));  // day of month

    EXPECT_EQ(messageOf(lines[1], "TRACE").substr(0, 24), "Logger created (logger@s");
    EXPECT_EQ(messageOf(lines[2], "TRACE"), "Run overlay client: id = 42, version = 26.00.02.1046, pipeHostName = host_pipe");
    EXPECT_EQ(messageOf(lines[3], "DEBUG"), "Width=1280, Height=720");
    EXPECT_EQ(messageOf(lines[4], "INFO"), "Create RenderOverlay: 00000000ABCDEF12");
    EXPECT_EQ(messageOf(lines[5], "WARN"), "Overlay already running");
    EXPECT_EQ(messageOf(lines[6], "ERROR"), "Failed to initialize overlay: [Error.Base.Failed] mandatory hooks were not attached: ");
    EXPECT_EQ(messageOf(lines[7], "FATAL"), "multi");
    EXPECT_EQ(lines[8], "line");
    EXPECT_EQ(messageOf(lines[9], "MAX"), "max");
    EXPECT_EQ(messageOf(lines[10], "DEBUG"), "nine");
    EXPECT_EQ(messageOf(lines[11], "TRACE").substr(0, 29), "[ipc] Logger created (tagged@");
    EXPECT_EQ(messageOf(lines[12], "INFO"), "[ipc] tagged 1");
    EXPECT_EQ(messageOf(lines[13], "INFO"), "Log session " + pid() + " finished");
    EXPECT_EQ(lines[14], "");
    EXPECT_EQ(lines[15], "");
}

TEST_F(LogFixture, RotationEndsTheOldFileAndContinuesInANewOne)
{
    TempFolder folder;
    Log::Core::initialize(Log::Mode::Synchronous);
    const std::uint64_t maxFileSize = 600;
    auto sink = startSink(folder.path(), maxFileSize, 0);
    const int count = 40;
    for (int i = 0; i < count; ++i)
        LOG_INFO(L"record %0 of the rotation test", i);
    Log::Core::release();
    sink.reset();

    // Files follow each other within milliseconds: each still gets a name of its own.
    const auto files = logFiles(folder.path());
    ASSERT_GE(files.size(), 4u);
    int next = 0;
    for (size_t f = 0; f < files.size(); ++f) {
        const std::string bytes = readFile(folder.file(files[f]));
        ASSERT_EQ(bytes.substr(0, bom.size() + headerBytes.size()), bom + headerBytes) << f;
        const std::string body = bytes.substr(bom.size() + headerBytes.size());
        const auto lines = splitLines(body);
        const std::string opening = messageOf(lines[0], "INFO");
        EXPECT_EQ(opening.rfind(std::string(f == 0 ? "Starting" : "Continue") + " log session " + pid() + " at ", 0), 0u)
            << opening;
        const bool last = f + 1 == files.size();
        // opening line, records, closing line, blank line, what follows the last CR LF
        const size_t closingIndex = lines.size() - 3;
        for (size_t l = 1; l < closingIndex; ++l)
            EXPECT_EQ(messageOf(lines[l], "INFO"), "record " + std::to_string(next++) + " of the rotation test");
        EXPECT_EQ(messageOf(lines[closingIndex], "INFO"),
                  "Log session " + pid() + (last ? " finished" : " reached maximum allowed file size"));
        EXPECT_EQ(lines[closingIndex + 1], "");
        if (!last) {
            // The record that crossed the limit is the last one of the old file. Characters are
            // counted as written (CR LF as one), plus up to three for the byte-order mark.
            size_t characters = headerBytes.size() - 2;
            for (size_t l = 0; l + 1 < closingIndex; ++l)
                characters += lines[l].size() + 1;
            EXPECT_LE(characters, maxFileSize);
            EXPECT_GT(characters + lines[closingIndex - 1].size() + 1 + 3, maxFileSize);
        }
    }
    EXPECT_EQ(next, count);
}

TEST_F(LogFixture, RetentionKeepsTheNewestFiles)
{
    TempFolder folder;
    for (int i = 0; i < 15; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"overlay_client_20200101_000000_%03d.log", i);
        LogTest::writeFile(folder.file(name), "old");
    }
    LogTest::writeFile(folder.file(L"other.log"), "not ours");
    LogTest::writeFile(folder.file(L"overlay_client_notes.txt"), "not ours");

    Log::Core::initialize(Log::Mode::Synchronous);
    auto sink = startSink(folder.path(), 300, 15);
    auto files = logFiles(folder.path());
    ASSERT_EQ(files.size(), 15u);
    EXPECT_EQ(files.front(), L"overlay_client_20200101_000000_001.log");  // the oldest went
    EXPECT_EQ(files.back(), sink->currentPath().substr(folder.path().size() + 1));

    // Rotation keeps cleaning up: the old files go first, the newest stay.
    for (int i = 0; i < 60; ++i)
        LOG_INFO(L"filling record %0", i);
    files = logFiles(folder.path());
    EXPECT_EQ(files.size(), 15u);
    EXPECT_NE(utf8(files.front()).substr(0, 24), "overlay_client_20200101_");
    EXPECT_EQ(files.back(), sink->currentPath().substr(folder.path().size() + 1));
    EXPECT_EQ(fileNames(folder.path()).size(), 17u);
    Log::Core::release();
}

TEST_F(LogFixture, UnusableFoldersGiveTheirErrorsAndNothingElseBreaks)
{
    TempFolder folder;
    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    auto memory = std::make_shared<LogTest::MemorySink>();
    core->rootLogger()->addSink(memory);
    LogTest::writeFile(folder.file(L"plain.txt"), "a file, not a folder");

    for (const std::wstring& unusable : {folder.file(L"missing"), folder.file(L"plain.txt"), folder.file(L"bad|name")}) {
        Log::FileSink sink(unusable);
        EXPECT_EQ(sink.folder(), unusable);
        try {
            sink.start();
            ADD_FAILURE() << "started in " << utf8(unusable);
        } catch (const Log::Errors::FailedToCreateLogFile& error) {
            EXPECT_STREQ(error.what(), "Failed to open log file in folder");
            EXPECT_EQ(error.path(), unusable);
        }
        EXPECT_EQ(sink.currentPath(), L"");
    }
    try {
        Log::FileSink sink(L"");
        ADD_FAILURE() << "a sink without a folder";
    } catch (const Log::Errors::Failed& error) {
        EXPECT_STREQ(error.what(), "Failed to get absolute path to the log folder: ");
    }
    LOG_INFO(L"still logging");
    EXPECT_EQ(memory->messages(), std::vector<std::wstring>{L"still logging"});
    EXPECT_TRUE(core->running());
    EXPECT_EQ(fileNames(folder.path()), std::vector<std::wstring>{L"plain.txt"});
}

TEST_F(LogFixture, LoneSurrogatesDoNotCorruptTheFile)
{
    TempFolder folder;
    Log::Core::initialize(Log::Mode::Synchronous);
    auto sink = startSink(folder.path(), 0, 0);
    const wchar_t broken[] = {L'a', 0xD800, L'b', 0xDC00, L' ', 0xD83D, 0xDE00, L' ', 0xDBFF, 0};
    LOG_WARN(L"title %0", broken);
    LOG_WARN(broken);
    LOG_INFO(L"next line");
    const std::wstring path = sink->currentPath();
    Log::Core::release();
    sink.reset();

    const std::string bytes = readFile(path);
    const std::string text = bytes.substr(bom.size());
    EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0), 0);
    const auto lines = splitLines(text.substr(headerBytes.size()));
    ASSERT_GE(lines.size(), 4u);
    const std::string replaced = "a\xEF\xBF\xBD" "b\xEF\xBF\xBD \xF0\x9F\x98\x80 \xEF\xBF\xBD";
    EXPECT_EQ(messageOf(lines[1], "WARN"), "title " + replaced);
    EXPECT_EQ(messageOf(lines[2], "WARN"), replaced);
    EXPECT_EQ(messageOf(lines[3], "INFO"), "next line");
}

TEST_F(LogFixture, AFileThatCannotBeOpenedAtRotationStopsLoggingQuietly)
{
    TempFolder folder;
    const auto core = Log::Core::initialize(Log::Mode::Synchronous);
    std::vector<std::string> errors;
    std::wstring errorPath;
    core->setErrorHandler([&](const Log::Errors::Base& error) {
        errors.push_back(error.what());
        if (auto* file = dynamic_cast<const Log::Errors::FailedToCreateLogFile*>(&error))
            errorPath = file->path();
    });
    auto sink = startSink(folder.path(), 400, 0);
    sink->setPrefix(L"missing\\overlay_client_");  // the next file's folder does not exist
    int written = 0;
    for (; written < 20 && core->running(); ++written)
        EXPECT_NO_THROW(LOG_INFO(L"record %0 before the failure", written));
    EXPECT_FALSE(core->running());
    EXPECT_NO_THROW(LOG_ERROR(L"after the failure"));
    EXPECT_EQ(errors, std::vector<std::string>{"Failed to open log file in folder"});
    EXPECT_EQ(errorPath, folder.path());

    const std::wstring path = sink->currentPath();
    Log::Core::release();
    sink.reset();
    const std::string bytes = readFile(path);
    EXPECT_NE(bytes.find("record " + std::to_string(written - 1) + " before the failure"), std::string::npos);
    EXPECT_NE(bytes.find("reached maximum allowed file size"), std::string::npos);
    EXPECT_EQ(bytes.find("after the failure"), std::string::npos);
    EXPECT_EQ(logFiles(folder.path()).size(), 1u);
}

}  // namespace
