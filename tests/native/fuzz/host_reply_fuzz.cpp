// Our IPC client reading the host's answers: each answer is preceded by one byte that picks
// the call it answers. Decoded with the client's protocol limits; a Thrift exception is the
// call's failure, anything else (a crash, a leak, a large allocation) is a finding.

#include <cstddef>
#include <cstdint>
#include <memory>

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "overlay/overlay_common/ipc/OverlayHost.h"
#include "overlay/overlay_common/ipc/ipc_limits.h"

using namespace apache::thrift;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Overlay::Ipc;
    auto input = std::make_shared<transport::TMemoryBuffer>(const_cast<uint8_t*>(data), uint32_t(size));
    Stub::OverlayHostClient client(std::make_shared<protocol::TCompactProtocolT<transport::TMemoryBuffer>>(
        input, clientStringLimit, clientContainerLimit));
    uint8_t call = 0;
    try {
        while (input->read(&call, 1) == 1) {
            if (call % 3 == 0) {
                Stub::HostInfo info;
                client.recv_registerClient(info);
            } else if (call % 3 == 1) {
                client.recv_getId();
            } else {
                client.recv_ping();
            }
        }
    } catch (const TException&) {
    }
    return 0;
}
