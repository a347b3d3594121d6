#include <gtest/gtest.h>

#include <string>

#include "ipc_test_support.h"
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
