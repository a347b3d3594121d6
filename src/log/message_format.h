#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace Log {

// Replaces the numbered placeholders of `format` by `arguments`.
//
// A placeholder is "%" followed by one decimal digit, or two when a second one follows ("%10" is
// number 10, "%100" is number 10 followed by "0"). Numbers are relative: the distinct numbers of
// the format, sorted, give the argument positions, so "%1 %2" takes the first and the second
// argument, and "%2 %1" the second and then the first. A placeholder whose rank has no argument
// stays as written. With no arguments the format is returned unchanged.
std::wstring formatMessage(std::wstring_view format, const std::wstring* arguments, std::size_t count);

// The format string of a log call.
struct MessageFormat
{
    MessageFormat(const wchar_t* format) : text(format != nullptr ? format : L"") {}
    MessageFormat(const std::wstring& format) : text(format) {}
    MessageFormat(std::wstring_view format) : text(format) {}
    std::wstring_view text;
};

namespace detail {

void appendUtf8(std::wstring& out, const char* text);
void appendWide(std::wstring& out, const wchar_t* text);
void appendSigned(std::wstring& out, long long value);
void appendUnsigned(std::wstring& out, unsigned long long value);
// 16 upper-case hexadecimal digits, as "%p" writes a pointer.
void appendPointer(std::wstring& out, const void* pointer);
void appendUtf8View(std::wstring& out, std::string_view text);

template <typename T>
struct IsCharacter
    : std::integral_constant<bool, std::is_same<T, char>::value || std::is_same<T, signed char>::value ||
                                       std::is_same<T, unsigned char>::value || std::is_same<T, wchar_t>::value ||
                                       std::is_same<T, char16_t>::value || std::is_same<T, char32_t>::value ||
                                       std::is_same<T, bool>::value>
{
};

// The text of one argument: what the wide-stream insertion writes for it, except that narrow text
// is taken as UTF-8, pointers are written as "%p" writes them and exceptions by their `what`.
template <typename T>
void appendArgument(std::wstring& out, const T& value)
{
    using D = std::decay_t<T>;
    if constexpr (std::is_null_pointer<D>::value) {
        appendPointer(out, nullptr);
    } else if constexpr (std::is_same<D, const char*>::value || std::is_same<D, char*>::value) {
        appendUtf8(out, value);
    } else if constexpr (std::is_same<D, const wchar_t*>::value || std::is_same<D, wchar_t*>::value) {
        appendWide(out, value);
    } else if constexpr (std::is_convertible<const D&, std::string_view>::value) {
        appendUtf8View(out, std::string_view(value));
    } else if constexpr (std::is_convertible<const D&, std::wstring_view>::value) {
        out += std::wstring_view(value);
    } else if constexpr (std::is_pointer<D>::value) {
        appendPointer(out, (const void*)value);
    } else if constexpr (std::is_integral<D>::value && !IsCharacter<D>::value && std::is_signed<D>::value) {
        appendSigned(out, value);
    } else if constexpr (std::is_integral<D>::value && !IsCharacter<D>::value) {
        appendUnsigned(out, value);
    } else if constexpr (std::is_base_of<std::exception, D>::value) {
        appendUtf8(out, value.what());
    } else {
        std::wostringstream stream;
        stream << value;
        out += stream.str();
    }
}

}  // namespace detail
}  // namespace Log
