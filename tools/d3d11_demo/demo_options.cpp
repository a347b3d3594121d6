#include "demo_options.h"

#include <cstdlib>
#include <cerrno>

namespace Demo {
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

bool parsePair(const std::string& text, char separator, int32_t& first, int32_t& second)
{
    const auto at = text.find(separator);
    return at != std::string::npos && parseSigned(text.substr(0, at), first) &&
           parseSigned(text.substr(at + 1), second);
}

// "FRAME:WxH"
bool parseResizeStep(const std::string& text, ResizeStep& step)
{
    const auto colon = text.find(':');
    return colon != std::string::npos && parseUnsigned(text.substr(0, colon), UINT64_MAX, step.frame) &&
           parseSize(text.substr(colon + 1), step.width, step.height);
}

struct NamedValue
{
    const char* name;
    unsigned value;
};

const NamedValue swapEffects[] = {
    {"discard", DXGI_SWAP_EFFECT_DISCARD},
    {"sequential", DXGI_SWAP_EFFECT_SEQUENTIAL},
    {"flip-sequential", 3},  // DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL
    {"flip-discard", 4},     // DXGI_SWAP_EFFECT_FLIP_DISCARD
};

const NamedValue formats[] = {
    {"rgba8", DXGI_FORMAT_R8G8B8A8_UNORM},           {"bgra8", DXGI_FORMAT_B8G8R8A8_UNORM},
    {"rgba8-srgb", DXGI_FORMAT_R8G8B8A8_UNORM_SRGB}, {"bgra8-srgb", DXGI_FORMAT_B8G8R8A8_UNORM_SRGB},
    {"rgb10a2", DXGI_FORMAT_R10G10B10A2_UNORM},      {"rgba16f", DXGI_FORMAT_R16G16B16A16_FLOAT},
};

const NamedValue featureLevels[] = {
    {"9_1", D3D_FEATURE_LEVEL_9_1},   {"9_2", D3D_FEATURE_LEVEL_9_2},   {"9_3", D3D_FEATURE_LEVEL_9_3},
    {"10_0", D3D_FEATURE_LEVEL_10_0}, {"10_1", D3D_FEATURE_LEVEL_10_1}, {"11_0", D3D_FEATURE_LEVEL_11_0},
};

template <size_t N>
bool lookUp(const NamedValue (&table)[N], const std::string& name, unsigned& value)
{
    for (const auto& entry : table) {
        if (name == entry.name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

bool isFlip(DXGI_SWAP_EFFECT effect)
{
    return effect == 3 || effect == 4;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    options = Options{};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        uint64_t number = 0;
        unsigned named = 0;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--size") {
            if (!value(v) || !parseSize(v, options.width, options.height)) {
                error = error.empty() ? "--size expects WIDTHxHEIGHT, got '" + v + "'" : error;
                return false;
            }
        } else if (arg == "--pos") {
            if (!value(v) || !parsePair(v, ',', options.x, options.y)) {
                error = error.empty() ? "--pos expects X,Y, got '" + v + "'" : error;
                return false;
            }
        } else if (arg == "--swap-effect") {
            if (!value(v) || !lookUp(swapEffects, v, named)) {
                error = error.empty() ? "unknown swap effect '" + v + "'" : error;
                return false;
            }
            options.swapEffect = static_cast<DXGI_SWAP_EFFECT>(named);
        } else if (arg == "--buffers") {
            if (!value(v) || !parseUnsigned(v, 16, number) || number == 0) {
                error = error.empty() ? "--buffers expects 1 to 16, got '" + v + "'" : error;
                return false;
            }
            options.bufferCount = static_cast<uint32_t>(number);
        } else if (arg == "--format") {
            if (!value(v) || !lookUp(formats, v, named)) {
                error = error.empty() ? "unknown format '" + v + "'" : error;
                return false;
            }
            options.format = static_cast<DXGI_FORMAT>(named);
        } else if (arg == "--frames") {
            if (!value(v) || !parseUnsigned(v, UINT64_MAX, number)) {
                error = error.empty() ? "--frames expects a number, got '" + v + "'" : error;
                return false;
            }
            options.frames = number;
        } else if (arg == "--sync") {
            if (!value(v) || !parseUnsigned(v, 4, number)) {
                error = error.empty() ? "--sync expects 0 to 4, got '" + v + "'" : error;
                return false;
            }
            options.syncInterval = static_cast<uint32_t>(number);
        } else if (arg == "--windows") {
            if (!value(v) || !parseUnsigned(v, 8, number) || number == 0) {
                error = error.empty() ? "--windows expects 1 to 8, got '" + v + "'" : error;
                return false;
            }
            options.windows = static_cast<uint32_t>(number);
        } else if (arg == "--feature-level") {
            if (!value(v) || !lookUp(featureLevels, v, named)) {
                error = error.empty() ? "unknown feature level '" + v + "'" : error;
                return false;
            }
            options.maxFeatureLevel = static_cast<D3D_FEATURE_LEVEL>(named);
        } else if (arg == "--report-input") {
            if (!value(v) || !parseUnsigned(v, UINT64_MAX, number)) {
                error = error.empty() ? "--report-input expects a number of frames, got '" + v + "'" : error;
                return false;
            }
            options.reportInputEvery = number;
        } else if (arg == "--resize-at") {
            ResizeStep step;
            if (!value(v) || !parseResizeStep(v, step)) {
                error = error.empty() ? "--resize-at expects FRAME:WIDTHxHEIGHT, got '" + v + "'" : error;
                return false;
            }
            options.resizes.push_back(step);
        } else if (arg == "--factory") {
            options.factorySwapChain = true;
        } else if (arg == "--bgra") {
            options.bgraDevice = true;
        } else if (arg == "--hidden") {
            options.hidden = true;
        } else if (arg == "--no-state-check") {
            options.checkState = false;
        } else {
            error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    if (options.bufferCount == 1 && isFlip(options.swapEffect)) {
        error = "flip swap effects need at least 2 buffers";
        return false;
    }
    return true;
}

uint32_t effectiveBufferCount(const Options& options)
{
    if (options.bufferCount != 0) {
        return options.bufferCount;
    }
    return isFlip(options.swapEffect) ? 2 : 1;
}

std::string usageText()
{
    return "d3d11_demo: a Direct3D 11 test game that draws a moving coloured pattern.\n"
           "\n"
           "Options:\n"
           "  --size WxH              client size of each window (default 800x600)\n"
           "  --pos X,Y               position of the first window (default 40,40)\n"
           "  --swap-effect E         discard | sequential | flip-sequential | flip-discard (default discard)\n"
           "  --buffers N             swap-chain buffer count (default 1, 2 for flip effects)\n"
           "  --format F              rgba8 | bgra8 | rgba8-srgb | bgra8-srgb | rgb10a2 | rgba16f (default rgba8)\n"
           "  --frames N              quit after N frames (default: run until the window is closed)\n"
           "  --sync N                Present sync interval 0 to 4 (default 1)\n"
           "  --windows N             N windows, each with a swap chain on the one device (default 1)\n"
           "  --feature-level L       highest feature level to ask for: 9_1 ... 11_0\n"
           "  --resize-at F:WxH       resize the first window to WxH before frame F (repeatable)\n"
           "  --factory               create the swap chains through the DXGI factory\n"
           "  --bgra                  create the device with D3D11_CREATE_DEVICE_BGRA_SUPPORT\n"
           "  --no-state-check        do not check the pipeline state at the start of each frame\n"
           "  --hidden                do not show the windows (automated runs)\n"
           "  --report-input N        print the input counts every N frames (they are printed on exit anyway)\n"
           "  --help                  this text\n"
           "\n"
           "Keys: R resizes the window to a random size, Escape quits.\n";
}

}  // namespace Demo
