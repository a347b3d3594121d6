// Pipe and PipeServer against each other: open, time-outs, message bursts, closing ends,
// instance rules and interrupts.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "ipc_test_support.h"

using apache::thrift::transport::TTransportException;
using namespace Overlay::Ipc;
using namespace IpcTest;

namespace {

const std::string busy = "Failed to open pipe, pipe server is busy";
const std::string timedOut = "Pipe: msg = 'Wait timed out', errorCode = 258";

bool stillWaiting(std::future<Failure>& pending)
{
    return pending.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout;
}

}  // namespace

TEST(PipeServer, SingleInstanceIsBusyWhileConnectedThenServesTheNextHost)
{
    Pipe nobody(makePipePath(uniqueName()));
    EXPECT_EQ(transportFailure([&] { nobody.open(); }).text, "Failed to open pipe, server is not running");

    PipePair pair;
    auto connection = pair.connect();
    Pipe second(pair.path);
    second.setOpenTimeout(0);
    EXPECT_EQ(transportFailure([&] { second.open(); }).text, busy);
    second.setOpenTimeout(200);  // a budget that runs out
    EXPECT_EQ(transportFailure([&] { second.open(); }).text, busy);
    EXPECT_FALSE(second.isOpen());

    connection->close();
    pair.client.close();
    second.setOpenTimeout(3000);
    connection = pair.connect([&] { second.open(); });
    EXPECT_EQ(exchange(second, *connection, "hello"), "hello");
    EXPECT_EQ(exchange(*connection, second, "back"), "back");
}

TEST(PipeServer, MultipleInstancesServeHostsSideBySide)
{
    PipePair pair(false);
    Pipe other(pair.path);
    auto first = pair.connect();
    auto second = pair.connect([&] { other.open(); });
    EXPECT_EQ(exchange(other, *second, "bb"), "bb");
    EXPECT_EQ(exchange(pair.client, *first, "aa"), "aa");
}

TEST(PipeServer, InterruptEndsAcceptsAndReadsUntilTheNextListen)
{
    PipePair pair;
    pair.server.interrupt();  // before the accept
    EXPECT_EQ(transportFailure([&] { pair.server.accept(); }).type, TTransportException::INTERRUPTED);

    pair.server.listen();  // during the accept
    auto accepting = std::async(std::launch::async, [&] { return transportFailure([&] { pair.server.accept(); }); });
    EXPECT_TRUE(stillWaiting(accepting));
    pair.server.interrupt();
    EXPECT_EQ(accepting.get().type, TTransportException::INTERRUPTED);

    pair.server.listen();  // listening again serves the next host
    auto connection = pair.connect();
    EXPECT_EQ(exchange(pair.client, *connection, "ok"), "ok");
    uint8_t byte = 0;
    auto reading =
        std::async(std::launch::async, [&] { return transportFailure([&] { connection->read(&byte, 1); }); });
    EXPECT_TRUE(stillWaiting(reading));
    pair.server.interrupt();
    EXPECT_EQ(reading.get().type, TTransportException::INTERRUPTED);
}

TEST(PipeServer, DropsAHostThatLeftBeforeTheAccept)
{
    PipePair pair;
    pair.client.open();
    pair.client.close();
    auto accepting = std::async(std::launch::async, [&] { return pair.server.accept(); });
    EXPECT_EQ(accepting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    Pipe late(pair.path);
    late.open();
    EXPECT_EQ(exchange(late, *accepting.get(), "late"), "late");
}

TEST(Pipe, ReadsFailCleanlyWhenNotOpenOrTimedOut)
{
    Pipe never(makePipePath(uniqueName()));
    uint8_t byte = 0;
    EXPECT_EQ(transportFailure([&] { never.read(&byte, 1); }).type, TTransportException::NOT_OPEN);
    EXPECT_EQ(never.readAll(&byte, 0), 0u);
    EXPECT_EQ(transportFailure([] {
                  ConnectedPipeClient(INVALID_HANDLE_VALUE, std::make_shared<Win::UniqueHandle>(makeEvent()), true,
                                      3000);
              }).type,
              TTransportException::NOT_OPEN);

    PipePair pair;
    auto connection = pair.connect();
    pair.client.setReadTimeout(0);
    EXPECT_EQ(transportFailure([&] { pair.client.read(&byte, 1); }).type, TTransportException::TIMED_OUT);
    pair.client.setReadTimeout(50);
    EXPECT_EQ(transportFailure([&] { pair.client.read(&byte, 1); }).text, timedOut);

    // The pipe still works after the cancelled reads.
    pair.client.setReadTimeout(3000);
    EXPECT_EQ(exchange(*connection, pair.client, "after"), "after");
}

TEST(Pipe, SendsAMessageInOneBurstAtWriteEnd)
{
    PipePair pair;
    auto connection = pair.connect();
    pair.client.write(reinterpret_cast<const uint8_t*>("abc"), 3);
    pair.client.write(reinterpret_cast<const uint8_t*>("defg"), 4);
    pair.client.write(reinterpret_cast<const uint8_t*>("x"), 0);
    // One read with room to spare sees the whole message: it left in one piece.
    uint8_t buffer[64] = {};
    auto reading = std::async(std::launch::async, [&] { return connection->read(buffer, sizeof buffer); });
    EXPECT_EQ(reading.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(pair.client.writeEnd(), 7u);
    EXPECT_EQ(reading.get(), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 7), "abcdefg");

    pair.client.write(reinterpret_cast<const uint8_t*>("x"), 0);
    EXPECT_EQ(pair.client.writeEnd(), 0u);  // nothing buffered: nothing sent
}

TEST(Pipe, BothEndsReportTheOtherEndClosing)
{
    PipePair pair;
    auto connection = pair.connect();
    pair.client.close();
    uint8_t byte = 0;
    EXPECT_EQ(transportFailure([&] { connection->read(&byte, 1); }).type, TTransportException::END_OF_FILE);

    connection->close();
    connection = pair.connect();
    connection->close();
    EXPECT_EQ(transportFailure([&] { pair.client.read(&byte, 1); }).type, TTransportException::END_OF_FILE);
    pair.client.write(reinterpret_cast<const uint8_t*>("lost"), 4);
    EXPECT_EQ(transportFailure([&] { pair.client.writeEnd(); }).type, TTransportException::END_OF_FILE);
    EXPECT_TRUE(pair.client.isOpen());

    // The failed message is dropped, not sent in front of the next one.
    pair.client.close();
    connection = pair.connect();
    EXPECT_EQ(exchange(pair.client, *connection, "next"), "next");
}

TEST(Pipe, BytesOfAnEarlierConnectionAreNotReadAfterReopening)
{
    PipePair pair;
    auto connection = pair.connect();
    // Both bytes arrive in one read of the pipe; only the first is consumed.
    auto sending = std::async(std::launch::async, [&] { send(*connection, "ab"); });
    EXPECT_EQ(receive(pair.client, 1), "a");
    sending.get();
    connection->close();
    pair.client.close();
    connection = pair.connect();
    EXPECT_EQ(exchange(*connection, pair.client, "new"), "new");
}

TEST(Pipe, WriteToAHostThatNeverReadsTimesOut)
{
    PipePair pair;
    auto connection = pair.connect();
    pair.client.setWriteTimeout(100);
    const std::vector<uint8_t> big(16 * 1024 * 1024, 0x5A);
    pair.client.write(big.data(), uint32_t(big.size()));
    const Failure failure = transportFailure([&] { pair.client.writeEnd(); });
    EXPECT_EQ(failure.type, TTransportException::TIMED_OUT);
    EXPECT_EQ(failure.text, timedOut);
}

TEST(Pipe, CountsEachMessageAgainstTheMaximumMessageSize)
{
    PipePair pair;
    auto connection = pair.connect();
    pair.client.setConfiguration(std::make_shared<apache::thrift::TConfiguration>(8));
    pair.client.readEnd();  // a message ends: the count starts again with the new limit
    EXPECT_EQ(exchange(*connection, pair.client, "12345678"), "12345678");
    pair.client.readEnd();
    EXPECT_EQ(exchange(*connection, pair.client, "abcdefgh"), "abcdefgh");
    const Failure failure = transportFailure([&] { exchange(*connection, pair.client, "x"); });
    EXPECT_EQ(failure.type, TTransportException::END_OF_FILE);
    EXPECT_EQ(failure.text, "MaxMessageSize reached");
}
