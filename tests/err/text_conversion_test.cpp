#include <gtest/gtest.h>

#include "err/text_conversion.h"

namespace {

TEST(TextConversion, RoundTripsAndRejectsInvalidText)
{
    const std::wstring wide = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600";
    const std::string utf8 = u8"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600";
    EXPECT_EQ(Err::utf16ToUtf8(wide), utf8);
    EXPECT_EQ(Err::utf8ToUtf16(utf8), wide);
    EXPECT_EQ(Err::utf8ToUtf16(""), L"");
    EXPECT_EQ(Err::utf16ToUtf8(L""), "");

    EXPECT_EQ(Err::utf8ToUtf16("ab\xff"
                               "cd"),
              L"(invalid string)");
    EXPECT_EQ(Err::utf8ToUtf16("\xc3"), L"(invalid string)");  // truncated sequence
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0};
    EXPECT_EQ(Err::utf16ToUtf8(lone), "(invalid string)");

    std::wstring appended = L"x=";
    Err::appendUtf8AsUtf16(appended, "\xe2\x82\xac");
    EXPECT_EQ(appended, L"x=\u20ac");
}

TEST(TextConversion, LoneSurrogatesAreReplaced)
{
    std::wstring text = {L'a',           wchar_t(0xD800), L'b', wchar_t(0xDC00), wchar_t(0xD83D), wchar_t(0xDE00),
                         wchar_t(0xDBFF)};
    EXPECT_TRUE(Err::replaceLoneSurrogates(text));
    const std::wstring expected = {
        L'a', wchar_t(0xFFFD), L'b', wchar_t(0xFFFD), wchar_t(0xD83D), wchar_t(0xDE00), wchar_t(0xFFFD)};
    EXPECT_EQ(text, expected);
    std::wstring valid = L"ok \U0001F600";
    EXPECT_FALSE(Err::replaceLoneSurrogates(valid));
}

}  // namespace
