#include "err/error.h"

namespace Err {

namespace {

const char* const unknownException = "Unknown exception";

}  // namespace

Error::Error(std::error_code code, const std::string& message) : std::system_error(code, message), message_(message) {}

Error::~Error() = default;

const char* Error::what() const noexcept
{
    const char* text = std::system_error::what();
    return text != nullptr ? text : unknownException;
}

void Error::raise() const
{
    throw *this;
}

const std::string& Error::name() const
{
    return staticName();
}

const std::string& Error::fullName() const
{
    return name();
}

std::shared_ptr<Error> Error::clone() const
{
    return std::make_shared<Error>(*this);
}

const std::string& Error::staticName()
{
    static const std::string name = "Error";
    return name;
}

Error2::Error2(const std::string& message) : Error(makeErrorCode(noError), message) {}

Error2::Error2(const std::shared_ptr<const Error>& cause, const std::string& message)
    : Error(makeErrorCode(noError), message)
{
    if (cause) {
        details_ = "\r\n+ ";
        details_ += cause->what();
        nestedName_ = cause->fullName();
    }
}

Error2::~Error2() = default;

const char* Error2::what() const noexcept
{
    try {
        if (what_.text.empty())
            what_.text = composeWhat();
        return what_.text.c_str();
    } catch (...) {
        return Error::what();
    }
}

std::string Error2::composeWhat() const
{
    std::string text = "[" + name() + "]";
    const char* standardText = std::system_error::what();
    if (standardText == nullptr)
        standardText = unknownException;
    if (*standardText != '\0') {
        text += ' ';
        text += standardText;
    }
    text += details_;
    return text;
}

void Error2::raise() const
{
    throw *this;
}

const std::string& Error2::name() const
{
    return staticName();
}

const std::string& Error2::fullName() const
{
    if (fullName_.text.empty()) {
        fullName_.text = name();
        if (!nestedName_.empty())
            fullName_.text += "+" + nestedName_;
    }
    return fullName_.text;
}

std::shared_ptr<Error> Error2::clone() const
{
    return std::make_shared<Error2>(*this);
}

const std::string& Error2::staticName()
{
    return Error::staticName();
}

}  // namespace Err
