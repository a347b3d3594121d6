// Cost of logging: a call at a disabled level against a bare atomic load, and synchronous records
// per second into a log file against a plain fputws loop writing the same lines.
#include <windows.h>

#include <share.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "common/bench_util.h"
#include "log/log.h"

namespace {

using Bench::bestOf;

std::wstring tempFolder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"bench_log_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void removeFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

std::atomic<std::uint64_t> bareSwitch{2};
volatile std::uint64_t sideEffect = 0;

void disabledLevel()
{
    const int calls = 50000000;
    Log::Core::initialize(Log::Mode::Synchronous);  // threshold DEBUG: TRACE is disabled
    const double logged = bestOf(5, [&] {
        for (int i = 0; i < calls; ++i)
            LOG_TRACE(L"Disabled record %0", i);
    });
    std::uint64_t hits = 0;
    const double bare = bestOf(5, [&] {
        // The same test as a disabled call, without a branch of its own (a taken branch per
        // iteration would cost the baseline a cycle that the logging loop does not pay).
        for (int i = 0; i < calls; ++i)
            hits += bareSwitch.load(std::memory_order_relaxed) <= 1 ? 1 : 0;
    });
    sideEffect = hits;
    Log::Core::release();
    const double loggedNs = logged / calls * 1e9;
    const double bareNs = bare / calls * 1e9;
    std::printf("disabled level: LOG_TRACE %.2f ns/call, bare atomic load %.2f ns; ratio %.2f (target <= 2)\n",
                loggedNs, bareNs, loggedNs / bareNs);
}

// The lines a FileSink writes for the records below.
std::vector<std::wstring> formattedLines(int count)
{
    Log::FileFormatter formatter;
    std::vector<std::wstring> lines;
    for (int i = 0; i < count; ++i) {
        const std::wstring arguments[] = {std::to_wstring(i), std::to_wstring(i * 3), L"benchmark"};
        lines.push_back(formatter.format(
            Log::Record::make(__FILE__, __LINE__, Log::Level::Info,
                              Log::formatMessage(L"Record %0 of the run: value = %1, name = %2", arguments, 3)),
            Log::TagTexts()));
    }
    return lines;
}

void enabledSynchronous(const std::wstring& folder, bool flushEachRecord, int records)
{
    const auto lines = formattedLines(records);
    const double raw = bestOf(3, [&] {
        const std::wstring path = folder + L"\\raw.log";
        FILE* file = _wfsopen(path.c_str(), L"wt, ccs=UTF-8", _SH_DENYWR);
        if (file == nullptr)
            return;
        for (const std::wstring& line : lines) {
            fputws(line.c_str(), file);
            if (flushEachRecord)
                fflush(file);
        }
        fclose(file);
        DeleteFileW(path.c_str());
    });

    const double logged = bestOf(3, [&] {
        const auto core = Log::Core::initialize(Log::Mode::Synchronous);
        auto sink = std::make_shared<Log::FileSink>(folder);
        sink->setPrefix(L"overlay_client_");
        sink->setMaxFileSize(0);
        sink->setFlushEachRecord(flushEachRecord);
        sink->start();
        core->rootLogger()->addSink(sink);
        for (int i = 0; i < records; ++i)
            LOG_INFO(L"Record %0 of the run: value = %1, name = %2", i, i * 3, "benchmark");
        Log::Core::release();
        sink.reset();
        removeFolder(folder);
        CreateDirectoryW(folder.c_str(), nullptr);
    });

    std::printf("synchronous, flushEachRecord %-3s: logger %8.0f records/s, fputws loop %8.0f lines/s; "
                "ratio %.2f (target <= 2)\n",
                flushEachRecord ? "on" : "off", records / logged, records / raw, logged / raw);
}

}  // namespace

int main()
{
    disabledLevel();
    const std::wstring folder = tempFolder();
    enabledSynchronous(folder, true, 20000);
    enabledSynchronous(folder, false, 100000);
    removeFolder(folder);
    return 0;
}
