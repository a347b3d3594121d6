#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include <thrift/transport/TBufferTransports.h>

#include "host_sdk/host_pipe.h"
#include "ipc_test_support.h"
#include "log_capture.h"
#include "overlay/overlay_common/ipc/OverlayClient.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"
#include "overlay/overlay_common/ipc/overlay_ipc_server.h"

using apache::thrift::transport::TTransportException;
using namespace Overlay::Ipc;

namespace {

class Handler : public Stub::OverlayClientIf
{
public:
    bool showOverlay() override { return true; }
    bool hideOverlay() override { return true; }
    bool ping() override { return true; }
};

class Listener : public ServerListener
{
public:
    void onClientConnected() override { ++connects; }
    void onClientDisconnected() override { ++disconnects; }
    void onServerFailed() override { ++failures; }
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> failures{0};
};

// Accepts once (a connection that ends at once), then fails as a broken pipe server would.
class BreakingTransport : public apache::thrift::transport::TServerTransport
{
public:
    void listen() override {}
    void close() override {}
    void interrupt() override {}

protected:
    std::shared_ptr<apache::thrift::transport::TTransport> acceptImpl() override
    {
        if (accepts_++ == 0)
            return std::make_shared<apache::thrift::transport::TMemoryBuffer>();
        throw TTransportException(TTransportException::INTERNAL_ERROR, "accept failed");
    }

private:
    int accepts_ = 0;
};

std::shared_ptr<ServerImpl> makeServer(const std::string& name, const std::shared_ptr<Listener>& listener,
                                       DWORD firstCallTimeout = firstCallTimeoutMs)
{
    return createServer(name, std::make_shared<Stub::OverlayClientProcessor>(std::make_shared<Handler>()), listener,
                        true, createSecurityAttributes(), 3000, firstCallTimeout);
}

// A peer connects to the pipe `name` and says nothing. The real peer, on a connection of its own,
// is served all the same (`alongside`: while the silent one is still connected); the silent one is
// dropped `firstCall` ms after it connected; the real one, having called, may stay idle longer.
template <class Service>
void expectSilentPeerHarmless(const std::string& name, DWORD firstCall, bool alongside)
{
    Pipe silent(makePipePath(name));
    silent.open();
    IpcClient real(name);
    ASSERT_NO_THROW(real.open());
    Service service(real.getProtocol());
    EXPECT_NO_THROW(service.ping());
    if (alongside) {
        silent.setReadTimeout(0);
        EXPECT_EQ(IpcTest::transportFailure([&] { IpcTest::receive(silent, 1); }).type, TTransportException::TIMED_OUT);
        silent.setReadTimeout(Pipe::defaultTimeout);
    }
    EXPECT_EQ(IpcTest::transportFailure([&] { IpcTest::receive(silent, 1); }).type, TTransportException::END_OF_FILE);

    real.pipe().setReadTimeout(firstCall + 200);  // nothing comes: time passes
    EXPECT_EQ(IpcTest::transportFailure([&] { IpcTest::receive(real.pipe(), 1); }).type,
              TTransportException::TIMED_OUT);
    EXPECT_NO_THROW(service.ping());
}

}  // namespace

TEST(ServerImpl, StopWhileAHostIsConnectedReportsTheDisconnect)
{
    LogTest::LogCapture log;
    const std::string name = IpcTest::uniqueName();
    auto listener = std::make_shared<Listener>();
    auto server = makeServer(name, listener);
    server->start();
    server->start();  // already serving: nothing happens

    IpcClient host(name);
    host.open();
    Stub::OverlayClientClient client(host.getProtocol());
    EXPECT_TRUE(client.ping());
    EXPECT_EQ(listener->connects, 1);

    server->stop();  // the server is waiting in a read of the connection
    EXPECT_EQ(listener->disconnects, 1);
    EXPECT_THROW(client.ping(), TTransportException);

    // A stopped server can be started again, also once its listener has gone.
    host.close();
    listener.reset();
    server->start();
    host.open();
    EXPECT_TRUE(client.showOverlay());
    host.close();
    server->stop();
}

TEST(ServerImpl, StartFailsWhenAnotherProcessOwnsThePipe)
{
    LogTest::LogCapture log;
    const std::string name = IpcTest::uniqueName();
    IpcTest::PeerProcess other("serve client-single " + name + " overlay");
    ASSERT_EQ(other.readLine(), "listening");

    const IpcTest::Failure failure = IpcTest::transportFailure([&] { makeServer(name, nullptr)->start(); });
    EXPECT_EQ(failure.type, TTransportException::UNKNOWN);
    EXPECT_EQ(failure.text, "Failed to start IPC server");
    EXPECT_TRUE(log.contains(IpcTest::runningUnderWine()
                                 ? L"Stop IPC server: PipeServer: failed to create pipe, error = 231"
                                 : L"Stop IPC server: PipeServer: failed to create pipe, error = 5"));
}

TEST(ServerImpl, HostileMessagesEndOnlyTheirConnectionAndAFailedAcceptIsReported)
{
    LogTest::LogCapture log;
    const std::string name = IpcTest::uniqueName();
    auto server = makeServer(name, nullptr);
    server->start();
    // A call whose method name claims 2^31-1 bytes is refused from its header: the server hangs
    // up at once instead of allocating 2 GiB and waiting for them, and serves the next host.
    {
        auto pipe = std::make_shared<Pipe>(makePipePath(name));
        pipe->open();
        IpcTest::send(*pipe, std::string("\x82\x21\x00\xff\xff\xff\xff\x07", 8));
        EXPECT_EQ(IpcTest::transportFailure([&] { IpcTest::receive(*pipe, 1); }).type,
                  TTransportException::END_OF_FILE);
    }
    IpcClient host(name);
    host.open();
    EXPECT_TRUE(Stub::OverlayClientClient(host.getProtocol()).ping());
    host.close();
    server->stop();
    EXPECT_FALSE(log.contains(L"Stop IPC server: the pipe no longer accepts connections"));

    auto listener = std::make_shared<Listener>();
    ServerImpl broken(std::make_shared<BreakingTransport>(),
                      std::make_shared<Stub::OverlayClientProcessor>(std::make_shared<Handler>()), listener);
    broken.start();
    for (int i = 0; i < 1000 && listener->failures == 0; ++i)
        Sleep(10);
    EXPECT_EQ(listener->failures, 1);
    broken.stop();
    EXPECT_TRUE(log.contains(L"Stop IPC server: the pipe no longer accepts connections"));
    const auto messages = log.messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), L"IPC server was successfully stopped"), 1);
}

TEST(ServerImpl, APeerThatMakesNoCallIsDroppedAndKeepsNeitherPipeFromItsRealPeer)
{
    LogTest::LogCapture log;
    // The client's pipe has one instance: the host waits for it until the silent peer's time is up.
    const std::string client = IpcTest::uniqueName();
    auto server = makeServer(client, nullptr, 300);
    server->start();
    EXPECT_NO_FATAL_FAILURE(expectSilentPeerHarmless<Stub::OverlayClientClient>(client, 300, false));
    EXPECT_TRUE(log.contains(L"Dropped a peer that made no call within 300 ms of connecting"));
    server->stop();

    // The host's pipe serves the client on a thread of its own, while the silent peer is there.
    const std::string host = IpcTest::uniqueName();
    Overlay::Host::HostPipeServer hostServer(host, std::make_shared<Stub::OverlayHostNull>(),
                                             Overlay::Host::PipeKind::Overlay, {}, 1000);
    hostServer.start();
    EXPECT_NO_FATAL_FAILURE(expectSilentPeerHarmless<Stub::OverlayHostClient>(host, 1000, true));
}
