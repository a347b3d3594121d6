// Our pipe server's side of one connection: any bytes another process may write to the pipe,
// decoded by the OverlayClient processor with the server's protocol limits. A Thrift exception
// ends the connection, as in the server; a crash, a leak, a large allocation or any other
// exception is a finding.

#include <cstddef>
#include <cstdint>
#include <memory>

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "overlay/overlay_common/ipc/OverlayClient.h"
#include "overlay/overlay_common/ipc/ipc_limits.h"

using namespace apache::thrift;
using Protocol = protocol::TCompactProtocolT<transport::TMemoryBuffer>;

// The processor reports each refused message on Thrift's output; quiet, it runs faster.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    GlobalOutput.setOutputFunction([](const char*) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Overlay::Ipc;
    static const auto processor =
        std::make_shared<Stub::OverlayClientProcessor>(std::make_shared<Stub::OverlayClientNull>());

    // The input is only read: the buffer observes it rather than copying it.
    auto input = std::make_shared<transport::TMemoryBuffer>(const_cast<uint8_t*>(data), uint32_t(size));
    auto in = std::make_shared<Protocol>(input, serverStringLimit, serverContainerLimit);
    auto out = std::make_shared<Protocol>(std::make_shared<transport::TMemoryBuffer>(), serverStringLimit,
                                          serverContainerLimit);
    try {
        while (input->available_read() > 0 && processor->process(in, out, nullptr)) {
        }
    } catch (const TException&) {
        // The connection ends; the server goes on with the next one.
    }
    return 0;
}
