// The bytes on the wire, written out by hand in the compact protocol's encoding.

#include <gtest/gtest.h>

#include <future>
#include <initializer_list>
#include <string>

#include <thrift/TApplicationException.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TTransportException.h>

#include "overlay/overlay_common/ipc/OverlayClient.h"
#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"
#include "overlay/overlay_common/ipc/overlay_ipc_server.h"
#include "overlay/overlay_common/ipc/pipe_server.h"
#include "overlay/overlay_common/ipc/thrift_logger.h"
#include "log_capture.h"
#include "peer_process.h"

using apache::thrift::TApplicationException;
using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;
using namespace Overlay::Ipc;

namespace {

// Bytes given as numbers and strings, in order.
class Bytes
{
public:
    Bytes& operator()(std::initializer_list<int> values)
    {
        for (int value : values)
            m_data.push_back(char(value));
        return *this;
    }
    Bytes& operator()(const std::string& text)
    {
        m_data.push_back(char(text.size())); // varint length, short strings only
        m_data += text;
        return *this;
    }
    const std::string& str() const { return m_data; }

private:
    std::string m_data;
};

// Message header: protocol id, type and version, sequence id 0, method name.
Bytes header(int type, const std::string& method)
{
    return Bytes()({0x82, (type << 5) | 1, 0x00})(method);
}

constexpr int call = 1, reply = 2;

// A host pipe whose connection the test reads and writes byte by byte.
struct RawHost
{
    RawHost() : name(IpcTest::uniqueName()), server(makePipePath(name), true, nullptr, 3000) { server.listen(); }

    void accept() { connection = server.accept(); }

    std::string read(size_t length)
    {
        std::string data(length, '\0');
        connection->readAll(reinterpret_cast<uint8_t*>(&data[0]), uint32_t(length));
        return data;
    }

    void write(const std::string& data)
    {
        connection->write(reinterpret_cast<const uint8_t*>(data.data()), uint32_t(data.size()));
        connection->writeEnd();
    }

    std::string name;
    PipeServer server;
    std::shared_ptr<TTransport> connection;
};

// The client side as the overlay uses it: IpcClient and the generated caller.
struct Caller
{
    explicit Caller(const std::string& name, const std::string& service = {}) : ipc(name)
    {
        ipc.open();
        client = std::make_unique<Stub::OverlayHostClient>(ipc.getProtocol(service));
    }

    IpcClient ipc;
    std::unique_ptr<Stub::OverlayHostClient> client;
};

class RecordingClient : public Stub::OverlayClientIf
{
public:
    bool showOverlay() override
    {
        ++shows;
        return true;
    }
    bool hideOverlay() override { return true; }
    bool ping() override { return true; }
    int shows = 0;
};

} // namespace

TEST(Wire, RegisterClientMatchesTheCompactEncoding)
{
    RawHost host;
    std::future<Stub::HostInfo> answer;
    std::unique_ptr<Caller> caller;
    auto accepted = std::async(std::launch::async, [&] { host.accept(); });
    caller = std::make_unique<Caller>(host.name);
    accepted.get();

    Stub::ClientInfo info;
    info.id = 150;
    info.version = "v1";
    info.pipeName = "p";
    info.shmemName = "s";
    info.scurfaceBounds.left = 1;
    info.scurfaceBounds.top = -1;
    info.scurfaceBounds.right = 300;
    info.scurfaceBounds.bottom = 0;
    answer = std::async(std::launch::async, [&] {
        Stub::HostInfo result;
        caller->client->registerClient(result, info);
        return result;
    });

    const std::string expected = header(call, "registerClient")({0x1C})                    // 1: clientInfo
                                     ({0x16, 0xAC, 0x02})                                   // 1: id 150
                                     ({0x18})("v1")({0x18})("p")({0x18})("s")               // 2..4: strings
                                     ({0x1C, 0x15, 0x02, 0x15, 0x01, 0x15, 0xD8, 0x04, 0x15, 0x00, 0x00}) // 5: RectI
                                     ({0x00})                                               // end ClientInfo
                                     ({0x00})                                               // end arguments
                                     .str();
    EXPECT_EQ(host.read(expected.size()), expected);

    // Result field 0 needs the long field header: type byte, then the zigzag id.
    host.write(header(reply, "registerClient")({0x0C, 0x00})({0x11, 0x16, 0x0E, 0x18})("h1")({0x00, 0x00}).str());
    const Stub::HostInfo result = answer.get();
    EXPECT_TRUE(result.result);
    EXPECT_EQ(result.id, 7);
    EXPECT_EQ(result.version, "h1");
}

TEST(Wire, EveryCallCarriesSequenceIdZeroAndMissingResultsFail)
{
    RawHost host;
    auto accepted = std::async(std::launch::async, [&] { host.accept(); });
    Caller caller(host.name);
    accepted.get();

    const std::string ping = header(call, "ping")({0x00}).str();
    for (int i = 0; i < 2; ++i) {
        auto answer = std::async(std::launch::async, [&] { return caller.client->ping(); });
        EXPECT_EQ(host.read(ping.size()), ping);
        host.write(header(reply, "ping")({0x01, 0x00, 0x00}).str());
        EXPECT_TRUE(answer.get());
    }

    auto answer = std::async(std::launch::async, [&] { return caller.client->getId(); });
    EXPECT_EQ(host.read(header(call, "getId")({0x00}).str().size()), header(call, "getId")({0x00}).str());
    host.write(header(reply, "getId")({0x00}).str());
    try {
        answer.get();
        FAIL() << "a reply without a result was accepted";
    } catch (const TApplicationException& e) {
        EXPECT_EQ(e.getType(), TApplicationException::MISSING_RESULT);
        EXPECT_STREQ(e.what(), "getId failed: unknown result");
    }
}

TEST(Wire, MultiplexedProtocolPrefixesTheServiceName)
{
    RawHost host;
    auto accepted = std::async(std::launch::async, [&] { host.accept(); });
    Caller caller(host.name, "OverlayHost");
    accepted.get();
    EXPECT_EQ(caller.ipc.getProtocol(), caller.ipc.getProtocol());
    EXPECT_NE(caller.ipc.getProtocol("OverlayHost"), caller.ipc.getProtocol());

    auto sending = std::async(std::launch::async, [&] { caller.client->onOverlayShown(); });
    const std::string expected = Bytes()({0x82, (4 << 5) | 1, 0x00})("OverlayHost:onOverlayShown")({0x00}).str();
    EXPECT_EQ(host.read(expected.size()), expected);
    sending.get();
}

TEST(Wire, StructsAcceptMissingFields)
{
    auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>();
    apache::thrift::protocol::TCompactProtocol protocol(buffer);
    const std::string onlyType = Bytes()({0x15, 0x04, 0x00}).str();
    buffer->write(reinterpret_cast<const uint8_t*>(onlyType.data()), uint32_t(onlyType.size()));
    Stub::KeyEvent key;
    key.read(&protocol);
    EXPECT_EQ(key.type, 2);
    EXPECT_EQ(key.modifiers, 0);
    EXPECT_EQ(key.windowsKeyCode, 0);
    EXPECT_EQ(key.nativeKeyCode, 0);
    EXPECT_FALSE(key.isSystemKey);
    EXPECT_EQ(key.character, 0);
    EXPECT_EQ(key.unmodifiedCharacter, 0);

    // A ClientInfo with fields 1 to 4 only, plus an unknown field 9 and field 2 with a wrong
    // type, both skipped.
    const std::string partial =
        Bytes()({0x16, 0x02})({0x15, 0x08})({0x18})("p")({0x18})("s")({0x58})("zz")({0x00}).str();
    buffer->resetBuffer();
    buffer->write(reinterpret_cast<const uint8_t*>(partial.data()), uint32_t(partial.size()));
    Stub::ClientInfo info;
    info.read(&protocol);
    EXPECT_EQ(info.id, 1);
    EXPECT_EQ(info.version, "");
    EXPECT_EQ(info.pipeName, "p");
    EXPECT_EQ(info.shmemName, "s");
    EXPECT_EQ(info.scurfaceBounds, Stub::RectI());
}

TEST(Wire, ServerAnswersUnknownMethodsAndDropsRepliesSentToIt)
{
    IpcTest::LogCapture log;
    setThriftLogger();
    const std::string name = IpcTest::uniqueName();
    auto handler = std::make_shared<RecordingClient>();
    auto server = createServer(name, std::make_shared<Stub::OverlayClientProcessor>(handler),
                               std::weak_ptr<ServerListener>(), true, nullptr, 3000);
    server->start();

    {
        Pipe pipe(makePipePath(name));
        pipe.open();
        apache::thrift::protocol::TCompactProtocolT<Pipe> protocol(std::shared_ptr<Pipe>(&pipe, [](Pipe*) {}));
        const std::string bogus = header(call, "bogus")({0x15, 0x02, 0x00}).str();
        pipe.write(reinterpret_cast<const uint8_t*>(bogus.data()), uint32_t(bogus.size()));
        pipe.writeEnd();

        std::string method;
        apache::thrift::protocol::TMessageType type;
        int32_t sequenceId = -1;
        protocol.readMessageBegin(method, type, sequenceId);
        EXPECT_EQ(method, "bogus");
        EXPECT_EQ(type, apache::thrift::protocol::T_EXCEPTION);
        EXPECT_EQ(sequenceId, 0);
        TApplicationException error;
        error.read(&protocol);
        EXPECT_EQ(error.getType(), TApplicationException::UNKNOWN_METHOD);
        EXPECT_STREQ(error.what(), "Invalid method name: 'bogus'");
        protocol.readMessageEnd();

        // The server hangs up as soon as it has seen the header; the write or the next read
        // notices.
        const std::string wrongType = header(reply, "showOverlay")({0x00}).str();
        try {
            pipe.write(reinterpret_cast<const uint8_t*>(wrongType.data()), uint32_t(wrongType.size()));
            pipe.writeEnd();
            uint8_t byte = 0;
            pipe.read(&byte, 1);
            FAIL() << "the server kept a connection that sent it a reply";
        } catch (const TTransportException& e) {
            EXPECT_EQ(e.getType(), TTransportException::END_OF_FILE);
        }
    }
    server->stop();
    resetThriftLogger();
    EXPECT_EQ(handler->shows, 0);
    EXPECT_TRUE(log.contains(L"Thrift: received invalid message type 2 from client"));
}
