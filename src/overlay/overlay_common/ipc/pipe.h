#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <thrift/transport/TVirtualTransport.h>

#include "win/unique_handle.h"

namespace Overlay::Ipc {

// "\\.\pipe\" + name.
std::string makePipePath(const std::string& name);

// Turns a Windows error code of a pipe operation into the transport exception the callers
// expect; `label` names the transport in the message ("Pipe", "PipeServer").
[[noreturn]] void throwPipeError(DWORD code, const std::string& label);

// Cancels a pending overlapped operation and waits until the system no longer uses its buffer.
void cancelAndWait(HANDLE handle, OVERLAPPED& overlapped);

// A new manual-reset, unnamed event; throws the system error when none can be made.
Win::UniqueHandle makeEvent();

// Pipe handle, overlapped records and time-outs shared by the client pipe and the server-side
// connection. Each direction has its own overlapped record, so a read and a write never share
// completion state.
class PipeBase
{
public:
    virtual ~PipeBase();
    PipeBase(const PipeBase&) = delete;
    PipeBase& operator=(const PipeBase&) = delete;

    DWORD readTimeout() const { return readTimeout_; }
    DWORD writeTimeout() const { return writeTimeout_; }

protected:
    PipeBase(const char* label, HANDLE handle, DWORD readTimeout, DWORD writeTimeout);

    // Finishes the overlapped operation that reported `error` and returns the bytes it
    // transferred; a failed or timed-out operation is cancelled and throws.
    virtual DWORD waitResult(DWORD error, OVERLAPPED& overlapped, DWORD timeout);

    bool handleValid() const { return handle_.valid(); }
    // Up to len bytes: what was read ahead, else one overlapped read.
    uint32_t readSome(uint8_t* buf, uint32_t len);
    void discardReadAhead() { readPosition_ = readLimit_ = 0; }
    void appendToMessage(const uint8_t* buf, uint32_t len);
    uint32_t readFromPipe(uint8_t* buf, uint32_t len);
    uint32_t sendMessage();
    void closeHandle();

    Win::UniqueFileHandle handle_;
    std::string label_;
    Win::UniqueHandle readEvent_;
    Win::UniqueHandle writeEvent_;
    OVERLAPPED readOverlapped_;
    OVERLAPPED writeOverlapped_;
    std::vector<uint8_t> writeBuffer_;
    // The protocol reads a message a few bytes at a time; each read of the pipe takes whatever
    // has arrived, up to this buffer's size, so that those small reads cost no system call.
    std::vector<uint8_t> readBuffer_;
    size_t readPosition_ = 0;
    size_t readLimit_ = 0;
    DWORD readTimeout_;
    DWORD writeTimeout_;
};

// The Thrift transport surface common to both pipe ends. Reads count against the configured
// maximum message size; readEnd starts the count again for the next message.
template <class Derived>
class PipeTransport : public PipeBase, public apache::thrift::transport::TVirtualTransport<Derived>
{
public:
    bool isOpen() const override { return handleValid(); }
    bool peek() override { return handleValid(); }

    uint32_t read(uint8_t* buf, uint32_t len)
    {
        const uint32_t count = readSome(buf, len);
        this->countConsumedMessageBytes(static_cast<long>(count));
        return count;
    }

    void write(const uint8_t* buf, uint32_t len) { appendToMessage(buf, len); }

    uint32_t readEnd() override
    {
        this->resetConsumedMessageSize();
        return 0;
    }

    uint32_t writeEnd() override { return sendMessage(); }
    void flush() override {}

protected:
    using PipeBase::PipeBase;
};

// Client end of a named pipe. Writes are gathered until writeEnd, so a message leaves in one
// burst.
class Pipe : public PipeTransport<Pipe>
{
public:
    static constexpr DWORD defaultTimeout = 3000;

    explicit Pipe(std::string path);
    ~Pipe() override;

    void setReadTimeout(DWORD ms) { readTimeout_ = ms; }
    void setWriteTimeout(DWORD ms) { writeTimeout_ = ms; }
    void setOpenTimeout(DWORD ms) { openTimeout_ = ms; }
    DWORD openTimeout() const { return openTimeout_; }
    const std::string& path() const { return path_; }

    // Connects to the server; a busy server is waited for within the open time-out.
    void open() override;
    // Closes the handle; bytes of an unfinished message stay buffered.
    void close() override;

private:
    std::string path_;
    DWORD openTimeout_;
};

}  // namespace Overlay::Ipc
