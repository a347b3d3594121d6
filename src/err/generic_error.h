#pragma once

#include <memory>
#include <string>
#include <tuple>
#include <type_traits>

#include "err/error.h"

namespace Err {

// An error kind declared by a traits type:
//
//   struct Base_traits   { using Parent = Err::Error2;  static constexpr const char* namePart = "Base"; };
//   using Base = Err::GenericError<Base_traits>;      // name "Error.Base"
//   struct Failed_traits { using Parent = Base;         static constexpr const char* namePart = "Failed"; };
//   using Failed = Err::GenericError<Failed_traits>;  // name "Error.Base.Failed", caught as Base too
//
// The kind takes the constructors of Error2: (message) and (cause, message). Its name is the
// parent's name, a dot and `namePart`, built once per process.
template <typename Traits>
class GenericError : public Traits::Parent
{
public:
    using Parent = typename Traits::Parent;
    static_assert(std::is_base_of<Error2, Parent>::value, "an error kind derives from Err::Error2");

    using Parent::Parent;

    [[noreturn]] void raise() const override { throw *this; }
    const std::string& name() const override { return staticName(); }
    std::shared_ptr<Error> clone() const override { return std::make_shared<GenericError>(*this); }

    static const std::string& staticName()
    {
        static const std::string name = Parent::staticName() + "." + Traits::namePart;
        return name;
    }
};

// A non-polymorphic set of typed arguments, one value of each type, addressed by type.
template <typename... Types>
class ArgumentsSet
{
public:
    template <typename T>
    const T& get() const
    {
        return std::get<T>(values_);
    }

    template <typename T>
    void set(T value)
    {
        std::get<T>(values_) = std::move(value);
    }

private:
    std::tuple<Types...> values_{};
};

// An error kind that also carries a typed value, held in the arguments set `Arguments` (a second,
// non-polymorphic base). It has the name of its GenericError and is caught as it; a catch site that
// holds only the base reaches the value with a cross cast:
//
//   catch (const Err::Error& error) {
//       if (auto* arguments = dynamic_cast<const Arguments*>(&error)) use(arguments->get<Value>());
//   }
template <typename Traits, typename Arguments, typename Value>
class GenericErrorEx : public GenericError<Traits>, public Arguments
{
public:
    GenericErrorEx(Value value, const std::string& message) : GenericError<Traits>(message)
    {
        Arguments::template set<Value>(std::move(value));
    }

    GenericErrorEx(Value value, const std::shared_ptr<const Error>& cause, const std::string& message)
        : GenericError<Traits>(cause, message)
    {
        Arguments::template set<Value>(std::move(value));
    }

    const Value& value() const { return Arguments::template get<Value>(); }

    [[noreturn]] void raise() const override { throw *this; }
    std::shared_ptr<Error> clone() const override { return std::make_shared<GenericErrorEx>(*this); }
};

}  // namespace Err
