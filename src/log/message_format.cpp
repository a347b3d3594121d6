#include "log/message_format.h"

#include <cstring>
#include <cwchar>

#include "err/text_conversion.h"

namespace Log {

namespace {

const std::size_t placeholderCount = 100;

bool isDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

// Reads the placeholder at `position` (a "%"); returns its number and moves `end` past it, or
// returns -1 when the "%" is ordinary text.
int readPlaceholder(std::wstring_view format, std::size_t position, std::size_t& end)
{
    if (position + 1 >= format.size() || !isDigit(format[position + 1]))
        return -1;
    int number = format[position + 1] - L'0';
    end = position + 2;
    if (end < format.size() && isDigit(format[end])) {
        number = number * 10 + (format[end] - L'0');
        ++end;
    }
    return number;
}

}  // namespace

std::wstring formatMessage(std::wstring_view format, const std::wstring* arguments, std::size_t count)
{
    if (count == 0)
        return std::wstring(format);

    bool used[placeholderCount] = {};
    for (std::size_t i = format.find(L'%'); i != std::wstring_view::npos; i = format.find(L'%', i)) {
        std::size_t end = i + 1;
        const int number = readPlaceholder(format, i, end);
        if (number >= 0)
            used[number] = true;
        i = end;
    }
    std::size_t rank[placeholderCount];
    std::size_t distinct = 0;
    for (std::size_t number = 0; number < placeholderCount; ++number) {
        rank[number] = distinct;
        if (used[number])
            ++distinct;
    }

    std::wstring message;
    message.reserve(format.size() + 16 * count);
    std::size_t copied = 0;
    for (std::size_t i = format.find(L'%'); i != std::wstring_view::npos; i = format.find(L'%', i)) {
        std::size_t end = i + 1;
        const int number = readPlaceholder(format, i, end);
        if (number >= 0 && rank[number] < count) {
            message.append(format.substr(copied, i - copied));
            message += arguments[rank[number]];
            copied = end;
        }
        i = end;
    }
    message.append(format.substr(copied));
    return message;
}

namespace detail {

void appendUtf8(std::wstring& out, const char* text)
{
    if (text == nullptr)
        out += L"(null)";
    else
        Err::appendUtf8AsUtf16(out, std::string_view(text, std::strlen(text)));
}

void appendUtf8View(std::wstring& out, std::string_view text)
{
    Err::appendUtf8AsUtf16(out, text);
}

void appendWide(std::wstring& out, const wchar_t* text)
{
    out += text != nullptr ? text : L"(null)";
}

void appendUnsigned(std::wstring& out, unsigned long long value)
{
    wchar_t digits[24];
    wchar_t* p = digits + 24;
    do {
        *--p = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(p, digits + 24);
}

void appendSigned(std::wstring& out, long long value)
{
    if (value < 0) {
        out += L'-';
        appendUnsigned(out, 0ULL - static_cast<unsigned long long>(value));
    } else {
        appendUnsigned(out, static_cast<unsigned long long>(value));
    }
}

void appendPointer(std::wstring& out, const void* pointer)
{
    static const wchar_t hex[] = L"0123456789ABCDEF";
    auto value = static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer));
    wchar_t digits[2 * sizeof(void*)];
    for (std::size_t i = sizeof(digits) / sizeof(digits[0]); i-- > 0;) {
        digits[i] = hex[value & 0xF];
        value >>= 4;
    }
    out.append(digits, sizeof(digits) / sizeof(digits[0]));
}

}  // namespace detail
}  // namespace Log
