#include <gtest/gtest.h>

#include "err/text_conversion.h"

namespace {

TEST(TextConversion, RoundTripsAndRejectsInvalidUtf8)
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

    std::wstring appended = L"x=";
    Err::appendUtf8AsUtf16(appended, "\xe2\x82\xac");
    EXPECT_EQ(appended, L"x=\u20ac");
}

TEST(TextConversion, EveryMalformedUtf16ShapeIsRejectedOrReplaced)
{
    const wchar_t hi = 0xD83D, lo = 0xDE00, hi2 = 0xDBFF, lo2 = 0xDC00, bad = 0xFFFD;
    struct Case
    {
        const char* name;
        std::wstring text;
        std::wstring replaced;
    };
    const Case cases[] = {
        {"high at the end", {L'a', hi}, {L'a', bad}},      {"high then a non-surrogate", {hi, L'b'}, {bad, L'b'}},
        {"lone low", {L'a', lo, L'b'}, {L'a', bad, L'b'}}, {"low then low", {lo, lo2}, {bad, bad}},
        {"high then high", {hi2, hi}, {bad, bad}},         {"high then a pair", {hi2, hi, lo}, {bad, hi, lo}},
        {"low then high", {lo, hi}, {bad, bad}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Err::utf16ToUtf8(c.text), "(invalid string)");
        std::wstring text = c.text;
        EXPECT_TRUE(Err::replaceLoneSurrogates(text));
        EXPECT_EQ(text, c.replaced);
    }
    std::wstring valid = {L'o', L'k', hi, lo};
    EXPECT_FALSE(Err::replaceLoneSurrogates(valid));
    EXPECT_EQ(Err::utf16ToUtf8(valid), "ok\xF0\x9F\x98\x80");
}

}  // namespace
