#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

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

} // namespace

TEST(PipeServer, OnlyTheFirstListenerGetsTheName)
{
    const std::string path = makePipePath(IpcTest::uniqueName());
    PipeServer first(path, true, nullptr, 3000);
    first.listen();
    EXPECT_TRUE(first.isOpen());

    PipeServer second(path, true, nullptr, 3000);
    Failure failure = transportFailure([&] { second.listen(); });
    EXPECT_EQ(failure.type, TTransportException::NOT_OPEN);
    if (IpcTest::runningUnderWine()) {
        // Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE; only the instance limit refuses here.
        EXPECT_EQ(failure.text, "PipeServer: failed to create pipe, error = 231");
        return;
    }
    EXPECT_EQ(failure.text, "PipeServer: failed to create pipe, error = 5");

    const std::string multiPath = makePipePath(IpcTest::uniqueName());
    PipeServer firstMulti(multiPath, false, nullptr, 3000);
    firstMulti.listen();
    PipeServer secondMulti(multiPath, false, nullptr, 3000);
    failure = transportFailure([&] { secondMulti.listen(); });
    EXPECT_EQ(failure.text, "PipeServer: failed to create pipe, error = 5");
}

TEST(PipeServer, SingleInstanceIsBusyWhileConnectedAndServesTheNextHostAfterwards)
{
    const std::string name = IpcTest::uniqueName();
    PipeServer server(makePipePath(name), true, nullptr, 3000);
    server.listen();

    auto accepted = std::async(std::launch::async, [&] { return server.accept(); });
    Pipe first(makePipePath(name));
    first.open();
    auto connection = accepted.get();

    Pipe second(makePipePath(name));
    second.setOpenTimeout(0);
    EXPECT_EQ(transportFailure([&] { second.open(); }).text, "Failed to open pipe, pipe server is busy");

    connection->close();
    first.close();
    accepted = std::async(std::launch::async, [&] { return server.accept(); });
    second.setOpenTimeout(3000);
    second.open();
    connection = accepted.get();
    EXPECT_EQ(exchange(second, *connection, "hello"), "hello");
    EXPECT_EQ(exchange(*connection, second, "back"), "back");
}

TEST(PipeServer, MultipleInstancesServeHostsSideBySide)
{
    const std::string name = IpcTest::uniqueName();
    PipeServer server(makePipePath(name), false, nullptr, 3000);
    server.listen();
    Pipe a(makePipePath(name));
    Pipe b(makePipePath(name));

    auto acceptedA = std::async(std::launch::async, [&] { return server.accept(); });
    a.open();
    auto connectionA = acceptedA.get();
    auto acceptedB = std::async(std::launch::async, [&] { return server.accept(); });
    b.open();
    auto connectionB = acceptedB.get();

    EXPECT_EQ(exchange(b, *connectionB, "bb"), "bb");
    EXPECT_EQ(exchange(a, *connectionA, "aa"), "aa");
}

TEST(PipeServer, InterruptEndsAcceptsUntilTheNextListen)
{
    const std::string name = IpcTest::uniqueName();
    PipeServer server(makePipePath(name), true, nullptr, 3000);
    server.listen();

    // Before the accept.
    server.interrupt();
    Failure failure = transportFailure([&] { server.accept(); });
    EXPECT_EQ(failure.type, TTransportException::INTERRUPTED);
    EXPECT_EQ(failure.text, "PipeServer: interrupted");

    // During the accept.
    server.listen();
    auto accepted = std::async(std::launch::async, [&] { return transportFailure([&] { server.accept(); }); });
    EXPECT_EQ(accepted.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    server.interrupt();
    failure = accepted.get();
    EXPECT_EQ(failure.type, TTransportException::INTERRUPTED);

    // Listening again after an interrupt serves the next host.
    server.listen();
    auto next = std::async(std::launch::async, [&] { return server.accept(); });
    Pipe client(makePipePath(name));
    client.open();
    auto connection = next.get();
    EXPECT_EQ(exchange(client, *connection, "ok"), "ok");
}

TEST(PipeServer, InterruptEndsAPendingRead)
{
    const std::string name = IpcTest::uniqueName();
    PipeServer server(makePipePath(name), true, nullptr, 3000);
    server.listen();
    auto accepted = std::async(std::launch::async, [&] { return server.accept(); });
    Pipe client(makePipePath(name));
    client.open();
    auto connection = accepted.get();

    uint8_t byte = 0;
    auto reading = std::async(std::launch::async, [&] { return transportFailure([&] { connection->read(&byte, 1); }); });
    EXPECT_EQ(reading.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    server.interrupt();
    const Failure failure = reading.get();
    EXPECT_EQ(failure.type, TTransportException::INTERRUPTED);
    EXPECT_EQ(failure.text, "PipeServer: interrupted");
}

TEST(PipeServer, ReadsReportAHostThatLeft)
{
    const std::string name = IpcTest::uniqueName();
    PipeServer server(makePipePath(name), true, nullptr, 3000);
    server.listen();
    auto accepted = std::async(std::launch::async, [&] { return server.accept(); });
    {
        Pipe client(makePipePath(name));
        client.open();
        auto connection = accepted.get();
        EXPECT_EQ(exchange(client, *connection, "x"), "x");
        client.close();
        uint8_t byte = 0;
        const Failure failure = transportFailure([&] { connection->read(&byte, 1); });
        EXPECT_EQ(failure.type, TTransportException::END_OF_FILE);
        EXPECT_EQ(failure.text,
                  "PipeServer: msg = 'The other end of the pipe has been closed or disconnected', errorCode = 109");
    }
}

TEST(PipeServer, DropsAHostThatLeftBeforeTheAccept)
{
    const std::string name = IpcTest::uniqueName();
    PipeServer server(makePipePath(name), true, nullptr, 3000);
    server.listen();
    {
        Pipe early(makePipePath(name));
        early.open();
    }
    auto accepted = std::async(std::launch::async, [&] { return server.accept(); });
    EXPECT_EQ(accepted.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    Pipe client(makePipePath(name));
    client.open();
    auto connection = accepted.get();
    EXPECT_EQ(exchange(client, *connection, "late"), "late");
}

TEST(ConnectedPipeClient, RefusesAnInvalidHandle)
{
    const Failure failure = transportFailure(
        [] { ConnectedPipeClient client(INVALID_HANDLE_VALUE, std::make_shared<Event>(), true, 3000); });
    EXPECT_EQ(failure.type, TTransportException::NOT_OPEN);
    EXPECT_EQ(failure.text, "PipeServer: msg = 'Pipe is not open', errorCode = 6");
}
