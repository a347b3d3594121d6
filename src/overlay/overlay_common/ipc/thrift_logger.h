#pragma once

namespace Overlay::Ipc {

// Routes the Thrift library's diagnostic output into our log at DEBUG ("Thrift: <text>").
void setThriftLogger();
// Puts the Thrift library's own output function back.
void resetThriftLogger();

}  // namespace Overlay::Ipc
