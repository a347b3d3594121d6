// overlay_host: the reference host. Injects overlay_client_x64.dll into a running game, drives it
// through its exports, serves OverlayHost on its pipe and shows its own picture as the overlay.
// Standard output carries one JSON object per line per event; progress goes to standard error.
// The command line, the commands and the events are documented in README.md.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "err/text_conversion.h"
#include "graphics_api.h"
#include "host_session.h"
#include "host_sdk/injection.h"
#include "json_line.h"
#include "overlay/overlay_client/overlay_client_api.h"
#include "overlay_version.h"
#include "host_sdk/remote_process.h"
#include "win/scope_guard.h"

namespace {

using namespace Overlay::Host;
namespace Stub = Overlay::Ipc::Stub;

constexpr const char* hostVersion = OVERLAY_VERSION_STRING;
// The version of the commands and events on standard input and output; a change that breaks a
// script that reads them raises it.
constexpr int hostProtocol = 1;
constexpr const wchar_t* dllFileName = L"overlay_client_x64.dll";
constexpr const wchar_t* dll32FileName = L"overlay_client_x86.dll";
constexpr const wchar_t* loaderFileName = L"overlay_loader_x64.dll";
constexpr const wchar_t* loader32FileName = L"overlay_loader_x86.dll";
constexpr const wchar_t* hook32FileName = L"overlay_hook_x86.exe";
// The export the game's import table names when the host launches it: one that does nothing.
constexpr const char* importedExport = "deinitializeOverlay";

struct Options
{
    std::wstring launch;  // the game's command line
    DWORD pid = 0;
    std::wstring dll;
    std::wstring dll32;  // for 32-bit games
    std::string pipe;
    uint32_t api = OverlayClientApi::GraphicApiDxgi;
    bool autoApi = false;  // api chosen from the game's modules once the DLL is in
    bool hotkeys = false;
    bool noCursorHook = false;
    bool timestamps = false;
    bool refuseRegistration = false;
    std::wstring logDir;
    DWORD timeoutMs = 30000;
    // Unset: an import for --launch, a message hook for --pid.
    std::optional<LoadMethod> loadWith;
};

std::wstring quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

std::wstring fullPath(const std::wstring& path)
{
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetFullPathNameW(path.c_str(), DWORD(std::size(buffer)), buffer, nullptr);
    return length == 0 || length >= std::size(buffer) ? path : std::wstring(buffer, length);
}

std::wstring besideHost(const wchar_t* fileName)
{
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, DWORD(std::size(buffer)));
    std::wstring path(buffer, length);
    const auto slash = path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + fileName;
}

bool fileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// `fileName` in the folder of `path`.
std::wstring beside(const std::wstring& path, const wchar_t* fileName)
{
    return path.substr(0, path.find_last_of(L"\\/") + 1) + fileName;
}

// overlay_loader_x64.dll next to the overlay DLL.
std::wstring loaderPath(const std::wstring& dllPath)
{
    return beside(dllPath, loaderFileName);
}

std::wstring loader32Path(const std::wstring& dllPath)
{
    return beside(dllPath, loader32FileName);
}

// A DWORD from `least` up, in decimal digits only: no sign (strtoul turns "-1" into 4294967295),
// no 0x, no spaces, nothing after it. Passed on without leading zeros, which CLI11 reads as octal.
CLI::Validator decimal(DWORD least)
{
    return CLI::Validator(
        [least](std::string& text) -> std::string {
            if (!text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos) {
                const unsigned long long value = std::stoull(text);
                if (value >= least && value <= MAXDWORD) {
                    text = std::to_string(value);
                    return {};
                }
            }
            return "'" + text + "' is not a whole number from " + std::to_string(least) + " to " +
                   std::to_string(MAXDWORD);
        },
        "");
}

// Parses the host's command line, or returns the exit code for one that asked for help or the
// version (0) or that is wrong (2, with the reason on standard error).
std::optional<int> parseOptions(const std::vector<std::wstring>& args, Options& options)
{
    CLI::App app("The reference host of the overlay client: brings the overlay DLL into a 64-bit game and drives "
                 "it.\nCommands on standard input; one JSON event per line on standard output (see README.md).",
                 "overlay_host.exe");
    app.get_formatter()->column_width(34);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // as before: the last one counts
    app.set_version_flag("--version", hostVersion, "Print the version and exit");
    app.footer("--api auto looks at the modules the game has loaded, the narrowest first, because Wine's Direct3D\n"
               "loads opengl32.dll itself and vkd3d and DXVK load Vulkan: d3d9.dll -> d3d9; dxgi.dll, d3d10*.dll,\n"
               "d3d11.dll, d3d12.dll -> dxgi; vulkan-1.dll -> vulkan; opengl32.dll -> opengl. It waits for one of\n"
               "them up to --timeout-ms.\n"
               "Everything after --launch GAME.exe is the game's command line: put the host's options first.");
    std::string launch, dll, dll32, logDir, api = "dxgi", loadWith;
    app.add_option("--launch", launch, "Start the game, with the arguments that follow it")
        ->type_name("GAME.exe [ARGS...]");
    app.add_option("--pid", options.pid, "Use the running process N (a Windows process id)")
        ->type_name("N")
        ->transform(decimal(1));
    app.add_option("--dll", dll, "The overlay DLL; default overlay_client_x64.dll next to the host")->type_name("PATH");
    app.add_option("--dll32", dll32, "The overlay DLL for 32-bit games; default overlay_client_x86.dll next to --dll")
        ->type_name("PATH");
    app.add_option("--load-with", loadWith, "How the DLL gets in; default import with --launch, hook with --pid")
        ->type_name("import|hook|thread")
        ->check(CLI::IsMember({"import", "hook", "thread"}).description(""));
    app.add_option("--pipe", options.pipe, "The host's pipe name; default overlay_host_ and 32 random hex digits")
        ->type_name("NAME");
    app.add_option("--api", api, "The graphics API to hook, or auto: from the game's modules; default dxgi")
        ->type_name("dxgi|d3d9|opengl|vulkan|auto")
        ->check(CLI::IsMember({"dxgi", "d3d9", "opengl", "vulkan", "auto"}).description(""));
    app.add_flag("--hotkeys", options.hotkeys, "Shift+Tab and Ctrl+Space in the game toggle the overlay");
    app.add_flag("--no-cursor-hook", options.noCursorHook, "No cursor hook");
    app.add_option("--log-dir", logDir, "The client's log folder; default the working folder")->type_name("DIR");
    app.add_option("--timeout-ms", options.timeoutMs,
                   "Milliseconds to wait for each step of the start and each export; default 30000")
        ->type_name("N")
        ->transform(decimal(0));
    app.add_flag("--timestamps", options.timestamps, "Every event carries qpc, when the host received it");
    app.add_flag("--refuse-registration", options.refuseRegistration, "Answer registerClient with result false");

    // The game's command line is not the host's: it goes from the word after --launch GAME.exe to
    // the end, whatever it holds. Values of the host's options are skipped on the way there.
    std::vector<std::string> words;
    size_t gameArgs = args.size();
    for (size_t i = 0; i < args.size(); ++i) {
        words.push_back(Err::utf16ToUtf8(args[i]));
        if (words.back().rfind("--launch=", 0) == 0) {
            gameArgs = i + 1;
            break;
        }
        if (words.back() == "--launch") {
            gameArgs = i + 2;
            if (i + 1 < args.size())
                words.push_back(Err::utf16ToUtf8(args[i + 1]));
            break;
        }
        const CLI::Option* option = app.get_option_no_throw(words.back());
        if (option && option->get_type_size() > 0 && i + 1 < args.size())
            words.push_back(Err::utf16ToUtf8(args[++i]));
    }
    std::reverse(words.begin(), words.end());  // CLI11 takes the words last first
    try {
        app.parse(words);
        if (launch.empty() == (options.pid == 0))
            throw CLI::ValidationError("give either --launch GAME.exe or --pid N");
        if (loadWith == "import" && launch.empty())
            throw CLI::ValidationError(
                "--load-with import needs --launch: a running game has read its imports already");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == int(CLI::ExitCodes::Success))
            return app.exit(e);
        std::fprintf(stderr, "overlay_host: %s\nRun overlay_host.exe --help for the options.\n", e.what());
        return 2;
    }

    if (!launch.empty()) {
        options.launch = quoted(Err::utf8ToUtf16(launch));
        for (size_t j = gameArgs; j < args.size(); ++j)
            options.launch += L" " + quoted(args[j]);
    }
    options.dll = Err::utf8ToUtf16(dll);
    options.dll32 = Err::utf8ToUtf16(dll32);
    options.logDir = Err::utf8ToUtf16(logDir);
    options.api = api == "d3d9"     ? OverlayClientApi::GraphicApiD3D9
                  : api == "opengl" ? OverlayClientApi::GraphicApiOpenGl
                  : api == "vulkan" ? OverlayClientApi::GraphicApiVulkan
                                    : OverlayClientApi::GraphicApiDxgi;
    options.autoApi = api == "auto";
    if (loadWith == "import")
        options.loadWith = LoadMethod::Import;
    else if (loadWith == "hook")
        options.loadWith = LoadMethod::Hook;
    else if (loadWith == "thread")
        options.loadWith = LoadMethod::Thread;
    else
        options.loadWith = options.launch.empty() ? LoadMethod::Hook : LoadMethod::Import;
    return std::nullopt;
}

void progress(const std::string& text)
{
    std::fprintf(stderr, "overlay_host: %s\n", text.c_str());
    std::fflush(stderr);
}

// Work for the worker thread, from the pipe server's thread and from standard input.
class TaskQueue
{
public:
    void post(std::function<void()> task)
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            tasks_.push_back(std::move(task));
        }
        ready_.notify_one();
    }
    // The next task, or an empty one when none came within `timeoutMs`.
    std::function<void()> take(DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> guard(mutex_);
        ready_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return !tasks_.empty(); });
        if (tasks_.empty())
            return {};
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        return task;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
};

std::string describeKey(const Stub::KeyEvent& e)
{
    static const char* types[] = {"RAWKEYDOWN", "KEYDOWN", "KEYUP", "CHAR"};
    std::string text = std::string("KEY ") + (e.type >= 0 && e.type < 4 ? types[e.type] : "?");
    text += " VK " + std::to_string(e.windowsKeyCode);
    if (e.type == 3 && e.character > 32 && e.character < 127)
        text += std::string(" '") + char(e.character) + "'";
    return text;
}

std::string describeMouse(const char* what, const Stub::MouseEvent& base)
{
    return std::string(what) + " " + std::to_string(base.point.x) + "," + std::to_string(base.point.y);
}

JsonLine mouseLine(const char* event, const Stub::MouseEvent& base)
{
    return JsonLine(event).number("x", base.point.x).number("y", base.point.y).number("modifiers", base.modifiers);
}

JsonLine rectLine(const char* event, const Stub::RectI& r)
{
    return JsonLine(event)
        .number("left", r.left)
        .number("top", r.top)
        .number("right", r.right)
        .number("bottom", r.bottom);
}

// The reference host: one game, one client.
class Host : public Stub::OverlayHostIf, public Overlay::Ipc::ServerListener
{
public:
    Host(Options options, RemoteProcess game) : options_(std::move(options)), game_(std::move(game)) {}

    int run();

    // OverlayHost, on the pipe server's thread. Events are written at once; work is queued.
    void onKeyEvent(const Stub::KeyEvent& e) override
    {
        JsonLine("key")
            .number("type", e.type)
            .number("modifiers", e.modifiers)
            .number("windowsKeyCode", e.windowsKeyCode)
            .number("nativeKeyCode", e.nativeKeyCode)
            .boolean("isSystemKey", e.isSystemKey)
            .number("character", e.character)
            .number("unmodifiedCharacter", e.unmodifiedCharacter)
            .emit();
        noteInput(describeKey(e));
    }
    void onMouseMoveEvent(const Stub::MouseMoveEvent& e) override
    {
        mouseLine("mouseMove", e.base).boolean("mouseLeave", e.mouseLeave).emit();
        noteInput(describeMouse("MOVE", e.base));
    }
    void onMouseClickEvent(const Stub::MouseClickEvent& e) override
    {
        mouseLine("mouseClick", e.base)
            .number("type", e.type)
            .boolean("mouseUp", e.mouseUp)
            .number("clickCount", e.clickCount)
            .emit();
        noteInput(describeMouse(e.mouseUp ? "UP" : "DOWN", e.base) + " X" + std::to_string(e.clickCount));
    }
    void onMouseWheelEvent(const Stub::MouseWheelEvent& e) override
    {
        mouseLine("mouseWheel", e.base).number("deltaX", e.deltaX).number("deltaY", e.deltaY).emit();
        noteInput(describeMouse("WHEEL", e.base) + " " + std::to_string(e.deltaY));
    }
    void onOverlayShown() override
    {
        JsonLine("shown").emit();
        post([](HostSession& session) { session.setVisible(true); });
    }
    void onOverlayHidden() override
    {
        JsonLine("hidden").emit();
        post([](HostSession& session) { session.setVisible(false); });
    }
    void onSurfaceBoundsChanged(const Stub::RectI& bounds) override
    {
        rectLine("bounds", bounds).emit();
        post([bounds](HostSession& session) { session.setSurface(bounds); });
    }
    void onClientStopped(const int32_t stopCode) override
    {
        JsonLine("stopped").number("code", stopCode).emit();
        tasks_.post([this] { session_.reset(); });
    }
    void requestShowOverlay() override
    {
        JsonLine("requestShow").emit();
        tasks_.post([this] { show(nullptr); });
    }
    void requestShowTestOverlay(const Stub::TestOverlayInfo& info) override
    {
        JsonLine("requestShowTest")
            .number("relativeWidth", info.relativeSize.width)
            .number("relativeHeight", info.relativeSize.height)
            .number("color", info.color)
            .boolean("useCef", info.useCef)
            .emit();
        tasks_.post([this, info] { show(&info); });
    }
    void requestHideOverlay() override
    {
        JsonLine("requestHide").emit();
        tasks_.post([this] { hide(); });
    }
    void registerClient(Stub::HostInfo& answer, const Stub::ClientInfo& info) override
    {
        answer.id = hostId_;
        answer.version = hostVersion;
        answer.result = !options_.refuseRegistration;
        if (!answer.result) {
            JsonLine("registered").number("id", info.id).boolean("refused", true).emit();
            return;
        }
        // The blocks are made on the worker before any later command runs there.
        tasks_.post([this, info] {
            try {
                session_ = std::make_unique<HostSession>(info);
            } catch (const std::exception& e) {
                session_.reset();
                JsonLine::error(std::string("Failed to set up the client's shared memory: ") + e.what());
            }
        });
        JsonLine("registered")
            .number("id", info.id)
            .text("version", info.version)
            .text("pipeName", info.pipeName)
            .text("shmemName", info.shmemName)
            .rect("scurfaceBounds", info.scurfaceBounds.left, info.scurfaceBounds.top, info.scurfaceBounds.right,
                  info.scurfaceBounds.bottom)
            .emit();
    }
    int64_t getId() override { return hostId_; }
    bool ping() override { return true; }

    // Connections to the host's pipe: the client's, and any other peer's while it is there (each
    // on a thread of its own).
    void onClientConnected() override { ++connections_; }
    void onClientDisconnected() override { --connections_; }

private:
    void noteInput(std::string text)
    {
        post([text](HostSession& session) { session.setLastInput(text); });
    }
    // Runs `function` on the worker with the session, if there is one by then.
    template <class Function>
    void post(Function function)
    {
        tasks_.post([this, function] {
            if (session_)
                function(*session_);
        });
    }
    // Runs `call` on the client's service; an unreachable client becomes an error event.
    template <class Function>
    void callClient(const char* what, Function call)
    {
        if (!session_) {
            JsonLine::error(std::string("No client has registered; cannot ") + what);
            return;
        }
        try {
            if (!call(*session_))
                JsonLine::error(std::string("The client refused to ") + what);
        } catch (const std::exception& e) {
            JsonLine::error(std::string("Failed to ") + what + ": " + e.what());
        }
    }

    void show(const Stub::TestOverlayInfo* test);
    void hide();
    void command(const std::string& line);
    void callExport(const std::string& name, const std::vector<std::string>& args);
    DWORD runExport(const std::string& name, std::vector<uint8_t>& argument, const std::vector<size_t>& pointers = {});
    void loadDll();
    void runHook32(const std::wstring& helper, const std::wstring& dll);
    uint32_t chooseApi();
    bool start();

    Options options_;
    RemoteProcess game_;
    uintptr_t module_ = 0;
    int64_t hostId_ = int64_t(Overlay::Ipc::makeRandom64() >> 1);
    TaskQueue tasks_;
    std::unique_ptr<HostSession> session_;  // worker thread only
    std::atomic<int> connections_{0};
    bool quit_ = false;
};

void Host::show(const Stub::TestOverlayInfo* test)
{
    callClient("show the overlay", [&](HostSession& session) {
        if (test)
            session.useTestRectangle(*test);
        else
            session.usePanel();
        session.render();
        session.setVisible(true);
        return session.show();
    });
}

void Host::hide()
{
    callClient("hide the overlay", [](HostSession& session) { return session.hide(); });
}

DWORD Host::runExport(const std::string& name, std::vector<uint8_t>& argument, const std::vector<size_t>& pointers)
{
    return game_.callExport(module_, name, argument, pointers, options_.timeoutMs);
}

void Host::callExport(const std::string& name, const std::vector<std::string>& args)
{
    std::vector<uint8_t> argument;
    JsonLine line("export");
    line.text("name", name);
    try {
        if (name == "showTestOverlay" && !args.empty()) {
            OverlayClientApi::TestOverlayParams params = {};
            if (args.size() != 3)
                throw std::invalid_argument("showTestOverlay takes W H COLOR");
            params.relativeWidth = std::stod(args[0]);
            params.relativeHeight = std::stod(args[1]);
            params.color = int32_t(std::stoul(args[2], nullptr, 0));
            argument.assign(reinterpret_cast<uint8_t*>(&params), reinterpret_cast<uint8_t*>(&params) + sizeof params);
        } else if (name == "getOverlayClientId") {
            argument.assign(sizeof(int64_t), 0);
        } else if (name != "prepareOverlay" && name != "hideOverlay" && name != "getOverlayClientState" &&
                   name != "showTestOverlay") {
            throw std::invalid_argument("unknown export " + name);
        }
        line.number("result", runExport(name, argument));
        if (name == "getOverlayClientId") {
            int64_t id = 0;
            std::memcpy(&id, argument.data(), sizeof id);
            line.number("id", id);
        }
        line.emit();
    } catch (const std::exception& e) {
        JsonLine::error("export " + name + ": " + e.what());
    }
}

void Host::command(const std::string& text)
{
    std::istringstream words(text);
    std::string verb;
    words >> verb;
    std::vector<std::string> args;
    for (std::string word; words >> word;)
        args.push_back(word);
    if (verb.empty())
        return;
    if (verb == "show") {
        show(nullptr);
    } else if (verb == "hide") {
        hide();
    } else if (verb == "ping") {
        callClient("ping the client", [](HostSession& session) {
            const bool alive = session.ping();
            JsonLine("pong").boolean("result", alive).emit();
            return true;
        });
    } else if (verb == "cursor" && args.size() == 1) {
        callClient("set the cursor", [&](HostSession& session) {
            session.setCursor(uint32_t(std::stoul(args[0])));
            return true;
        });
    } else if (verb == "export" && !args.empty()) {
        const std::string name = args.front();
        args.erase(args.begin());
        callExport(name, args);
    } else if (verb == "quit") {
        quit_ = true;
    } else {
        JsonLine::error("unknown command: " + text);
    }
}

void Host::loadDll()
{
    // Whatever fails, a launched game goes on without the overlay.
    auto letRun = Win::scopeExit([this] { game_.resume(); });
    const std::string problem = bitnessProblem(game_.wow64Machine());
    if (!problem.empty())
        throw std::runtime_error(problem);

    const bool x86 = game_.is32Bit();
    const std::wstring dll = x86 ? options_.dll32 : options_.dll;
    LoadMethod method = *options_.loadWith;
    const std::wstring hook32 = beside(dll, hook32FileName);
    if (x86) {
        checkOverlayDll(dll, importedExport, true);
        // The import patch writes 64-bit images only: a launched 32-bit game runs, and takes the DLL
        // through the message hook once it has a window. The hook takes a 32-bit helper.
        const bool helperThere = fileExists(hook32) && fileExists(loader32Path(dll));
        if (method != LoadMethod::Thread && helperThere) {
            if (method == LoadMethod::Import)
                progress("the game is a 32-bit process: it runs, and the 32-bit overlay DLL goes in through a "
                         "message hook once it has a window");
            method = LoadMethod::Hook;
        } else if (method != LoadMethod::Thread) {
            progress("the game is a 32-bit process, and " + Err::utf16ToUtf8(hook32) + " or " +
                     Err::utf16ToUtf8(loader32Path(dll)) +
                     " is missing: the DLL goes in through a thread started there");
            method = LoadMethod::Thread;
        }
    }
    const std::wstring fileName = dll.substr(dll.find_last_of(L"\\/") + 1);
    const std::string target = Err::utf16ToUtf8(dll) + " into process " + std::to_string(game_.id());
    if (game_.moduleBase(fileName)) {
        progress("the overlay DLL is already loaded in the game");
        waitForLoadedDll(game_, options_.timeoutMs);
    } else if (method == LoadMethod::Import) {
        progress("adding " + target + " as an import of the game");
        ImportPatch patch(game_, dll, importedExport);
        game_.resume();
        waitForLoadedDll(game_, options_.timeoutMs);
    } else if (method == LoadMethod::Hook && x86) {
        progress("loading " + target + " through a message hook on the game's window thread, set by " +
                 Err::utf16ToUtf8(hook32));
        game_.resume();
        runHook32(hook32, dll);
        waitForLoadedDll(game_, options_.timeoutMs);
    } else if (method == LoadMethod::Hook) {
        progress("loading " + target + " through a message hook on the game's window thread");
        loadThroughHook(game_, dll, loaderPath(dll), options_.timeoutMs);
    } else {
        progress("injecting " + target + " with a thread started there");
        game_.resume();
        game_.loadLibrary(dll, options_.timeoutMs);
        waitForLoadedDll(game_, options_.timeoutMs);
    }
    module_ = game_.moduleBase(fileName, options_.timeoutMs);
    DWORD exitCode = 0;
    if (!module_ && game_.exited(&exitCode))
        throw std::runtime_error("the game ended (exit code " + std::to_string(exitCode) +
                                 ") once it had loaded the overlay");
    if (!module_)
        throw std::runtime_error("the overlay DLL is loaded but the game's module list does not show it");
}

// overlay_hook_x86.exe sets the hook for a 32-bit game and ends once the DLL is loaded; its reason
// for failing is its standard error.
void Host::runHook32(const std::wstring& helper, const std::wstring& dll)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 64 * 1024))
        Err::throwLastError("Failed to make a pipe for " + Err::utf16ToUtf8(helper));
    Win::UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring line = quoted(helper) + L" " + std::to_wstring(game_.id()) + L" " + quoted(dll) + L" " +
                        quoted(loader32Path(dll)) + L" " + std::to_wstring(options_.timeoutMs);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(helper.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info))
        Err::throwLastError("Failed to start " + Err::utf16ToUtf8(helper));
    Win::UniqueHandle process(info.hProcess), thread(info.hThread);
    writer.reset();
    // Its own waits are bounded by the same time-out; a little more for its start and end.
    if (WaitForSingleObject(process.get(), options_.timeoutMs + 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        throw std::runtime_error(Err::utf16ToUtf8(helper) + " did not end within " +
                                 std::to_string(options_.timeoutMs + 10000) + " ms");
    }
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    if (code == 0)
        return;
    std::string text(4096, '\0');
    DWORD got = 0;
    if (!ReadFile(reader.get(), &text[0], DWORD(text.size()), &got, nullptr))
        got = 0;
    text.resize(got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    throw std::runtime_error(text.empty() ? Err::utf16ToUtf8(helper) + " failed with exit code " + std::to_string(code)
                                          : text);
}

// The game's graphics module decides; a game that loads it later (not among its imports) is
// waited for.
uint32_t Host::chooseApi()
{
    const ULONGLONG deadline = GetTickCount64() + options_.timeoutMs;
    for (;;) {
        if (const std::optional<ApiChoice> choice = chooseGraphicsApi(gameModuleNames(game_))) {
            progress(std::string("--api auto chose ") + choice->api + " (" + choice->module + " loaded)");
            return choice->graphicApi;
        }
        DWORD exitCode = 0;
        if (game_.exited(&exitCode))
            throw std::runtime_error("the game ended (exit code " + std::to_string(exitCode) +
                                     ") before it loaded a graphics module for --api auto");
        if (GetTickCount64() >= deadline)
            throw std::runtime_error("--api auto: the game loaded none of " + graphicsModulesLookedFor() + " within " +
                                     std::to_string(options_.timeoutMs) + " ms; name the API with --api");
        Sleep(25);
    }
}

bool Host::start()
{
    // A running game is looked at before the DLL goes in; a launched game, suspended until the DLL
    // is in, only once it runs.
    if (options_.autoApi && options_.launch.empty())
        options_.api = chooseApi();
    loadDll();
    if (options_.autoApi && !options_.launch.empty())
        options_.api = chooseApi();

    // The record and its texts in one block; the pointer fields hold offsets until placed.
    const std::string pipe = options_.pipe;
    const std::string logDir = Err::utf16ToUtf8(fullPath(options_.logDir.empty() ? L"." : options_.logDir));
    InitRecordFields fields;
    fields.pipeHostName = pipe;
    fields.logDirectory = logDir;
    fields.disableMouseCursorHook = options_.noCursorHook;
    fields.graphicApi = options_.api;
    fields.enableHotkeys = options_.hotkeys;
    std::vector<size_t> pointerFields;
    std::vector<uint8_t> record = initParamsExRecord(fields, game_.is32Bit(), pointerFields);
    const DWORD initialized = runExport("initializeOverlayEx", record, pointerFields);
    JsonLine("export")
        .text("name", "initializeOverlayEx")
        .number("result", initialized)
        .text("api", apiName(options_.api))
        .emit();
    if (initialized != OverlayClientApi::Success) {
        JsonLine::error("initializeOverlayEx failed with " + std::to_string(initialized));
        return false;
    }

    // The client exists once the game has presented frames and its window is hooked.
    progress("waiting for the overlay client in the game");
    const ULONGLONG deadline = GetTickCount64() + options_.timeoutMs;
    for (;;) {
        DWORD exitCode = 0;
        if (game_.exited(&exitCode)) {
            JsonLine::error("the game ended (exit code " + std::to_string(exitCode) +
                            ") before the overlay client started");
            return false;
        }
        std::vector<uint8_t> none;
        const DWORD state = runExport("getOverlayClientState", none);
        if (state == OverlayClientApi::Success)
            break;
        if (state != OverlayClientApi::ClientNotCreated) {
            JsonLine::error("the overlay client did not start: getOverlayClientState returned " +
                            std::to_string(state));
            return false;
        }
        if (GetTickCount64() >= deadline) {
            JsonLine::error("the overlay client did not start within " + std::to_string(options_.timeoutMs) +
                            " ms: getOverlayClientState still returns " + std::to_string(state) +
                            " (no frame presented through the hooked API yet)");
            return false;
        }
        Sleep(50);
    }
    JsonLine("ready").emit();
    callExport("prepareOverlay", {});
    return true;
}

int Host::run()
{
    if (options_.pipe.empty())
        options_.pipe = "overlay_host_" + Overlay::Ipc::idToName(Overlay::Ipc::makeSharedId());
    progress("serving OverlayHost on pipe " + options_.pipe);
    // Shares the host's lifetime; the server's listener pointer is weak and this outlives it.
    std::shared_ptr<Host> self(this, [](Host*) {});
    HostPipeServer server(options_.pipe, std::static_pointer_cast<Stub::OverlayHostIf>(self), PipeKind::Overlay,
                          std::static_pointer_cast<Overlay::Ipc::ServerListener>(self));
    server.start();

    try {
        if (!start())
            return 1;
    } catch (const std::exception& e) {
        JsonLine::error(e.what());
        return 1;
    }

    std::thread([this] {
        for (std::string line; std::getline(std::cin, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            // Answered here, at once: the time the line was read.
            if (line == "clock") {
                JsonLine("clock").emit();
                continue;
            }
            tasks_.post([this, line] { command(line); });
        }
        tasks_.post([this] { quit_ = true; });
    }).detach();

    // The worker: queued work, the picture while it is shown, and the game's life.
    constexpr DWORD frameMs = 33;
    ULONGLONG nextFrame = GetTickCount64();
    DWORD exitCode = 0;
    while (!quit_) {
        if (auto task = tasks_.take(frameMs))
            task();
        if (session_ && session_->visible() && GetTickCount64() >= nextFrame) {
            nextFrame = GetTickCount64() + frameMs;
            try {
                session_->render();
            } catch (const std::exception& e) {
                JsonLine::error(std::string("Failed to render the overlay: ") + e.what());
                session_->setVisible(false);
            }
        }
        if (game_.exited(&exitCode)) {
            // The client's last messages are still in the pipe until its connection ends.
            const ULONGLONG deadline = GetTickCount64() + 2000;
            while (connections_ > 0 && GetTickCount64() < deadline)
                if (auto task = tasks_.take(20))
                    task();
            while (auto task = tasks_.take(0))
                task();
            progress("the game ended with exit code " + std::to_string(exitCode));
            break;
        }
    }
    server.stop();
    return 0;
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);

    Options options;
    if (const std::optional<int> code = parseOptions(args, options))
        return *code;
    JsonLine::timestamps() = options.timestamps;
    // First, so that a script can check what it talks to before anything else.
    JsonLine("hello").text("version", hostVersion).number("protocol", hostProtocol).emit();
    try {
        // Checked before the game starts or changes: a game's loader that cannot take the DLL from
        // its imports would stop the game from starting at all.
        options.dll = fullPath(options.dll.empty() ? besideHost(dllFileName) : options.dll);
        options.dll32 = fullPath(options.dll32.empty() ? beside(options.dll, dll32FileName) : options.dll32);
        checkOverlayDll(options.dll, importedExport);
        if (options.loadWith == LoadMethod::Hook && !fileExists(loaderPath(options.dll)))
            throw std::runtime_error("the overlay loader " + Err::utf16ToUtf8(loaderPath(options.dll)) +
                                     " does not exist (it ships next to the overlay DLL)");
        // The game's own output goes to standard error: standard output carries only events.
        RemoteProcess game = options.launch.empty()
                                 ? RemoteProcess::open(options.pid)
                                 : RemoteProcess::launch(options.launch, GetStdHandle(STD_ERROR_HANDLE));
        progress("game process " + std::to_string(game.id()));
        Host host(std::move(options), std::move(game));
        const int code = host.run();
        std::fflush(stdout);
        // The standard input reader may still wait for a line.
        ExitProcess(UINT(code));
    } catch (const std::exception& e) {
        JsonLine::error(e.what());
        return 1;
    }
}
