#include <gtest/gtest.h>

#include <string>

#include "ipc_test_support.h"
#include "log_capture.h"
#include "overlay/overlay_common/ipc/named_mutex.h"

using namespace Overlay::Ipc;

namespace {

template <class Error, class Action>
Error caught(Action&& action)
{
    try {
        action();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "nothing thrown";
    return Error("nothing thrown");
}

}  // namespace

TEST(NamedMutex, FailuresAreTypedLoggedAndCarryTheSystemCode)
{
    LogTest::LogCapture log;
    NamedMutex mutex;
    auto error = caught<NamedMutexErrors::Failed>([&] { mutex.open("", false); });
    EXPECT_EQ(error.message(), "Unspecified name (open)");
    EXPECT_EQ(error.fullName(), "Error.NamedMutex.Failed+Error.System");
    EXPECT_NE(std::string(error.what()).find("(87)"), std::string::npos) << error.what();
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind(L"[Error.NamedMutex.Failed] Unspecified name (open)", 0), 0u);

    error = caught<NamedMutexErrors::Failed>([&] { mutex.open(IpcTest::uniqueName(), false); });
    EXPECT_EQ(error.message(), "Failed to open mutex");
    EXPECT_EQ(error.fullName(), "Error.NamedMutex.Failed+Error.System.FileNotFound");
    EXPECT_EQ(mutex.handle(), nullptr);
}

TEST(NamedMutex, CreateTellsWhetherTheMutexExisted)
{
    const std::string name = IpcTest::uniqueName();
    NamedMutex first;
    bool existed = true;
    first.create(name, false, &existed, nullptr, false);
    EXPECT_FALSE(existed);
    NamedMutex second;
    second.create(name, false, &existed, nullptr, false);
    EXPECT_TRUE(existed);

    NamedMutex moved(std::move(second));
    EXPECT_EQ(second.handle(), nullptr);
    EXPECT_TRUE(moved.wait(0));
    moved.unlock();
}

TEST(NamedMutex, AnotherProcessHoldsItAndAbandonIsReportedOnlyWhenAskedFor)
{
    const std::string name = IpcTest::uniqueName();
    NamedMutex strict;
    strict.create(name, false, nullptr, nullptr, true);
    NamedMutex lenient;
    lenient.open(name, false);
    for (const bool strictWaitsFirst : {true, false}) {
        {
            IpcTest::PeerProcess holder("hold-mutex " + name);
            ASSERT_EQ(holder.readLine(), "locked");
            EXPECT_FALSE(lenient.wait(0));
            holder.closeInput();
            ASSERT_EQ(holder.wait(), 3u);  // ended without releasing it
        }
        if (strictWaitsFirst) {
            const auto error = caught<NamedMutexErrors::Abandon>([&] { strict.lock(); });
            EXPECT_EQ(error.name(), "Error.NamedMutex.Abandon");
            EXPECT_EQ(error.message(), "Abandon mutex");
        }
        EXPECT_TRUE(lenient.wait(0));  // released again, or taken over silently
        lenient.unlock();
    }
}
