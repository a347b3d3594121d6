#include <gtest/gtest.h>

#include <windows.h>

#include "err/err.h"
#include "overlay/overlay_client/impl/_maintenance/errors.h"

namespace {

// Declared here the way an area declares its own kinds.
namespace MutexErrors {
struct Base_traits
{
    using Parent = Err::Error2;
    static constexpr const char* namePart = "NamedMutex";
};
using Base = Err::GenericError<Base_traits>;
struct Failed_traits
{
    using Parent = Base;
    static constexpr const char* namePart = "Failed";
};
using Failed = Err::GenericError<Failed_traits>;
}  // namespace MutexErrors

using Overlay::Errors::FailedWithResult;

TEST(ErrorFamily, NestedCauseJoinsTextsAndNames)
{
    const auto cause = Err::makeSystemError(ERROR_ACCESS_DENIED, "OpenMutexW");
    const MutexErrors::Failed outer(cause, "Failed to open mutex");
    EXPECT_EQ(outer.fullName(), "Error.NamedMutex.Failed+Error.System.AccessDenied");
    EXPECT_EQ(outer.nestedName(), "Error.System.AccessDenied");
    EXPECT_EQ(outer.details(), std::string("\r\n+ ") + cause->what());
    EXPECT_EQ(std::string(outer.what()),
              std::string("[Error.NamedMutex.Failed] Failed to open mutex: \r\n+ ") + cause->what());

    // Two levels: the full name chains.
    const Overlay::Errors::Failed top(std::make_shared<MutexErrors::Failed>(outer), "top");
    EXPECT_EQ(top.fullName(), "Error.Base.Failed+Error.NamedMutex.Failed+Error.System.AccessDenied");

    EXPECT_STREQ(Overlay::Errors::Failed("mandatory hooks were not attached").what(),
                 "[Error.Base.Failed] mandatory hooks were not attached: ");
}

TEST(ErrorFamily, SystemErrorsPickTheirKindAndText)
{
    // Codes without a kind of their own (access denied and file not found have one: see above and below).
    const auto other = Err::makeSystemError(0x80004005u, "op");
    EXPECT_EQ(other->name(), "Error.System");
    EXPECT_EQ(dynamic_cast<const Err::SystemError&>(*other).systemCode(), 0x80004005u);

    // "[name] message: " + " " + trimmed system message + " (code)"
    const auto denied = Err::makeSystemError(5, "Failed to create window");
    std::string expected = "[Error.System.AccessDenied] Failed to create window:  " + Err::systemMessage(5);
    expected.erase(expected.find_last_not_of("\r\n ") + 1);
    EXPECT_EQ(denied->what(), expected + " (5)");
    EXPECT_EQ(expected.find('\r'), std::string::npos);

    // A code without a system message; an HRESULT prints as a signed number.
    EXPECT_STREQ(Err::makeSystemError(15999, "op")->what(), "[Error.System] op:  (15999)");
    EXPECT_NE(std::string(other->what()).find("(-2147467259)"), std::string::npos);
}

TEST(ErrorFamily, RaiseAndCloneKeepTheDynamicType)
{
    const std::shared_ptr<Err::Error> error = Err::makeSystemError(2, "open");
    try {
        error->raise();
        ADD_FAILURE() << "not raised";
    } catch (const Err::System::FileNotFound& caught) {
        EXPECT_STREQ(caught.what(), error->what());
    }

    const MutexErrors::Failed failed("x");
    const std::shared_ptr<Err::Error> copy = failed.clone();
    EXPECT_NE(dynamic_cast<MutexErrors::Failed*>(copy.get()), nullptr);
    EXPECT_EQ(copy->name(), "Error.NamedMutex.Failed");
    EXPECT_THROW(copy->raise(), MutexErrors::Base);
}

TEST(ErrorFamily, GenericErrorExCaughtAsItsBaseKeepsNameAndValue)
{
    try {
        throw FailedWithResult(OverlayClientApi::BlacklistedModules, "blacklisted dll(s) loaded in process");
    } catch (const Overlay::Errors::Failed& caught) {
        EXPECT_EQ(caught.name(), "Error.Base.Failed");
        EXPECT_STREQ(caught.what(), "[Error.Base.Failed] blacklisted dll(s) loaded in process: ");
        EXPECT_EQ(Overlay::Errors::resultOf(caught, OverlayClientApi::Failed), OverlayClientApi::BlacklistedModules);

        // Re-raised from the base and cloned, it is still the carrying kind.
        try {
            caught.raise();
        } catch (const FailedWithResult& again) {
            EXPECT_EQ(again.value(), OverlayClientApi::BlacklistedModules);
        }
        const auto clone = caught.clone();
        EXPECT_EQ(Overlay::Errors::resultOf(*clone, OverlayClientApi::Failed), OverlayClientApi::BlacklistedModules);
    }
    EXPECT_EQ(Overlay::Errors::resultOf(Overlay::Errors::Failed("x"), OverlayClientApi::Failed),
              OverlayClientApi::Failed);
    EXPECT_EQ(Overlay::Errors::resultOf(std::runtime_error("x"), OverlayClientApi::UnexpectedError),
              OverlayClientApi::UnexpectedError);
}

}  // namespace
