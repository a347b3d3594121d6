#include "overlay/overlay_common/ipc/pipe.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <thrift/transport/TTransportException.h>

#include "err/err.h"

using apache::thrift::transport::TTransportException;

namespace Overlay::Ipc {

namespace {

constexpr uint32_t readAheadSize = 4096;

OVERLAPPED freshOverlapped(HANDLE event)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    return overlapped;
}

uint64_t elapsedMilliseconds(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(now.QuadPart - start.QuadPart) * 1000u / static_cast<uint64_t>(frequency.QuadPart);
}

}  // namespace

std::string makePipePath(const std::string& name)
{
    return "\\\\.\\pipe\\" + name;
}

void throwPipeError(DWORD code, const std::string& label)
{
    TTransportException::TTransportExceptionType type = TTransportException::INTERNAL_ERROR;
    const char* text = "Internal error";
    switch (code) {
    case ERROR_INVALID_HANDLE:
        type = TTransportException::NOT_OPEN;
        text = "Pipe is not open";
        break;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
        type = TTransportException::END_OF_FILE;
        text = "The other end of the pipe has been closed or disconnected";
        break;
    case WAIT_TIMEOUT:
    case ERROR_IO_INCOMPLETE:
        type = TTransportException::TIMED_OUT;
        text = "Wait timed out";
        break;
    default: break;
    }
    throw TTransportException(type, label + ": msg = '" + text + "', errorCode = " + std::to_string(code));
}

void cancelAndWait(HANDLE handle, OVERLAPPED& overlapped)
{
    if (!CancelIoEx(handle, &overlapped) && GetLastError() == ERROR_NOT_FOUND)
        return;  // already finished
    WaitForSingleObject(overlapped.hEvent, INFINITE);
    DWORD ignored = 0;
    GetOverlappedResult(handle, &overlapped, &ignored, FALSE);
}

Win::UniqueHandle makeEvent()
{
    Win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        Err::throwLastError("Failed to create event.");
    }
    return event;
}

PipeBase::PipeBase(const char* label, HANDLE handle, DWORD readTimeout, DWORD writeTimeout)
    : handle_(handle), label_(label), readEvent_(makeEvent()), writeEvent_(makeEvent()), readOverlapped_(),
      writeOverlapped_(), readTimeout_(readTimeout), writeTimeout_(writeTimeout)
{
    readOverlapped_.hEvent = readEvent_.get();
    writeOverlapped_.hEvent = writeEvent_.get();
}

PipeBase::~PipeBase()
{
    closeHandle();
}

void PipeBase::closeHandle()
{
    discardReadAhead();
    handle_.reset();
}

DWORD PipeBase::waitResult(DWORD error, OVERLAPPED& overlapped, DWORD timeout)
{
    if (error != ERROR_IO_PENDING)
        throwPipeError(error, label_);

    DWORD code = ERROR_SUCCESS;
    DWORD count = 0;
    if (!handle_) {
        code = ERROR_INVALID_HANDLE;
    } else if (timeout != 0 && WaitForSingleObject(overlapped.hEvent, timeout) == WAIT_TIMEOUT) {
        code = WAIT_TIMEOUT;
    } else if (!GetOverlappedResult(handle_.get(), &overlapped, &count, FALSE)) {
        code = GetLastError();
    }
    if (code == ERROR_SUCCESS)
        return count;
    if (code == ERROR_IO_INCOMPLETE || code == WAIT_TIMEOUT)
        cancelAndWait(handle_.get(), overlapped);
    throwPipeError(code, label_);
}

uint32_t PipeBase::readSome(uint8_t* buf, uint32_t len)
{
    if (!buf)
        throwPipeError(ERROR_BAD_ARGUMENTS, label_);
    if (readPosition_ == readLimit_) {
        // Large reads go straight into the caller's buffer.
        if (len >= readAheadSize)
            return readFromPipe(buf, len);
        readBuffer_.resize(readAheadSize);
        readLimit_ = readFromPipe(readBuffer_.data(), readAheadSize);
        readPosition_ = 0;
    }
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(len, readLimit_ - readPosition_));
    std::memcpy(buf, readBuffer_.data() + readPosition_, count);
    readPosition_ += count;
    return count;
}

uint32_t PipeBase::readFromPipe(uint8_t* buf, uint32_t len)
{
    // INVALID_HANDLE_VALUE doubles as the current-process pseudo handle; never pass it on.
    if (!handle_)
        throwPipeError(ERROR_INVALID_HANDLE, label_);

    readOverlapped_ = freshOverlapped(readEvent_.get());
    DWORD count = 0;
    if (ReadFile(handle_.get(), buf, len, &count, &readOverlapped_))
        return count;
    return waitResult(GetLastError(), readOverlapped_, readTimeout_);
}

void PipeBase::appendToMessage(const uint8_t* buf, uint32_t len)
{
    if (!buf)
        throwPipeError(ERROR_BAD_ARGUMENTS, label_);
    writeBuffer_.insert(writeBuffer_.end(), buf, buf + len);
}

uint32_t PipeBase::sendMessage()
{
    // Whatever happens, the message is gone afterwards: a failed one must not be resent
    // in front of the next.
    std::vector<uint8_t> message;
    message.swap(writeBuffer_);

    if (!handle_)
        throwPipeError(ERROR_INVALID_HANDLE, label_);

    const DWORD total = static_cast<DWORD>(message.size());
    DWORD sent = 0;
    while (sent < total) {
        writeOverlapped_ = freshOverlapped(writeEvent_.get());
        DWORD count = 0;
        if (WriteFile(handle_.get(), message.data() + sent, total - sent, &count, &writeOverlapped_))
            sent += count;
        else
            sent += waitResult(GetLastError(), writeOverlapped_, writeTimeout_);
    }
    // Keep the capacity for the next message.
    message.clear();
    if (writeBuffer_.empty())
        writeBuffer_.swap(message);
    return sent;
}

Pipe::Pipe(std::string path)
    : PipeTransport<Pipe>("Pipe", INVALID_HANDLE_VALUE, defaultTimeout, defaultTimeout), path_(std::move(path)),
      openTimeout_(defaultTimeout)
{
}

Pipe::~Pipe() = default;

void Pipe::open()
{
    if (handleValid())
        return;

    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    uint64_t budget = openTimeout_;
    for (;;) {
        // A process that took the host's pipe name first may identify us but never act as us.
        const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
        Win::UniqueFileHandle handle(
            CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
        if (handle) {
            discardReadAhead();
            handle_ = std::move(handle);
            return;
        }
        switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            throw TTransportException(TTransportException::NOT_OPEN, "Failed to open pipe, server is not running");
        case ERROR_ACCESS_DENIED:
            throw TTransportException(TTransportException::NOT_OPEN, "Failed to open pipe, access denied");
        case ERROR_PIPE_BUSY: {
            // The elapsed time counts from the first attempt and is taken off the budget
            // that is left, so repeated busy answers use the budget up quickly.
            const uint64_t elapsed = elapsedMilliseconds(start);
            if (elapsed >= budget)
                throw TTransportException(TTransportException::NOT_OPEN, "Failed to open pipe, pipe server is busy");
            budget -= elapsed;
            WaitNamedPipeA(path_.c_str(), static_cast<DWORD>(budget));
            break;
        }
        default: throw TTransportException(TTransportException::NOT_OPEN, "Failed to open pipe");
        }
    }
}

void Pipe::close()
{
    closeHandle();
}

}  // namespace Overlay::Ipc
