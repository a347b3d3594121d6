#include "log_test_support.h"

#include <windows.h>

#include <share.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "err/text_conversion.h"

namespace LogTest {

TempFolder::TempFolder()
{
    // Process ids come back soon under Wine: a counter and the clock make the name unique.
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    do {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        path_ = std::wstring(temp) + L"log_tests_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(++counter) + L"_" + std::to_wstring(now.QuadPart);
    } while (!CreateDirectoryW(path_.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
}

TempFolder::~TempFolder()
{
    for (const std::wstring& name : fileNames(path_)) {
        SetFileAttributesW(file(name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file(name).c_str());
    }
    RemoveDirectoryW(path_.c_str());
}

std::string readFile(const std::wstring& path)
{
    std::string bytes;
    FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
    if (file == nullptr)
        return bytes;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
        bytes.append(buffer, n);
    fclose(file);
    return bytes;
}

void writeFile(const std::wstring& path, const std::string& bytes)
{
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::vector<std::wstring> fileNames(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::string utf8(const std::wstring& text)
{
    return Err::utf16ToUtf8(text);
}

void MemorySink::write(const Log::Record& record, const Log::TagTexts& tags)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    records_.push_back(record);
    tags_.push_back(tags);
}

std::vector<std::wstring> MemorySink::messages() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::wstring> messages;
    for (const auto& record : records_)
        messages.push_back(record.message);
    return messages;
}

std::vector<Log::Record> MemorySink::records() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return records_;
}

std::vector<Log::TagTexts> MemorySink::tags() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return tags_;
}

}  // namespace LogTest
