#pragma once
// The demo games' program: the command line read as UTF-8, the options parsed, the game run. Errors
// go to standard error under the program's name; the exit code is 2 for a bad command line, 1 when
// the game could not run, else the game's own.

#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace DemoCommon {

inline std::string toUtf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string result(static_cast<size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    return result;
}

template <class Options, class Game, class Parse, class Usage>
int runDemo(const char* program, Parse parseOptions, Usage usageText)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; argv && i < argc; ++i) {
        args.push_back(toUtf8(argv[i]));
    }
    LocalFree(argv);

    Options options;
    std::string error;
    if (!parseOptions(args, options, error)) {
        std::fprintf(stderr, "%s: %s\n\n%s", program, error.c_str(), usageText().c_str());
        return 2;
    }
    if (options.help) {
        std::printf("%s", usageText().c_str());
        return 0;
    }
    // Like a real game's background threads (audio, streaming), one waits on an event all along.
    // Under Wine a thread that another process starts here (the host injecting the overlay) is made
    // by a waiting thread when there is one; otherwise Wine interrupts the busy render thread, which
    // hangs when it is inside the C library's allocator (often, with software Vulkan).
    // With --single-thread there is none, as in games that render on their only thread.
    const HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread background;
    if (!options.singleThread) {
        background = std::thread([quit] { WaitForSingleObject(quit, INFINITE); });
    }
    struct Join
    {
        HANDLE quit;
        std::thread& thread;
        ~Join()
        {
            SetEvent(quit);
            if (thread.joinable()) {
                thread.join();
            }
            CloseHandle(quit);
        }
    } join{quit, background};
    try {
        Game game(options);
        return game.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return 1;
    }
}

}  // namespace DemoCommon
