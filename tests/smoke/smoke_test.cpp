#include <gtest/gtest.h>
#include <windows.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <boost/interprocess/windows_shared_memory.hpp>

TEST(Smoke, RunsUnderWine)
{
    EXPECT_NE(GetCurrentProcessId(), 0u);
    auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>();
    apache::thrift::protocol::TCompactProtocol protocol(buffer);
    protocol.writeI32(150);
    EXPECT_EQ(buffer->getBufferAsString(), std::string("\xac\x02", 2));
}
