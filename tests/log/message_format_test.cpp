#include <gtest/gtest.h>

#include <stdexcept>

#include "log/message_format.h"

namespace {

template <typename... Args>
std::wstring format(const wchar_t* text, const Args&... args)
{
    std::wstring texts[sizeof...(Args) + 1];
    std::size_t index = 0;
    (Log::detail::appendArgument(texts[index++], args), ...);
    return Log::formatMessage(text, texts, sizeof...(Args));
}

TEST(MessageFormat, PlaceholdersAndLiteralText)
{
    const std::pair<std::wstring, std::wstring> rows[] = {
        // Placeholder numbers are relative: only their order counts; repeats take the same argument.
        {format(L"StopCode = %1", 1), L"StopCode = 1"},
        {format(L"%2 then %1, again %2", L"first", L"second"), L"second then first, again second"},
        {format(L"a=%3 b=%7", L"x"), L"a=x b=%7"},
        // Two digits form one number; a third digit is text.
        {format(L"%10 %2", L"ten-or-two", L"next"), L"next ten-or-two"},
        {format(L"%100", L"x"), L"x0"},
        {format(L"100% sure, %% %0 %", L"x"), L"100% sure, %% x %"},
        // With no arguments the format is taken as it is.
        {format(L"Width=%0, Height=%1"), L"Width=%0, Height=%1"},
        {format(L"%0%0%1", L"a", L"b", L"unused"), L"aab"},
    };
    for (const auto& [actual, expected] : rows)
        EXPECT_EQ(actual, expected);
}

struct Streamable
{
    int value;
};
std::wostream& operator<<(std::wostream& stream, const Streamable& s)
{
    return stream << L"<" << s.value << L">";
}

TEST(MessageFormat, ArgumentTexts)
{
    // Pointers in as many digits as they have.
    const bool wide = sizeof(void*) == 8;
    EXPECT_EQ(format(L"%0", reinterpret_cast<void*>(0x12ABCDEFull)), wide ? L"0000000012ABCDEF" : L"12ABCDEF");
    EXPECT_EQ(format(L"%0", nullptr), wide ? L"0000000000000000" : L"00000000");
    EXPECT_EQ(format(L"%0 %1 %2", -5, 18446744073709551615ull, static_cast<short>(-32768)),
              L"-5 18446744073709551615 -32768");
    EXPECT_EQ(format(L"%0", std::string(u8"caf\u00e9")), L"caf\u00e9");
    EXPECT_EQ(format(L"%0", "\xff broken"), L"(invalid string)");
    EXPECT_EQ(format(L"%0", static_cast<const char*>(nullptr)), L"(null)");
    EXPECT_EQ(format(L"%0 %1", L'w', true), L"w 1");
    EXPECT_EQ(format(L"%0", 1.5), L"1.5");
    EXPECT_EQ(format(L"%0", Streamable{3}), L"<3>");
    EXPECT_EQ(format(L"%0", std::runtime_error(u8"gr\u00fc\u00df")), L"gr\u00fc\u00df");
}

}  // namespace
