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
    return static_cast<uint64_t>(now.QuadPart - start.QuadPart) * 1000u /
           static_cast<uint64_t>(frequency.QuadPart);
}

} // namespace

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
    default:
        break;
    }
    throw TTransportException(type, label + ": msg = '" + text + "', errorCode = " + std::to_string(code));
}

void cancelAndWait(HANDLE handle, OVERLAPPED& overlapped)
{
    if (!CancelIoEx(handle, &overlapped) && GetLastError() == ERROR_NOT_FOUND)
        return; // already finished
    WaitForSingleObject(overlapped.hEvent, INFINITE);
    DWORD ignored = 0;
    GetOverlappedResult(handle, &overlapped, &ignored, FALSE);
}

Event::Event() : m_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_handle) {
        Err::makeSystemError(GetLastError(), "Failed to create event.")->raise();
    }
}

Event::~Event()
{
    CloseHandle(m_handle);
}

PipeBase::PipeBase(const char* label, HANDLE handle, DWORD readTimeout, DWORD writeTimeout)
    : m_handle(handle),
      m_label(label),
      m_readOverlapped(),
      m_writeOverlapped(),
      m_readTimeout(readTimeout),
      m_writeTimeout(writeTimeout)
{
    m_readOverlapped.hEvent = m_readEvent.get();
    m_writeOverlapped.hEvent = m_writeEvent.get();
}

PipeBase::~PipeBase()
{
    closeHandle();
}

void PipeBase::closeHandle()
{
    discardReadAhead();
    if (m_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
}

DWORD PipeBase::waitResult(DWORD error, OVERLAPPED& overlapped, DWORD timeout)
{
    if (error != ERROR_IO_PENDING)
        throwPipeError(error, m_label);

    DWORD code = ERROR_SUCCESS;
    DWORD count = 0;
    if (m_handle == INVALID_HANDLE_VALUE) {
        code = ERROR_INVALID_HANDLE;
    } else if (timeout != 0 && WaitForSingleObject(overlapped.hEvent, timeout) == WAIT_TIMEOUT) {
        code = WAIT_TIMEOUT;
    } else if (!GetOverlappedResult(m_handle, &overlapped, &count, FALSE)) {
        code = GetLastError();
    }
    if (code == ERROR_SUCCESS)
        return count;
    if (code == ERROR_IO_INCOMPLETE || code == WAIT_TIMEOUT)
        cancelAndWait(m_handle, overlapped);
    throwPipeError(code, m_label);
}

uint32_t PipeBase::readSome(uint8_t* buf, uint32_t len)
{
    if (!buf)
        throwPipeError(ERROR_BAD_ARGUMENTS, m_label);
    if (m_readPosition == m_readLimit) {
        // Large reads go straight into the caller's buffer.
        if (len >= readAheadSize)
            return readFromPipe(buf, len);
        m_readBuffer.resize(readAheadSize);
        m_readLimit = readFromPipe(m_readBuffer.data(), readAheadSize);
        m_readPosition = 0;
    }
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(len, m_readLimit - m_readPosition));
    std::memcpy(buf, m_readBuffer.data() + m_readPosition, count);
    m_readPosition += count;
    return count;
}

uint32_t PipeBase::readFromPipe(uint8_t* buf, uint32_t len)
{
    // INVALID_HANDLE_VALUE doubles as the current-process pseudo handle; never pass it on.
    if (m_handle == INVALID_HANDLE_VALUE)
        throwPipeError(ERROR_INVALID_HANDLE, m_label);

    m_readOverlapped = freshOverlapped(m_readEvent.get());
    DWORD count = 0;
    if (ReadFile(m_handle, buf, len, &count, &m_readOverlapped))
        return count;
    return waitResult(GetLastError(), m_readOverlapped, m_readTimeout);
}

void PipeBase::appendToMessage(const uint8_t* buf, uint32_t len)
{
    if (!buf)
        throwPipeError(ERROR_BAD_ARGUMENTS, m_label);
    m_writeBuffer.insert(m_writeBuffer.end(), buf, buf + len);
}

uint32_t PipeBase::sendMessage()
{
    // Whatever happens, the message is gone afterwards: a failed one must not be resent
    // in front of the next.
    std::vector<uint8_t> message;
    message.swap(m_writeBuffer);

    if (m_handle == INVALID_HANDLE_VALUE)
        throwPipeError(ERROR_INVALID_HANDLE, m_label);

    const DWORD total = static_cast<DWORD>(message.size());
    DWORD sent = 0;
    while (sent < total) {
        m_writeOverlapped = freshOverlapped(m_writeEvent.get());
        DWORD count = 0;
        if (WriteFile(m_handle, message.data() + sent, total - sent, &count, &m_writeOverlapped))
            sent += count;
        else
            sent += waitResult(GetLastError(), m_writeOverlapped, m_writeTimeout);
    }
    // Keep the capacity for the next message.
    message.clear();
    if (m_writeBuffer.empty())
        m_writeBuffer.swap(message);
    return sent;
}

Pipe::Pipe(std::string path)
    : PipeTransport<Pipe>("Pipe", INVALID_HANDLE_VALUE, defaultTimeout, defaultTimeout),
      m_path(std::move(path)),
      m_openTimeout(defaultTimeout)
{
}

Pipe::~Pipe() = default;

void Pipe::open()
{
    if (handleValid())
        return;

    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    uint64_t budget = m_openTimeout;
    for (;;) {
        HANDLE handle = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            discardReadAhead();
            m_handle = handle;
            return;
        }
        switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            throw TTransportException(TTransportException::NOT_OPEN,
                                      "Failed to open pipe, server is not running");
        case ERROR_ACCESS_DENIED:
            throw TTransportException(TTransportException::NOT_OPEN, "Failed to open pipe, access denied");
        case ERROR_PIPE_BUSY: {
            // The elapsed time counts from the first attempt and is taken off the budget
            // that is left, so repeated busy answers use the budget up quickly.
            const uint64_t elapsed = elapsedMilliseconds(start);
            if (elapsed >= budget)
                throw TTransportException(TTransportException::NOT_OPEN,
                                          "Failed to open pipe, pipe server is busy");
            budget -= elapsed;
            WaitNamedPipeA(m_path.c_str(), static_cast<DWORD>(budget));
            break;
        }
        default:
            throw TTransportException(TTransportException::NOT_OPEN, "Failed to open pipe");
        }
    }
}

void Pipe::close()
{
    closeHandle();
}

} // namespace Overlay::Ipc
