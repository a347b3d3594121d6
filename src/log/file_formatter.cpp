#include <ctime>
#include <cwchar>

#include "log/message_format.h"
#include "log/sink.h"

namespace Log {

namespace {

const std::uint64_t ticksPerSecond = 10000000ULL;
const std::uint64_t ticksPerMillisecond = 10000ULL;

void appendPadded(std::wstring& out, const wchar_t* text, std::size_t width)
{
    const std::size_t length = std::wcslen(text);
    out.append(text, length);
    if (length < width)
        out.append(width - length, L' ');
}

void appendTwoDigits(std::wstring& out, unsigned value)
{
    out += static_cast<wchar_t>(L'0' + value / 10 % 10);
    out += static_cast<wchar_t>(L'0' + value % 10);
}

void appendThreeDigits(std::wstring& out, unsigned value)
{
    out += static_cast<wchar_t>(L'0' + value / 100 % 10);
    out += static_cast<wchar_t>(L'0' + value / 10 % 10);
    out += static_cast<wchar_t>(L'0' + value % 10);
}

}  // namespace

bool toLocalTime(std::uint64_t ticks, struct tm& local) noexcept
{
    const __time64_t seconds = static_cast<__time64_t>(ticks / ticksPerSecond);
    return _localtime64_s(&local, &seconds) == 0;
}

std::wstring dateText(std::uint64_t ticks)
{
    struct tm local = {};
    if (!toLocalTime(ticks, local))
        return L"(unknown date)";
    wchar_t date[32];
    if (wcsftime(date, 32, L"%Y-%m-%d", &local) == 0)
        return L"(unknown date)";
    // The offset from UTC as +hhmm / -hhmm: the local wall-clock time read as if it were UTC,
    // minus the real instant.
    struct tm copy = local;
    const __time64_t seconds = static_cast<__time64_t>(ticks / ticksPerSecond);
    const long long offset = static_cast<long long>(_mkgmtime64(&copy)) - static_cast<long long>(seconds);
    const long long minutes = (offset < 0 ? -offset : offset) / 60;
    std::wstring text = std::wstring(date) + L", Time Zone = GMT";
    text += offset < 0 ? L'-' : L'+';
    appendTwoDigits(text, static_cast<unsigned>(minutes / 60 % 100));
    appendTwoDigits(text, static_cast<unsigned>(minutes % 60));
    return text;
}

std::wstring FileFormatter::format(const Record& record, const TagTexts& tags)
{
    std::wstring line;
    line.reserve(40 + record.message.size());
    line += L' ';
    appendPadded(line, levelName(record.level), 5);

    line += L" | ";
    const std::size_t threadStart = line.size();
    detail::appendUnsigned(line, record.threadId);
    const std::size_t threadLength = line.size() - threadStart;
    if (threadLength < 6)
        line.append(6 - threadLength, L' ');

    line += L" | ";
    const long long second = static_cast<long long>(record.time / ticksPerSecond);
    if (second != cachedSecond_) {
        cachedSecond_ = second;
        cachedTime_.clear();
        struct tm local = {};
        wchar_t text[32];
        if (toLocalTime(record.time, local) && wcsftime(text, 32, L"%d %H:%M:%S.", &local) != 0)
            cachedTime_ = text;
    }
    if (cachedTime_.empty()) {
        line += L"(unknown)";
    } else {
        line += cachedTime_;
        appendThreeDigits(line, static_cast<unsigned>(record.time / ticksPerMillisecond % 1000));
    }

    line += L" | ";
    for (const std::wstring& tag : tags) {
        line += L'[';
        line += tag;
        line += L"] ";
    }
    line += record.message;
    line += L'\n';
    return line;
}

}  // namespace Log
