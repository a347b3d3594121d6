#include "log/sinks/file_sink.h"

#include <windows.h>

#include <errno.h>
#include <io.h>
#include <share.h>

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

#include "err/text_conversion.h"
#include "log/errors.h"
#include "log/message_format.h"
#include "win/scope_guard.h"

namespace Log {

namespace {

const wchar_t header[] = L" Level | Thread | Day and time    | Message\n"
                         L"--------------------------------------------\n";
const std::size_t headerLength = sizeof(header) / sizeof(header[0]) - 1;

const std::uint64_t ticksPerMillisecond = 10000ULL;
// How many later milliseconds a new file name may take when the natural one is taken.
const int nameAttempts = 1000;

std::wstring format1(const wchar_t* format, const std::wstring& argument)
{
    return formatMessage(format, &argument, 1);
}

std::wstring format2(const wchar_t* format, const std::wstring& first, const std::wstring& second)
{
    const std::wstring arguments[] = {first, second};
    return formatMessage(format, arguments, 2);
}

bool endsWithNoCase(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && _wcsicmp(text.c_str() + (text.size() - end.size()), end.c_str()) == 0;
}

bool startsWithNoCase(const std::wstring& text, const std::wstring& start)
{
    return text.size() >= start.size() && _wcsnicmp(text.c_str(), start.c_str(), start.size()) == 0;
}

bool fileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// "yyyymmdd_hhmmss_mmm" of milliseconds since 1970, local time.
std::wstring nameTime(std::uint64_t milliseconds)
{
    struct tm local = {};
    wchar_t text[32];
    if (!toLocalTime(milliseconds * ticksPerMillisecond, local) || wcsftime(text, 32, L"%Y%m%d_%H%M%S_", &local) == 0)
        return L"00000000_000000_";
    std::wstring result = text;
    const auto ms = static_cast<unsigned>(milliseconds % 1000);
    result += static_cast<wchar_t>(L'0' + ms / 100);
    result += static_cast<wchar_t>(L'0' + ms / 10 % 10);
    result += static_cast<wchar_t>(L'0' + ms % 10);
    return result;
}

}  // namespace

namespace Private {

LogFile::LogFile(std::wstring path) : written(0), path_(std::move(path)), file_(nullptr)
{
    file_ = _wfsopen(path_.c_str(), L"wt, ccs=UTF-8", _SH_DENYWR);
    if (file_ == nullptr) {
        const int error = errno;
        throw Errors::FailedToCreateLogFile(
            Err::utf16ToUtf8(format2(L"Failed to open file %0: errno = %1", path_, std::to_wstring(error))), path_);
    }
    const long long size = _filelengthi64(_fileno(file_));
    written = size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

LogFile::~LogFile()
{
    if (file_ != nullptr)
        fclose(file_);
}

}  // namespace Private

FileSink::FileSink(const std::wstring& folder) : runId_(processId()), formatter_(std::make_shared<FileFormatter>())
{
    const DWORD needed = folder.empty() ? 0 : GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length = needed == 0 ? 0 : GetFullPathNameW(folder.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        throw Errors::Failed("Failed to get absolute path to the log folder: " + Err::utf16ToUtf8(folder));
    full.resize(length);
    // No separator at the end, except for a drive's root ("C:\").
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    folder_ = full;
    name_ = L"File(\"" + folder_ + L"\")";
}

FileSink::~FileSink()
{
    try {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (file_)
            writeStatus(format1(L"Log session %0 finished\n", std::to_wstring(runId_)));
    } catch (...) {
    }
}

std::wstring FileSink::name() const
{
    return name_;
}

void FileSink::setPrefix(const std::wstring& prefix)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    prefix_ = prefix;
}

void FileSink::setExtension(const std::wstring& extension)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    extension_ = extension;
}

std::wstring FileSink::currentPath() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return file_ ? file_->path() : std::wstring();
}

void FileSink::flush()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (file_)
        fflush(file_->file());
}

void FileSink::start()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (opened_)
        return;
    open(false);
    if (maxFiles_ != 0)
        cleanUp();
    opened_ = true;
}

void FileSink::write(const Record& record, const TagTexts& tags)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!opened_ || !file_)
        return;
    writeText(formatter_->format(record, tags));
    if (flushEachRecord_)
        fflush(file_->file());
    const std::uint64_t maxFileSize = maxFileSize_;
    if (maxFileSize != 0 && file_->written > maxFileSize) {
        open(true);
        if (maxFiles_ != 0)
            cleanUp();
    }
}

void FileSink::writeText(std::wstring text)
{
    // A lone surrogate cannot be written as UTF-8; it becomes U+FFFD instead of depending on
    // what the runtime makes of it.
    Err::replaceLoneSurrogates(text);
    fputws(text.c_str(), file_->file());
    file_->written += text.size();
}

void FileSink::writeStatus(const std::wstring& message)
{
    writeText(formatter_->format(Record::make(__FILE__, __LINE__, Level::Info, message), TagTexts()));
}

// A name no other file has: a name is never used twice, even when files follow each other
// within one millisecond, and an existing file is never overwritten.
std::wstring FileSink::newFilePath()
{
    std::uint64_t milliseconds = std::max(currentTime() / ticksPerMillisecond, lastNameTime_ + 1);
    std::wstring path;
    for (int attempt = 0; attempt < nameAttempts; ++attempt, ++milliseconds) {
        path = pathInFolder(prefix_ + nameTime(milliseconds) + extension_);
        if (!fileExists(path))
            break;
    }
    lastNameTime_ = milliseconds;
    return path;
}

void FileSink::open(bool rotate)
{
    if (rotate && file_)
        writeStatus(format1(L"Log session %0 reached maximum allowed file size\n", std::to_wstring(runId_)));

    try {
        file_ = std::make_shared<Private::LogFile>(newFilePath());
    } catch (const Errors::Base&) {
        throw Errors::FailedToCreateLogFile("Failed to open log file in folder", folder_);
    }

    fputws(header, file_->file());
    file_->written += headerLength;
    const std::wstring date = dateText(currentTime());
    const wchar_t* status = firstFile_ ? L"Starting log session %0 at %1" : L"Continue log session %0 at %1";
    writeStatus(format2(status, std::to_wstring(runId_), date));
    firstFile_ = false;
    fflush(file_->file());
}

std::wstring FileSink::pathInFolder(const std::wstring& name) const
{
    const bool separated = !folder_.empty() && (folder_.back() == L'\\' || folder_.back() == L'/');
    return separated ? folder_ + name : folder_ + L"\\" + name;
}

void FileSink::cleanUp()
{
    const std::uint32_t maxFiles = maxFiles_;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pathInFolder(prefix_ + L"*" + extension_).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> names;
    {
        const auto close = Win::scopeExit([search] { FindClose(search); });
        do {
            const std::wstring name = found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && startsWithNoCase(name, prefix_) &&
                endsWithNoCase(name, extension_))
                names.push_back(name);
        } while (FindNextFileW(search, &found));
    }

    if (maxFiles == 0 || names.size() <= maxFiles)
        return;
    std::sort(names.begin(), names.end());
    const std::wstring current = file_ ? file_->path() : std::wstring();
    for (std::size_t i = 0; i < names.size() - maxFiles; ++i) {
        const std::wstring path = pathInFolder(names[i]);
        if (_wcsicmp(path.c_str(), current.c_str()) != 0)
            DeleteFileW(path.c_str());  // a file that cannot be deleted is left; the next is tried
    }
}

}  // namespace Log
