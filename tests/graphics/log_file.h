#pragma once
// A log written into a file, read back line by line: what a user would send in.

#include "log/log.h"
#include "log/sinks/file_sink.h"

#include <windows.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace GraphicsTest {

// A log core writing into a file in a fresh temporary folder, for the object's life.
class LogFile
{
public:
    LogFile()
    {
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        folder_ = std::string(base) + "graphics-log-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        Log::Core::release();
        auto sink = std::make_shared<Log::FileSink>(std::wstring(folder_.begin(), folder_.end()));
        sink->setFlushEachRecord(true);
        sink->start();
        Log::Core::initialize(Log::Mode::Synchronous)->rootLogger()->addSink(sink);
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder_ + "\\*.log").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            file_ = folder_ + "\\" + found.cFileName;
            FindClose(search);
        }
    }

    ~LogFile()
    {
        Log::Core::release();
        DeleteFileA(file_.c_str());
        RemoveDirectoryA(folder_.c_str());
    }

    using Line = std::pair<std::string, std::string>;  // level, message

    // The lines of the last dump, from its start line to its end line, read from
    // " LEVEL | thread | time | message".
    std::vector<Line> lastDump(const std::string& startLine, const std::string& endLine) const
    {
        std::vector<Line> lines;
        std::ifstream in(file_, std::ios::binary);
        std::string text;
        bool inside = false;
        while (std::getline(in, text)) {
            size_t at = text.find(" | ");
            at = at == std::string::npos ? at : text.find(" | ", text.find(" | ", at + 3) + 3);
            const size_t level = text.find_first_not_of(" \xEF\xBB\xBF");
            const std::string message = at == std::string::npos ? "" : text.substr(at + 3, text.find('\r') - at - 3);
            if (message == startLine) {
                lines.clear();
                inside = true;
            }
            if (inside) {
                lines.emplace_back(text.substr(level, text.find(' ', level) - level), message);
            }
            inside = inside && message != endLine;
        }
        return lines;
    }

private:
    std::string folder_;
    std::string file_;
};

}  // namespace GraphicsTest
