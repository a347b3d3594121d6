#pragma once

// Bounds on what one message may ask either of our compact protocols to allocate. The protocol
// sizes its buffer from the length on the wire before anything else, so without a bound a few
// bytes could ask for 2 GiB. Platform-neutral: the fuzz targets decode with the same bounds.

#include <cstdint>

namespace Overlay::Ipc {

// Calls to our server: the service has no strings or containers in its arguments; only the
// method name is read as a string.
constexpr int32_t serverStringLimit = 256;
constexpr int32_t serverContainerLimit = 16;

// The host's answers to our client: ids, versions and names need a few KiB at most.
constexpr int32_t clientStringLimit = 16 * 1024;
constexpr int32_t clientContainerLimit = 1024;

// A peer that connects to one of our pipe servers must have sent its whole first call within this
// time, or it is dropped: a process that connects and says nothing would otherwise hold the
// client's only pipe instance, or one of the host's serving threads, for ever. The real peers call
// right after connecting (the client registers or pings, the host shows, hides or pings); once a
// call has come, the connection may stay idle for as long as it likes. Shorter than a pipe's
// default open time-out (3000 ms), so a host waiting for the busy instance still gets it.
constexpr uint32_t firstCallTimeoutMs = 2000;

}  // namespace Overlay::Ipc
