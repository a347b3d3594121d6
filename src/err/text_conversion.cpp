#include "err/text_conversion.h"

#include <windows.h>

#include <climits>

namespace Err {

const char* const invalidStringUtf8 = "(invalid string)";
const wchar_t* const invalidStringUtf16 = L"(invalid string)";

void appendUtf8AsUtf16(std::wstring& out, std::string_view text)
{
    if (text.empty())
        return;
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        out += invalidStringUtf16;
        return;
    }
    const int inLength = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), inLength, nullptr, 0);
    if (needed <= 0) {
        out += invalidStringUtf16;
        return;
    }
    const size_t start = out.size();
    out.resize(start + static_cast<size_t>(needed));
    const int written = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), inLength, &out[start], needed);
    if (written != needed) {
        out.resize(start);
        out += invalidStringUtf16;
    }
}

std::wstring utf8ToUtf16(std::string_view text)
{
    std::wstring out;
    appendUtf8AsUtf16(out, text);
    return out;
}

std::string utf16ToUtf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    if (text.size() > static_cast<size_t>(INT_MAX))
        return invalidStringUtf8;
    const int inLength = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return invalidStringUtf8;
    std::string out(static_cast<size_t>(needed), '\0');
    const int written =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), inLength, &out[0], needed, nullptr, nullptr);
    if (written != needed)
        return invalidStringUtf8;
    return out;
}

bool replaceLoneSurrogates(std::wstring& text)
{
    bool replaced = false;
    const size_t size = text.size();
    for (size_t i = 0; i < size; ++i) {
        const wchar_t c = text[i];
        if (c < 0xD800 || c > 0xDFFF)
            continue;
        if (c <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;  // a valid pair
            continue;
        }
        text[i] = static_cast<wchar_t>(0xFFFD);
        replaced = true;
    }
    return replaced;
}

}  // namespace Err
