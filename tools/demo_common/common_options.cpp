#include "common_options.h"

#include <cerrno>
#include <cstdlib>

namespace DemoCommon {
namespace {

bool parseUnsigned(const std::string& text, uint64_t maxValue, uint64_t& value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > maxValue) {
        return false;
    }
    value = parsed;
    return true;
}

bool parseSigned(const std::string& text, int32_t& value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || parsed < -100000 || parsed > 100000) {
        return false;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}

// "WxH"
bool parseSize(const std::string& text, uint32_t& width, uint32_t& height)
{
    const auto x = text.find('x');
    if (x == std::string::npos) {
        return false;
    }
    uint64_t w = 0;
    uint64_t h = 0;
    if (!parseUnsigned(text.substr(0, x), 16384, w) || !parseUnsigned(text.substr(x + 1), 16384, h) || w == 0 ||
        h == 0) {
        return false;
    }
    width = static_cast<uint32_t>(w);
    height = static_cast<uint32_t>(h);
    return true;
}

// "X,Y"
bool parsePosition(const std::string& text, int32_t& x, int32_t& y)
{
    const auto comma = text.find(',');
    return comma != std::string::npos && parseSigned(text.substr(0, comma), x) &&
           parseSigned(text.substr(comma + 1), y);
}

// "FRAME:WxH"
bool parseResizeStep(const std::string& text, ResizeStep& step)
{
    const auto colon = text.find(':');
    return colon != std::string::npos && parseUnsigned(text.substr(0, colon), UINT64_MAX, step.frame) &&
           parseSize(text.substr(colon + 1), step.width, step.height);
}

}  // namespace

bool Arguments::value(std::string& out)
{
    if (index_ + 1 >= args_.size()) {
        return fail(name() + " needs a value");
    }
    out = args_[++index_];
    return true;
}

bool Arguments::number(uint64_t minimum, uint64_t maximum, const char* expected, uint64_t& out)
{
    std::string text;
    if (!value(text)) {
        return false;
    }
    if (!parseUnsigned(text, maximum, out) || out < minimum) {
        return fail(args_[index_ - 1] + " expects " + expected + ", got '" + text + "'");
    }
    return true;
}

bool Arguments::fail(const std::string& message)
{
    if (error_.empty()) {
        error_ = message;
    }
    return false;
}

bool parseOptions(const std::vector<std::string>& args, CommonOptions& options, uint32_t maxSyncInterval,
                  const OwnOptions& own, std::string& error)
{
    Arguments arguments(args, error);
    while (arguments.next()) {
        const std::string arg = arguments.name();
        std::string text;
        uint64_t number = 0;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--hidden") {
            options.hidden = true;
        } else if (arg == "--single-thread") {
            options.singleThread = true;
        } else if (arg == "--input-channels") {
            options.inputChannels = true;
        } else if (arg == "--size") {
            if (!arguments.value(text) || !parseSize(text, options.width, options.height)) {
                return arguments.fail("--size expects WIDTHxHEIGHT, got '" + text + "'");
            }
        } else if (arg == "--pos") {
            if (!arguments.value(text) || !parsePosition(text, options.x, options.y)) {
                return arguments.fail("--pos expects X,Y, got '" + text + "'");
            }
        } else if (arg == "--frames") {
            if (!arguments.number(0, UINT64_MAX, "a number", number)) {
                return false;
            }
            options.frames = number;
        } else if (arg == "--sync") {
            const std::string expected = "0 to " + std::to_string(maxSyncInterval);
            if (!arguments.number(0, maxSyncInterval, expected.c_str(), number)) {
                return false;
            }
            options.syncInterval = static_cast<uint32_t>(number);
        } else if (arg == "--report-input") {
            if (!arguments.number(0, UINT64_MAX, "a number of frames", number)) {
                return false;
            }
            options.reportInputEvery = number;
        } else if (arg == "--resize-at") {
            ResizeStep step;
            if (!arguments.value(text) || !parseResizeStep(text, step)) {
                return arguments.fail("--resize-at expects FRAME:WIDTHxHEIGHT, got '" + text + "'");
            }
            options.resizes.push_back(step);
        } else if (!own(arguments)) {
            return arguments.fail("unknown argument '" + arg + "'");
        }
    }
    return true;
}

std::string usageText(const char* about, const char* ownOptions, uint32_t maxSyncInterval, const char* keys)
{
    const std::string sync = maxSyncInterval == 1
                                 ? "0 presents immediately, 1 waits for the vertical blank (default)"
                                 : "Present sync interval 0 to " + std::to_string(maxSyncInterval) + " (default 1)";
    return std::string(about) +
           "\n"
           "\n"
           "Options:\n"
           "  --size WxH              client size of the window(s) (default 800x600)\n"
           "  --pos X,Y               position of the (first) window (default 40,40)\n"
           "  --frames N              quit after N frames (default: run until the window is closed)\n"
           "  --sync N                " +
           sync +
           "\n"
           "  --resize-at F:WxH       resize the (first) window to WxH before frame F (repeatable)\n" +
           ownOptions +
           "  --hidden                do not show the window(s) (automated runs)\n"
           "  --single-thread         no background thread; the frame loop allocates every frame\n"
           "  --report-input N        print the input counts every N frames (they are printed on exit anyway)\n"
           "  --input-channels        also read the input every frame through raw input (WM_INPUT and\n"
           "                          GetRawInputBuffer), GetAsyncKeyState, GetKeyState, GetKeyboardState,\n"
           "                          DirectInput 8 (immediate and buffered) and XInput, and print with each\n"
           "                          input count 'channels frames=N message=P:H raw=P:H ...': the presses P\n"
           "                          each channel saw and the virtual keys H it holds now\n"
           "  --help                  this text\n"
           "\n"
           "Keys: " +
           keys + "\n";
}

}  // namespace DemoCommon
