#pragma once

#include <cstdint>
#include <future>
#include <string>

#include <thrift/transport/TTransport.h>
#include <thrift/transport/TTransportException.h>

namespace IpcTest {

// Type and text of the transport exception an action throws; type -1 when none.
struct Failure
{
    int type = -1;
    std::string text;
};

template <class Action>
Failure transportFailure(Action&& action)
{
    try {
        action();
    } catch (const apache::thrift::transport::TTransportException& e) {
        return {e.getType(), e.what()};
    }
    return {};
}

inline void send(apache::thrift::transport::TTransport& transport, const std::string& text)
{
    transport.write(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()));
    transport.writeEnd();
    transport.flush();
}

inline std::string receive(apache::thrift::transport::TTransport& transport, uint32_t length)
{
    std::string text(length, '\0');
    transport.readAll(reinterpret_cast<uint8_t*>(&text[0]), length);
    return text;
}

// A pipe write completes only once the other end has read it, so the sender runs on a thread.
inline std::string exchange(apache::thrift::transport::TTransport& from, apache::thrift::transport::TTransport& to,
                            const std::string& text)
{
    auto sending = std::async(std::launch::async, [&] { send(from, text); });
    std::string received = receive(to, uint32_t(text.size()));
    sending.get();
    return received;
}

} // namespace IpcTest
