#include "overlay/overlay_common/ipc/thrift_logger.h"

#include <atomic>

#include <thrift/Thrift.h>

#include "log/log.h"

namespace Overlay::Ipc {

namespace {

std::atomic<bool> routing{false};

void routeToLog(const char* text)
{
    if (routing.load() && text)
        LOG_DEBUG(L"Thrift: %1", text);
}

}  // namespace

void setThriftLogger()
{
    routing.store(true);
    apache::thrift::GlobalOutput.setOutputFunction(&routeToLog);
}

void resetThriftLogger()
{
    apache::thrift::GlobalOutput.setOutputFunction(&apache::thrift::TOutput::errorTimeWrapper);
    routing.store(false);
}

}  // namespace Overlay::Ipc
