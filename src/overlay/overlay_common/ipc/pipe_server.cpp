#include "overlay/overlay_common/ipc/pipe_server.h"

#include <utility>

#include <thrift/transport/TTransportException.h>

#include "log/log.h"

using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;

namespace Overlay::Ipc {

namespace {

const char* const serverLabel = "PipeServer";

[[noreturn]] void throwServerError(TTransportException::TTransportExceptionType type, const char* what, DWORD code)
{
    throw TTransportException(type, std::string("PipeServer: ") + what + ", error = " + std::to_string(code));
}

// Waits for an overlapped operation or for the interrupt event, whichever comes first. Anything
// but completion cancels the operation before throwing.
void interruptibleWait(HANDLE handle, OVERLAPPED& overlapped, HANDLE interruptEvent, DWORD timeout)
{
    const HANDLE events[2] = {interruptEvent, overlapped.hEvent};
    const DWORD result = WaitForMultipleObjects(2, events, FALSE, timeout);
    if (result == WAIT_OBJECT_0 + 1)
        return;
    const DWORD error = GetLastError();
    cancelAndWait(handle, overlapped);
    if (result == WAIT_OBJECT_0)
        throw TTransportException(TTransportException::INTERRUPTED, "PipeServer: interrupted");
    if (result == WAIT_TIMEOUT)
        throwPipeError(WAIT_TIMEOUT, serverLabel);
    throwServerError(TTransportException::INTERNAL_ERROR, "failed to wait", error);
}

std::shared_ptr<Win::UniqueHandle> makeInterruptEvent()
{
    try {
        return std::make_shared<Win::UniqueHandle>(makeEvent());
    } catch (...) {
        throw TTransportException(TTransportException::UNKNOWN, "Failed to create PipeServer");
    }
}

}  // namespace

ConnectedPipeClient::ConnectedPipeClient(HANDLE handle, std::shared_ptr<Win::UniqueHandle> interruptEvent,
                                         bool singleInstance, DWORD writeTimeout, DWORD firstCallTimeout)
    : PipeTransport<ConnectedPipeClient>(serverLabel, handle, INFINITE, writeTimeout),
      interruptEvent_(std::move(interruptEvent)), singleInstance_(singleInstance), firstCallTimeout_(firstCallTimeout),
      firstCallDeadline_(firstCallTimeout == INFINITE ? 0 : GetTickCount64() + firstCallTimeout)
{
    if (handle == INVALID_HANDLE_VALUE)
        throwPipeError(ERROR_INVALID_HANDLE, label_);
}

ConnectedPipeClient::~ConnectedPipeClient()
{
    // In single-instance mode the handle belongs to the server; never let the base close it.
    close();
}

void ConnectedPipeClient::close()
{
    if (!handleValid())
        return;
    if (singleInstance_) {
        DisconnectNamedPipe(handle_.get());
        discardReadAhead();
        handle_.release();  // the server's handle: it stays open for the next accept
    } else {
        closeHandle();
    }
}

uint32_t ConnectedPipeClient::readEnd()
{
    firstCallDeadline_ = 0;
    return PipeTransport<ConnectedPipeClient>::readEnd();
}

DWORD ConnectedPipeClient::waitResult(DWORD error, OVERLAPPED& overlapped, DWORD timeout)
{
    if (error != ERROR_IO_PENDING)
        throwPipeError(error, label_);
    // Until the first call has come, a read waits only for what is left of its time.
    const bool firstCall = firstCallDeadline_ != 0 && &overlapped == &readOverlapped_;
    if (firstCall) {
        const ULONGLONG now = GetTickCount64();
        timeout = now < firstCallDeadline_ ? static_cast<DWORD>(firstCallDeadline_ - now) : 0;
    }
    try {
        interruptibleWait(handle_.get(), overlapped, interruptEvent_->get(), timeout);
    } catch (const TTransportException& e) {
        if (firstCall && e.getType() == TTransportException::TIMED_OUT)
            LOG_WARN(L"Dropped a peer that made no call within %0 ms of connecting", firstCallTimeout_);
        throw;
    }
    return PipeBase::waitResult(error, overlapped, 0);
}

PipeServer::PipeServer(std::string path, bool singleInstance, std::shared_ptr<SecurityAttributes> security,
                       DWORD writeTimeout, DWORD firstCallTimeout)
    : path_(std::move(path)), security_(std::move(security)), writeTimeout_(writeTimeout),
      firstCallTimeout_(firstCallTimeout), singleInstance_(singleInstance), interruptEvent_(makeInterruptEvent())
{
}

PipeServer::~PipeServer()
{
    close();
}

bool PipeServer::isOpen() const
{
    return handle_.valid();
}

void PipeServer::listen()
{
    ResetEvent(interruptEvent_->get());
    createInstance(true);
}

void PipeServer::interrupt()
{
    SetEvent(interruptEvent_->get());
}

void PipeServer::close()
{
    interrupt();
    handle_.reset();
}

void PipeServer::createInstance(bool first)
{
    if (handle_)
        return;
    // Only the first instance may claim the name, so no other process can sit on it before us.
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_REJECT_REMOTE_CLIENTS | PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
    Win::UniqueFileHandle handle(CreateNamedPipeA(path_.c_str(), openMode, pipeMode,
                                                  singleInstance_ ? 1 : PIPE_UNLIMITED_INSTANCES, 0, 0, 0,
                                                  security_ ? &security_->attributes : nullptr));
    if (!handle)
        throwServerError(TTransportException::NOT_OPEN, "failed to create pipe", GetLastError());
    handle_ = std::move(handle);
}

std::shared_ptr<TTransport> PipeServer::acceptImpl()
{
    // An interrupt that came while nobody was waiting still ends the next accept.
    if (WaitForSingleObject(interruptEvent_->get(), 0) == WAIT_OBJECT_0)
        throw TTransportException(TTransportException::INTERRUPTED, "PipeServer: interrupted");

    // INVALID_HANDLE_VALUE doubles as the current-process pseudo handle; never pass it on.
    if (!handle_)
        throwServerError(TTransportException::INTERNAL_ERROR, "failed to wait client", ERROR_INVALID_HANDLE);

    Win::UniqueHandle event = makeEvent();
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (ConnectNamedPipe(handle_.get(), &overlapped))
        throwServerError(TTransportException::INTERNAL_ERROR, "failed to wait client", GetLastError());
    DWORD error = GetLastError();

    while (error != ERROR_PIPE_CONNECTED) {
        if (error == ERROR_IO_PENDING) {
            interruptibleWait(handle_.get(), overlapped, interruptEvent_->get(), INFINITE);
            DWORD ignored = 0;
            if (!GetOverlappedResult(handle_.get(), &overlapped, &ignored, FALSE))
                throwServerError(TTransportException::INTERNAL_ERROR, "failed to wait client", GetLastError());
            break;
        }
        if (error != ERROR_NO_DATA)
            throwServerError(TTransportException::INTERNAL_ERROR, "failed to wait client", error);
        // A client connected and left before we saw it: drop it and wait again.
        DisconnectNamedPipe(handle_.get());
        event = makeEvent();
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.get();
        if (ConnectNamedPipe(handle_.get(), &overlapped))
            throwServerError(TTransportException::INTERNAL_ERROR, "failed to wait client", GetLastError());
        error = GetLastError();
    }
    event.reset();

    // Single instance: the server keeps the handle and the connection borrows it. Otherwise the
    // connection takes it over and a new instance waits for the next client.
    const HANDLE connected = singleInstance_ ? handle_.get() : handle_.release();
    auto client = std::make_shared<ConnectedPipeClient>(connected, interruptEvent_, singleInstance_, writeTimeout_,
                                                        firstCallTimeout_);
    if (!singleInstance_)
        createInstance(false);
    return client;
}

}  // namespace Overlay::Ipc
