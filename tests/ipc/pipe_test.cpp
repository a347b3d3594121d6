#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <thrift/transport/TTransportException.h>

#include "overlay/overlay_common/ipc/pipe.h"
#include "overlay/overlay_common/ipc/pipe_server.h"
#include "peer_process.h"
#include "transport_helpers.h"

using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;
using namespace Overlay::Ipc;

namespace {

using IpcTest::exchange;
using IpcTest::Failure;
using IpcTest::receive;
using IpcTest::send;
using IpcTest::transportFailure;

const std::string closedText = "The other end of the pipe has been closed or disconnected";

// A listening single-instance server on a fresh name, and a client Pipe for it.
struct PipePair
{
    explicit PipePair(bool singleInstance = true)
        : name(IpcTest::uniqueName()), server(makePipePath(name), singleInstance, nullptr, 3000), client(makePipePath(name))
    {
        server.listen();
    }

    std::shared_ptr<TTransport> connect()
    {
        auto accepted = std::async(std::launch::async, [this] { return server.accept(); });
        client.open();
        return accepted.get();
    }

    std::string name;
    PipeServer server;
    Pipe client;
};

} // namespace

TEST(Pipe, PathCarriesThePipePrefix)
{
    EXPECT_EQ(makePipePath("abc"), "\\\\.\\pipe\\abc");
}

TEST(Pipe, OpenFailsAtOnceWhenNoServerRuns)
{
    Pipe pipe(makePipePath(IpcTest::uniqueName()));
    const Failure failure = transportFailure([&] { pipe.open(); });
    EXPECT_EQ(failure.type, TTransportException::NOT_OPEN);
    EXPECT_EQ(failure.text, "Failed to open pipe, server is not running");
    EXPECT_FALSE(pipe.isOpen());
}

TEST(Pipe, OpenGivesUpOnABusyServer)
{
    PipePair pair;
    pair.client.open(); // takes the only instance

    Pipe second(makePipePath(pair.name));
    second.setOpenTimeout(0);
    Failure failure = transportFailure([&] { second.open(); });
    EXPECT_EQ(failure.type, TTransportException::NOT_OPEN);
    EXPECT_EQ(failure.text, "Failed to open pipe, pipe server is busy");

    second.setOpenTimeout(200);
    failure = transportFailure([&] { second.open(); });
    EXPECT_EQ(failure.text, "Failed to open pipe, pipe server is busy");
    EXPECT_FALSE(second.isOpen());
}

TEST(Pipe, ReadsFailCleanlyWhenClosedOrTimedOut)
{
    Pipe never(makePipePath(IpcTest::uniqueName()));
    uint8_t byte = 0;
    Failure failure = transportFailure([&] { never.read(&byte, 1); });
    EXPECT_EQ(failure.type, TTransportException::NOT_OPEN);
    EXPECT_EQ(failure.text, "Pipe: msg = 'Pipe is not open', errorCode = 6");
    EXPECT_EQ(never.readAll(&byte, 0), 0u);

    PipePair pair;
    auto connection = pair.connect();
    pair.client.setReadTimeout(0);
    failure = transportFailure([&] { pair.client.read(&byte, 1); });
    EXPECT_EQ(failure.type, TTransportException::TIMED_OUT);
    EXPECT_EQ(failure.text, "Pipe: msg = 'Wait timed out', errorCode = 996");

    pair.client.setReadTimeout(50);
    failure = transportFailure([&] { pair.client.read(&byte, 1); });
    EXPECT_EQ(failure.text, "Pipe: msg = 'Wait timed out', errorCode = 258");

    failure = transportFailure([&] { pair.client.read(nullptr, 1); });
    EXPECT_EQ(failure.type, TTransportException::INTERNAL_ERROR);
    EXPECT_EQ(failure.text, "Pipe: msg = 'Internal error', errorCode = 160");

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

    // Nothing buffered: nothing sent.
    pair.client.write(reinterpret_cast<const uint8_t*>("x"), 0);
    EXPECT_EQ(pair.client.writeEnd(), 0u);
}

TEST(Pipe, ReportsTheOtherEndClosing)
{
    PipePair pair;
    auto connection = pair.connect();
    connection->close();

    uint8_t byte = 0;
    Failure failure = transportFailure([&] { pair.client.read(&byte, 1); });
    EXPECT_EQ(failure.type, TTransportException::END_OF_FILE);
    EXPECT_NE(failure.text.find(closedText), std::string::npos) << failure.text;

    pair.client.write(reinterpret_cast<const uint8_t*>("lost"), 4);
    failure = transportFailure([&] { pair.client.writeEnd(); });
    EXPECT_EQ(failure.type, TTransportException::END_OF_FILE);
    EXPECT_TRUE(pair.client.isOpen());

    // The failed message is dropped, not sent in front of the next one.
    pair.client.close();
    auto again = pair.connect();
    EXPECT_EQ(exchange(pair.client, *again, "next"), "next");
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
    EXPECT_EQ(failure.text, "Pipe: msg = 'Wait timed out', errorCode = 258");
}

TEST(Pipe, CountsEachMessageAgainstTheMaximumMessageSize)
{
    PipePair pair;
    auto connection = pair.connect();
    pair.client.setConfiguration(std::make_shared<apache::thrift::TConfiguration>(8));
    pair.client.readEnd(); // a message ends: the count starts again with the new limit

    EXPECT_EQ(exchange(*connection, pair.client, "12345678"), "12345678");
    pair.client.readEnd();
    EXPECT_EQ(exchange(*connection, pair.client, "abcdefgh"), "abcdefgh");
    const Failure failure = transportFailure([&] { exchange(*connection, pair.client, "x"); });
    EXPECT_EQ(failure.type, TTransportException::END_OF_FILE);
    EXPECT_EQ(failure.text, "MaxMessageSize reached");
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

    auto again = pair.connect();
    EXPECT_EQ(exchange(*again, pair.client, "new"), "new");
}
