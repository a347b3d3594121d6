// Our pipe transports against the Thrift library's own named-pipe transports (TPipe,
// TPipeServer), in both directions, across processes: one-way calls with structures, calls with
// structured and plain results.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <thrift/TToString.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TPipe.h>

#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/overlay_ipc_client.h"
#include "ipc_test_support.h"

using namespace Overlay::Ipc;
using apache::thrift::to_string;

namespace {

enum class Side { Overlay, Thrift };

// A client connection over our Pipe (through IpcClient) or over Thrift's TPipe.
class Connection
{
public:
    Connection(Side side, const std::string& name)
    {
        if (side == Side::Overlay) {
            ipc_ = std::make_unique<IpcClient>(name);
            ipc_->open();
            protocol_ = ipc_->getProtocol();
        } else {
            auto pipe = std::make_shared<apache::thrift::transport::TPipe>(makePipePath(name));
            pipe->open();
            protocol_ = std::make_shared<apache::thrift::protocol::TCompactProtocol>(pipe);
        }
    }
    ~Connection() { protocol_->getTransport()->close(); }

    std::shared_ptr<apache::thrift::protocol::TProtocol> protocol() const { return protocol_; }

private:
    std::unique_ptr<IpcClient> ipc_;
    std::shared_ptr<apache::thrift::protocol::TProtocol> protocol_;
};

// The parameter is the client's side; the host's server is always the other one.
using Interop = ::testing::TestWithParam<Side>;

}  // namespace

TEST_P(Interop, OverlayHostCallsRoundTrip)
{
    const std::string name = IpcTest::uniqueName();
    IpcTest::PeerProcess host("serve host " + name + (GetParam() == Side::Overlay ? " thrift" : " overlay"));
    ASSERT_EQ(host.readLine(), "listening");
    std::vector<std::string> expected;
    {
        Connection connection(GetParam(), name);
        Stub::OverlayHostClient client(connection.protocol());

        Stub::KeyEvent key;
        key.type = Stub::KeyEventType::KEYEVENT_CHAR;
        key.modifiers = Stub::EventFlags::EVENTFLAG_SHIFT_DOWN | Stub::EventFlags::EVENTFLAG_IS_LEFT;
        key.windowsKeyCode = 0x41;
        key.nativeKeyCode = -0x1E0001;
        key.isSystemKey = true;
        key.character = int16_t(0x20AC);
        key.unmodifiedCharacter = -2;
        client.onKeyEvent(key);
        expected.push_back("onKeyEvent " + to_string(key));

        Stub::ClientInfo clientInfo;
        clientInfo.id = -0x123456789ALL;
        clientInfo.version = "26.00.02.1046";
        clientInfo.pipeName = IpcTest::uniqueName();
        clientInfo.shmemName = IpcTest::uniqueName();
        clientInfo.scurfaceBounds.left = -1;
        clientInfo.scurfaceBounds.right = 1921;
        Stub::HostInfo hostInfo;
        client.registerClient(hostInfo, clientInfo);
        expected.push_back("registerClient " + to_string(clientInfo));
        EXPECT_TRUE(hostInfo.result);
        EXPECT_EQ(hostInfo.id, clientInfo.id + 1);
        EXPECT_EQ(hostInfo.version, "host 26.00.02.1046");

        EXPECT_EQ(client.getId(), 4242);
        expected.push_back("getId");
        EXPECT_TRUE(client.ping());
        expected.push_back("ping");
    }
    for (const std::string& line : expected)
        EXPECT_EQ(host.readLine(), line);
}

INSTANTIATE_TEST_SUITE_P(Pipes, Interop, ::testing::Values(Side::Overlay, Side::Thrift),
                         [](const ::testing::TestParamInfo<Side>& info) {
                             return info.param == Side::Overlay ? "overlay_to_thrift" : "thrift_to_overlay";
                         });
