// The bytes on the wire: the service prefix, and what the server does with messages it must not take.

#include <gtest/gtest.h>

#include <future>
#include <string>

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "ipc_test_support.h"
#include "log_capture.h"
#include "overlay/overlay_common/ipc/OverlayClient.h"
#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"
#include "overlay/overlay_common/ipc/overlay_ipc_server.h"
#include "overlay/overlay_common/ipc/thrift_logger.h"

using apache::thrift::transport::TTransportException;
using namespace Overlay::Ipc;
using IpcTest::receive;
using IpcTest::send;

namespace {

constexpr int reply = 2, oneway = 4;

// Message header: protocol id, type and version, sequence id 0, method name with its length.
std::string header(int type, const std::string& method)
{
    return std::string{char(0x82), char((type << 5) | 1), 0, char(method.size())} + method;
}

// A host pipe the test reads and writes byte by byte, and the overlay's caller connected to it.
struct RawHost : IpcTest::PipePair
{
    explicit RawHost(const std::string& service = {}) : ipc(name)
    {
        connection = connect([&] { ipc.open(); });
        client = std::make_unique<Stub::OverlayHostClient>(ipc.getProtocol(service));
    }

    IpcClient ipc;
    std::unique_ptr<Stub::OverlayHostClient> client;
    std::shared_ptr<apache::thrift::transport::TTransport> connection;
};

}  // namespace

TEST(Wire, MultiplexedProtocolPrefixesTheServiceName)
{
    RawHost host("OverlayHost");
    EXPECT_EQ(host.ipc.getProtocol(), host.ipc.getProtocol());
    EXPECT_NE(host.ipc.getProtocol("OverlayHost"), host.ipc.getProtocol());
    auto sending = std::async(std::launch::async, [&] { host.client->onOverlayShown(); });
    const std::string expected = header(oneway, "OverlayHost:onOverlayShown") + '\0';
    EXPECT_EQ(receive(*host.connection, expected.size()), expected);
    sending.get();
}

TEST(Wire, ServerDropsRepliesSentToIt)
{
    class ShowCounter : public Stub::OverlayClientNull
    {
    public:
        bool showOverlay() override { return ++shows > 0; }
        int shows = 0;
    };
    LogTest::LogCapture log;
    setThriftLogger();
    const std::string name = IpcTest::uniqueName();
    auto handler = std::make_shared<ShowCounter>();
    auto server = createServer(name, std::make_shared<Stub::OverlayClientProcessor>(handler),
                               std::weak_ptr<ServerListener>(), true, nullptr, 3000);
    server->start();
    {
        auto pipe = std::make_shared<Pipe>(makePipePath(name));
        pipe->open();
        // The server hangs up as soon as it has seen the header; the write or the next read notices.
        const IpcTest::Failure failure = IpcTest::transportFailure([&] {
            send(*pipe, header(reply, "showOverlay") + '\0');
            receive(*pipe, 1);
        });
        EXPECT_EQ(failure.type, TTransportException::END_OF_FILE);
    }
    server->stop();
    resetThriftLogger();
    EXPECT_EQ(handler->shows, 0);
    EXPECT_TRUE(log.contains(L"Thrift: received invalid message type 2 from client"));
}
