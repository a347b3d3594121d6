// d3d12_demo: a small Direct3D 12 game for trying the overlay. See tools/d3d12_demo/README.md.
#include "d3d12_demo_game.h"

#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

std::string toUtf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string result(static_cast<size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    return result;
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; argv && i < argc; ++i) {
        args.push_back(toUtf8(argv[i]));
    }
    LocalFree(argv);

    Demo12::Options options;
    std::string error;
    if (!Demo12::parseOptions(args, options, error)) {
        std::fprintf(stderr, "d3d12_demo: %s\n\n%s", error.c_str(), Demo12::usageText().c_str());
        return 2;
    }
    if (options.help) {
        std::printf("%s", Demo12::usageText().c_str());
        return 0;
    }
    try {
        Demo12::DemoGame game(options);
        return game.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "d3d12_demo: %s\n", e.what());
        return 1;
    }
}
