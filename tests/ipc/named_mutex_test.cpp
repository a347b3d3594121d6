#include <gtest/gtest.h>

#include <string>

#include "ipc_test_support.h"
#include "overlay/overlay_common/ipc/named_mutex.h"

using namespace Overlay::Ipc;

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
            EXPECT_THROW(strict.lock(), NamedMutexErrors::Abandon);
        }
        EXPECT_TRUE(lenient.wait(0));  // released again, or taken over silently
        lenient.unlock();
    }
}
