#pragma once
// The command line every demo game shares: window size and place, frame limit, sync interval,
// scripted resizes, hidden windows and input reports. A game adds its own options through a
// callback and keeps their help lines to itself.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace DemoCommon {

// Resize the first window's client area to width x height before the given frame is drawn.
struct ResizeStep
{
    uint64_t frame = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

struct CommonOptions
{
    uint32_t width = 800;
    uint32_t height = 600;
    int32_t x = 40;
    int32_t y = 40;
    // 0 runs until the window is closed.
    uint64_t frames = 0;
    uint32_t syncInterval = 1;
    // Keep the windows hidden (automated runs).
    bool hidden = false;
    // No background thread, and the frame loop allocates every frame: a game that renders on its
    // only thread and never waits in the system.
    bool singleThread = false;
    // Print the input counts every N frames (0: only on exit).
    uint64_t reportInputEvery = 0;
    // Also read the input through raw input, the polled key states, DirectInput and XInput every
    // frame, and print a "channels ..." line with each input report.
    bool inputChannels = false;
    std::vector<ResizeStep> resizes;
    bool help = false;
};

// The option a game's own parser is looking at, with the means to take its value.
class Arguments
{
public:
    Arguments(const std::vector<std::string>& args, std::string& error) : args_(args), error_(error) {}

    // Moves to the next option; false at the end.
    bool next() { return ++index_ < args_.size(); }
    const std::string& name() const { return args_[index_]; }
    // Takes the option's value; false with "NAME needs a value" when none follows.
    bool value(std::string& out);
    // Takes the option's value as a whole number in [minimum, maximum]; otherwise false with
    // "NAME expects EXPECTED, got 'VALUE'".
    bool number(uint64_t minimum, uint64_t maximum, const char* expected, uint64_t& out);
    // Reports a bad value (unless an error was reported already); always false.
    bool fail(const std::string& message);
    bool failed() const { return !error_.empty(); }

private:
    const std::vector<std::string>& args_;
    std::string& error_;
    size_t index_ = static_cast<size_t>(-1);
};

// Takes the game's own options: true when it knew the option, false for an unknown one or (after
// Arguments::fail) a bad value.
using OwnOptions = std::function<bool(Arguments&)>;

// Parses the arguments (without the program name) into `options`, leaving the game's own options to
// `own`. Returns false and fills `error` on bad input.
bool parseOptions(const std::vector<std::string>& args, CommonOptions& options, uint32_t maxSyncInterval,
                  const OwnOptions& own, std::string& error);

// A game's help: its one-line description, its own options' lines (each "  --name ...\n", placed
// in the list of the shared ones) and its keys line.
std::string usageText(const char* about, const char* ownOptions, uint32_t maxSyncInterval, const char* keys);

}  // namespace DemoCommon
