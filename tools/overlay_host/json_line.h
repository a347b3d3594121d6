#pragma once

// One event of the reference host: a JSON object written as one line on standard output.
//
//     JsonLine("bounds").number("left", 0).number("right", 800).emit();
//     // {"event":"bounds","left":0,"right":800}

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <type_traits>

namespace Overlay::Host {

class JsonLine
{
public:
    // With timestamps on, every line carries "qpc": QueryPerformanceCounter when the line was made,
    // that is when the host got the event (one clock for all processes of the machine).
    explicit JsonLine(const std::string& event)
    {
        text("event", event);
        if (timestamps().load()) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            number("qpc", now.QuadPart);
        }
    }
    static std::atomic<bool>& timestamps()
    {
        static std::atomic<bool> enabled{false};
        return enabled;
    }

    template <class Number>
    JsonLine& number(const char* name, Number value)
    {
        static_assert(std::is_arithmetic<Number>::value, "numbers only");
        key(name);
        if constexpr (std::is_floating_point<Number>::value) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.17g", double(value));
            line_ += buffer;
        } else {
            line_ += std::to_string(value);
        }
        return *this;
    }
    JsonLine& boolean(const char* name, bool value)
    {
        key(name);
        line_ += value ? "true" : "false";
        return *this;
    }
    JsonLine& text(const char* name, const std::string& value)
    {
        key(name);
        line_ += '"';
        for (unsigned char c : value) {
            if (c == '"' || c == '\\') {
                line_ += '\\';
                line_ += char(c);
            } else if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                line_ += escaped;
            } else {
                line_ += char(c);
            }
        }
        line_ += '"';
        return *this;
    }
    JsonLine& rect(const char* name, int left, int top, int right, int bottom)
    {
        key(name);
        line_ += "{\"left\":" + std::to_string(left) + ",\"top\":" + std::to_string(top) +
                 ",\"right\":" + std::to_string(right) + ",\"bottom\":" + std::to_string(bottom) + "}";
        return *this;
    }

    // Writes the line; lines from different threads never interleave.
    void emit()
    {
        static std::mutex mutex;
        std::lock_guard<std::mutex> guard(mutex);
        std::fputs((line_ + "}\n").c_str(), stdout);
        std::fflush(stdout);
    }

    static void error(const std::string& message) { JsonLine("error").text("message", message).emit(); }

private:
    void key(const char* name)
    {
        line_ += line_.empty() ? "{\"" : ",\"";
        line_ += name;
        line_ += "\":";
    }

    std::string line_;
};

}  // namespace Overlay::Host
