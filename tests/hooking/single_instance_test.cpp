// The process-wide single-instance guard of the hook classes.
#include "overlay/overlay_client/impl/single_instance.h"

#include <gtest/gtest.h>

#include <memory>

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(GuardedForTest);

class GuardedForTest : private SingleInstance<GuardedForTest>
{
public:
    explicit GuardedForTest(int value) : SingleInstance<GuardedForTest>(this), value(value) {}
    int value;
};

}  // namespace Overlay

using Overlay::GuardedForTest;
using Overlay::SingleInstance;

TEST(SingleInstance, SecondObjectIsRefusedAndTheFirstKeepsWorking)
{
    EXPECT_EQ(SingleInstance<GuardedForTest>::instance(), nullptr);
    {
        GuardedForTest first(1);
        EXPECT_EQ(SingleInstance<GuardedForTest>::instance(), &first);
        EXPECT_THROW(GuardedForTest second(2), std::logic_error);
        EXPECT_EQ(SingleInstance<GuardedForTest>::instance(), &first);
        EXPECT_EQ(SingleInstance<GuardedForTest>::instance()->value, 1);
    }
    EXPECT_EQ(SingleInstance<GuardedForTest>::instance(), nullptr);

    auto again = std::make_unique<GuardedForTest>(3);
    EXPECT_EQ(SingleInstance<GuardedForTest>::instance(), again.get());
    again.reset();
    EXPECT_EQ(SingleInstance<GuardedForTest>::instance(), nullptr);
}
