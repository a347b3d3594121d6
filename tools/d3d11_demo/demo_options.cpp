#include "demo_options.h"

namespace Demo {
namespace {

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

// Takes the option's value from `table`; otherwise fails with "unknown WHAT 'VALUE'".
template <size_t N>
bool lookUp(DemoCommon::Arguments& arguments, const NamedValue (&table)[N], const char* what, unsigned& value)
{
    std::string name;
    if (!arguments.value(name)) {
        return false;
    }
    for (const auto& entry : table) {
        if (name == entry.name) {
            value = entry.value;
            return true;
        }
    }
    return arguments.fail(std::string("unknown ") + what + " '" + name + "'");
}

bool isFlip(DXGI_SWAP_EFFECT effect)
{
    return effect == 3 || effect == 4;
}

bool parseOwnOption(DemoCommon::Arguments& arguments, Options& options)
{
    const std::string& arg = arguments.name();
    uint64_t number = 0;
    unsigned named = 0;
    if (arg == "--swap-effect") {
        if (!lookUp(arguments, swapEffects, "swap effect", named)) {
            return false;
        }
        options.swapEffect = static_cast<DXGI_SWAP_EFFECT>(named);
    } else if (arg == "--buffers") {
        if (!arguments.number(1, 16, "1 to 16", number)) {
            return false;
        }
        options.bufferCount = static_cast<uint32_t>(number);
    } else if (arg == "--format") {
        if (!lookUp(arguments, formats, "format", named)) {
            return false;
        }
        options.format = static_cast<DXGI_FORMAT>(named);
    } else if (arg == "--windows") {
        if (!arguments.number(1, 8, "1 to 8", number)) {
            return false;
        }
        options.windows = static_cast<uint32_t>(number);
    } else if (arg == "--feature-level") {
        if (!lookUp(arguments, featureLevels, "feature level", named)) {
            return false;
        }
        options.maxFeatureLevel = static_cast<D3D_FEATURE_LEVEL>(named);
    } else if (arg == "--factory") {
        options.factorySwapChain = true;
    } else if (arg == "--bgra") {
        options.bgraDevice = true;
    } else if (arg == "--no-state-check") {
        options.checkState = false;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    options = Options{};
    if (!DemoCommon::parseOptions(
            args, options, 4,
            [&options](DemoCommon::Arguments& arguments) { return parseOwnOption(arguments, options); }, error)) {
        return false;
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
    return DemoCommon::usageText(
        "d3d11_demo: a Direct3D 11 test game that draws a moving coloured pattern.",
        "  --swap-effect E         discard | sequential | flip-sequential | flip-discard (default discard)\n"
        "  --buffers N             swap-chain buffer count (default 1, 2 for flip effects)\n"
        "  --format F              rgba8 | bgra8 | rgba8-srgb | bgra8-srgb | rgb10a2 | rgba16f (default rgba8)\n"
        "  --windows N             N windows side by side, each with a swap chain on the one device (default 1)\n"
        "  --feature-level L       highest feature level to ask for: 9_1 ... 11_0\n"
        "  --factory               create the swap chains through the DXGI factory\n"
        "  --bgra                  create the device with D3D11_CREATE_DEVICE_BGRA_SUPPORT\n"
        "  --no-state-check        do not check the pipeline state at the start of each frame\n",
        4, "R resizes the first window, Escape quits.");
}

}  // namespace Demo
