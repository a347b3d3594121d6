#pragma once

// One event of the reference host: a JSON object written as one line on standard output.
//
//     JsonLine("bounds").number("left", 0).number("right", 800).emit();
//     // {"event":"bounds","left":0,"right":800}
//
// Keys keep the order they were added in. Scripts parse every line, so a line is valid JSON
// whatever the client sends: a number that is not finite is written as null, and bytes that are
// not UTF-8 in a text become U+FFFD.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
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
        static_assert(std::is_arithmetic<Number>::value && !std::is_same<Number, bool>::value, "numbers only");
        object_[name] = value;  // written as null when not finite
        return *this;
    }
    JsonLine& boolean(const char* name, bool value)
    {
        object_[name] = value;
        return *this;
    }
    JsonLine& text(const char* name, const std::string& value)
    {
        object_[name] = value;
        return *this;
    }
    JsonLine& rect(const char* name, int left, int top, int right, int bottom)
    {
        object_[name] = {{"left", left}, {"top", top}, {"right", right}, {"bottom", bottom}};
        return *this;
    }

    // The line without its end of line: compact, UTF-8 as it is (not \u escapes).
    std::string str() const { return object_.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace); }

    // Writes the line; lines from different threads never interleave.
    void emit() const
    {
        const std::string line = str() + "\n";
        static std::mutex mutex;
        std::lock_guard<std::mutex> guard(mutex);
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }

    static void error(const std::string& message) { JsonLine("error").text("message", message).emit(); }

private:
    nlohmann::ordered_json object_ = nlohmann::ordered_json::object();
};

}  // namespace Overlay::Host
