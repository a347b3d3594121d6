#pragma once

#include <string>
#include <string_view>

namespace Err {

// Text that cannot be converted (broken UTF-8, lone UTF-16 surrogates) is replaced as a whole by
// this text, so that a caller never has to handle a conversion failure.
extern const char* const invalidStringUtf8;      // "(invalid string)"
extern const wchar_t* const invalidStringUtf16;  // L"(invalid string)"

std::wstring utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::wstring_view text);

// Appends the converted text to `out` (saves a temporary on hot paths).
void appendUtf8AsUtf16(std::wstring& out, std::string_view text);

// Replaces every lone surrogate by U+FFFD; returns true when something was replaced.
bool replaceLoneSurrogates(std::wstring& text);

}  // namespace Err
