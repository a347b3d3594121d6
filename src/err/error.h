#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "err/category.h"

namespace Err {

// Root of the error family. Every error can be re-thrown as its dynamic type (`raise`), copied into
// a shared pointer (`clone`) and reports a dotted type name (`name`, `fullName`).
class Error : public std::system_error
{
public:
    Error(std::error_code code, const std::string& message);
    ~Error() override;

    // The standard text ("message: category message"), or "Unknown exception" if there is none.
    const char* what() const noexcept override;
    [[noreturn]] virtual void raise() const;
    virtual const std::string& name() const;
    virtual const std::string& fullName() const;
    virtual std::shared_ptr<Error> clone() const;

    const std::string& message() const noexcept { return message_; }

    static const std::string& staticName();

private:
    std::string message_;
};

namespace details {

// A lazily filled text that a copy does not take over: a copy (or a slice of one) computes its
// own text from its own dynamic type.
struct TextCache
{
    std::string text;
    TextCache() = default;
    TextCache(const TextCache&) {}
    TextCache& operator=(const TextCache&)
    {
        text.clear();
        return *this;
    }
};

}  // namespace details

// Base of every error made from a message: its code is `noError` of the library's category, so the
// standard text is "message: ". It may carry a nested cause, whose text and full name it keeps.
//
//   what():     "[" name "]" [" " standard text] [details]
//   details:    "\r\n+ " + cause's what
//   fullName(): name ["+" cause's fullName]
class Error2 : public Error
{
public:
    explicit Error2(const std::string& message);
    Error2(const std::shared_ptr<const Error>& cause, const std::string& message);
    ~Error2() override;

    const char* what() const noexcept override;
    [[noreturn]] void raise() const override;
    const std::string& name() const override;
    const std::string& fullName() const override;
    std::shared_ptr<Error> clone() const override;

    const std::string& details() const noexcept { return details_; }
    const std::string& nestedName() const noexcept { return nestedName_; }

    static const std::string& staticName();

protected:
    // Builds the text that `what` returns (once, on first use).
    virtual std::string composeWhat() const;

private:
    std::string details_;
    std::string nestedName_;
    mutable details::TextCache what_;
    mutable details::TextCache fullName_;
};

}  // namespace Err
