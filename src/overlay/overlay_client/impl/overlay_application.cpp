#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/overlay_application.h"

#include "overlay/overlay_client/impl/diagnostic/overlay_diagnostic.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"
#include "overlay/overlay_client/impl/input_channels_hook.h"
#include "overlay/overlay_client/impl/invoker.h"
#include "overlay/overlay_client/impl/load_library_hook.h"
#include "overlay/overlay_client/impl/mouse_cursor_hook.h"
#include "overlay/overlay_client/impl/overlay_client.h"
#include "overlay/overlay_client/impl/window_hook.h"

#include <chrono>
#include <condition_variable>

#include "overlay/overlay_common/ipc/shared_layout.h"
#include "overlay/overlay_common/ipc/thrift_logger.h"
#include "overlay_version.h"

#include <limits>

namespace Overlay {

using OverlayClientApi::Result;

const char* const overlayClientVersion = OVERLAY_VERSION_STRING;

namespace {

// One draw from the process-wide generator, mapped onto the signed range; 0 is kept for "no id".
std::int64_t drawClientId()
{
    const std::uint64_t draw = Ipc::makeRandom64();
    const auto id = static_cast<std::int64_t>(draw ^ (std::uint64_t(1) << 63));  // draw + INT64_MIN
    return id != 0 ? id : 1;
}

void appendHooks(HookList& to, const HookList& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

class ApplicationImpl : private WindowHookListener,
                        private GraphicDeviceHookListener,
                        public std::enable_shared_from_this<ApplicationImpl>
{
public:
    explicit ApplicationImpl(const ApplicationSettings& settings) : settings_(settings), id_(drawClientId()) {}
    ~ApplicationImpl() override;

    Result run();
    void stop();

    // Stopped flag and client pointer, read together under the lock.
    std::pair<bool, std::shared_ptr<OverlayClient>> snapshot()
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        return {stopped_, client_};
    }

    ApplicationSettings settings_;
    std::int64_t id_;
    std::shared_ptr<Invoker> invoker_;  // read and written atomically: created on the window thread
    std::unique_ptr<WindowHook> windowHook_;
    std::unique_ptr<LoadLibraryHook> loadLibraryHook_;
    std::unique_ptr<MouseCursorHook> mouseCursorHook_;
    std::unique_ptr<InputChannelsHook> inputChannelsHook_;
    std::unique_ptr<GraphicDeviceHook> graphicDeviceHook_;

private:
    void startLogging();
    void startUp();
    void refuseBlacklistedModules();
    void attachHooks();
    HookList allHooks();
    void createClient();

    // GraphicDeviceHookListener (rendering thread)
    void onDeviceWindow(HWND window) override;
    // WindowHookListener (window thread)
    void onWindowHooked(bool success) override;

    std::recursive_mutex lock_;
    bool stopped_ = false;
    std::shared_ptr<OverlayClient> client_;
    bool mandatoryHooksAttached_ = false;

    // One start per process: a call during the start waits for its result, bounded.
    enum class Start { NotStarted, Running, Done };
    std::mutex startLock_;
    std::condition_variable startDone_;
    Start start_ = Start::NotStarted;
    Result result_ = OverlayClientApi::Failed;
};

Result ApplicationImpl::run()
{
    {
        std::unique_lock<std::mutex> guard(startLock_);
        if (start_ == Start::Running &&
            !startDone_.wait_for(guard, std::chrono::seconds(30), [this] { return start_ == Start::Done; })) {
            LOG_WARN(L"Overlay start still in progress");
            return OverlayClientApi::Failed;
        }
        if (start_ == Start::Done) {
            LOG_WARN(L"Overlay already running");
            return result_;
        }
        start_ = Start::Running;
    }

    Result result = OverlayClientApi::Success;
    std::string failure;
    try {
        startUp();
    } catch (const std::exception& e) {
        result = Errors::resultOf(e, OverlayClientApi::Failed);
        failure = e.what();
    } catch (...) {
        result = OverlayClientApi::UnexpectedError;
        failure = "Unknown exception";
    }
    if (result != OverlayClientApi::Success) {
        LOG_ERROR(L"Failed to initialize overlay: %1", failure);
        mandatoryHooksAttached_ = false;
        stop();
    }
    {
        std::lock_guard<std::mutex> guard(startLock_);
        result_ = result;
        start_ = Start::Done;
    }
    startDone_.notify_all();
    return result;
}

void ApplicationImpl::startLogging()
{
    auto core = Log::Core::initialize(Log::Mode::Synchronous);
    // A host that names no folder gets no log file: nothing is written where the game runs.
    if (settings_.logDirectory.empty())
        return;
    auto sink = std::make_shared<Log::FileSink>(settings_.logDirectory);
    sink->setPrefix(L"overlay_client_");
    sink->setExtension(L".log");
    sink->setMaxFiles(15);
    sink->setMaxFileSize(0x200000);
    sink->setFlushEachRecord(true);
    sink->start();
    core->rootLogger()->addSink(sink);
}

void ApplicationImpl::startUp()
{
    startLogging();
    initHookEngineLog();
    if (settings_.enableThriftLog)
        Ipc::setThriftLogger();
    LOG_INFO(L"Run overlay client: id = %1, version = %2, pipeHostName = %3", id_, overlayClientVersion,
             settings_.pipeHostName);

    loadLibraryHook_ = std::make_unique<LoadLibraryHook>();
    const HookList loadLibraryHooks = loadLibraryHook_->getHooks();
    hook(loadLibraryHooks);
    if (!allHooked(loadLibraryHooks))
        LOG_ERROR(L"Failed to attach load library hooks");

    refuseBlacklistedModules();
    attachHooks();
    graphicDeviceHook_->setListener(this);
}

void ApplicationImpl::refuseBlacklistedModules()
{
    const ProcessModules modules = LoadLibraryHook::getProcessModules();
    LOG_INFO(L"Process modules:");
    logModules(modules, true, Log::Level::Info);
    const ProcessModules blacklisted = LoadLibraryHook::findBlacklisted(modules);
    if (blacklisted.empty())
        return;
    LOG_INFO(L"Blacklisted dlls:");
    logModules(blacklisted, false, Log::Level::Info);
    throw Errors::FailedWithResult(OverlayClientApi::BlacklistedModules, "blacklisted dll(s) loaded in process");
}

void ApplicationImpl::attachHooks()
{
    graphicDeviceHook_ = std::make_unique<GraphicDeviceHook>(settings_.graphicApi);
    if (!settings_.disableMouseCursorHook)
        mouseCursorHook_ = std::make_unique<MouseCursorHook>();

    hook(allHooks());
    HookList mandatory = graphicDeviceHook_->getMandatoryHooks();
    if (mouseCursorHook_)
        appendHooks(mandatory, mouseCursorHook_->getMandatoryHooks());
    mandatoryHooksAttached_ = allHooked(mandatory);
    if (!mandatoryHooksAttached_)
        throw Errors::FailedWithResult(OverlayClientApi::HooksNotAttached, "mandatory hooks were not attached");

    // The game's other input channels: the overlay runs without them (each failure is logged).
    try {
        inputChannelsHook_ = std::make_unique<InputChannelsHook>();
        hook(inputChannelsHook_->getHooks());
    } catch (const std::exception& e) {
        LOG_ERROR(L"Failed to hook the input channels: %1", e.what());
        inputChannelsHook_.reset();
    }
}

HookList ApplicationImpl::allHooks()
{
    HookList hooks;
    if (mouseCursorHook_)
        appendHooks(hooks, mouseCursorHook_->getHooks());
    if (graphicDeviceHook_)
        appendHooks(hooks, graphicDeviceHook_->getHooks());
    if (loadLibraryHook_)
        appendHooks(hooks, loadLibraryHook_->getHooks());
    return hooks;
}

void ApplicationImpl::onDeviceWindow(HWND window)
{
    try {
        graphicDeviceHook_->setListener(nullptr);
        WindowHook* created = nullptr;
        {
            std::lock_guard<std::recursive_mutex> lock(lock_);
            if (stopped_ || windowHook_)
                return;
            windowHook_ = std::make_unique<WindowHook>(window, settings_.enableHotkeys);
            created = windowHook_.get();
        }
        created->setListener(this);
        created->install();
        // The window is subclassed when its thread next takes a message from its queue; a game
        // that gets no input would wait for ever, so give it one that changes nothing.
        PostMessageW(window, WM_NULL, 0, 0);
    } catch (const std::exception& e) {
        LOG_ERROR(L"%1", e.what());
        stop();
    }
}

void ApplicationImpl::onWindowHooked(bool success)
{
    try {
        windowHook_->setListener(nullptr);
        if (!success)
            throw std::runtime_error("Failed to hook window");
        const DWORD threadId = GetCurrentThreadId();
        windowHook_->getWindowThreadId();  // throws when the window is gone
        if (mouseCursorHook_)
            mouseCursorHook_->setWindowThreadId(threadId);
        std::atomic_store(&invoker_, Invoker::create());
        createClient();
    } catch (const std::exception& e) {
        LOG_ERROR(L"%1", e.what());
        stop();
    }
}

void ApplicationImpl::createClient()
{
    if (!mandatoryHooksAttached_ || !windowHook_ || !windowHook_->isWindowHooked() || !graphicDeviceHook_ ||
        !std::atomic_load(&invoker_)) {
        throw std::runtime_error("Failed to hook game");
    }
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (!stopped_ && !client_)
        client_ = OverlayClient::create();
}

void ApplicationImpl::stop()
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (stopped_)
        return;
    stopped_ = true;
    LOG_INFO(L"Stop overlay client");
    if (graphicDeviceHook_) {
        graphicDeviceHook_->setListener(nullptr);
        graphicDeviceHook_->stop();
    }
    if (windowHook_)
        windowHook_->setListener(nullptr);
}

ApplicationImpl::~ApplicationImpl()
{
    std::shared_ptr<OverlayClient> client;
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        client = std::move(client_);
    }
    if (client)
        client->stop(StopCode::Normal);
    client.reset();
    stop();
    mandatoryHooksAttached_ = false;
    if (settings_.enableThriftLog)
        Ipc::resetThriftLogger();
    deinitHookEngineLog();
    graphicDeviceHook_.reset();
    mouseCursorHook_.reset();
    inputChannelsHook_.reset();
    loadLibraryHook_.reset();
    windowHook_.reset();
    std::atomic_store(&invoker_, std::shared_ptr<Invoker>());
    Log::Core::release();
}

// --- Application ------------------------------------------------------------------------------

Application::Application(const ApplicationSettings& settings)
    : SingleInstance<Application>(this), impl_(std::make_shared<ApplicationImpl>(settings))
{
}

Application::~Application() = default;

Result Application::run()
{
    return impl_->run();
}

void Application::stop()
{
    impl_->stop();
}

namespace {

// The guards shared by the exported operations, in their order: stopped, then no client.
template <class Operation>
Result guardedClientCall(ApplicationImpl& impl, Operation operation)
{
    auto [stopped, client] = impl.snapshot();
    if (stopped)
        return OverlayClientApi::Stopped;
    if (!client)
        return OverlayClientApi::ClientNotCreated;
    return operation(*client);
}

}  // namespace

Result Application::getState()
{
    return guardedClientCall(*impl_, [](OverlayClient& client) { return client.getState(); });
}

Result Application::prepare()
{
    return guardedClientCall(*impl_, [](OverlayClient& client) { return client.prepare(); });
}

Result Application::hide()
{
    return guardedClientCall(*impl_, [](OverlayClient& client) { return client.requestHide(); });
}

Result Application::showTest(const OverlayClientApi::TestOverlayParams* params)
{
    return guardedClientCall(*impl_, [params](OverlayClient& client) { return client.requestShow(params); });
}

std::int64_t Application::getId() const
{
    return impl_->id_;
}

const ApplicationSettings& Application::settings() const
{
    return impl_->settings_;
}

WindowHook* Application::windowHook() const
{
    return impl_->windowHook_.get();
}

GraphicDeviceHook* Application::graphicDeviceHook() const
{
    return impl_->graphicDeviceHook_.get();
}

MouseCursorHook* Application::mouseCursorHook() const
{
    return impl_->mouseCursorHook_.get();
}

InputChannelsHook* Application::inputChannelsHook() const
{
    return impl_->inputChannelsHook_.get();
}

bool Application::invoke(std::function<void()> function, bool forcePost)
{
    std::shared_ptr<Invoker> invoker = std::atomic_load(&impl_->invoker_);
    return invoker && invoker->post(std::move(function), forcePost);
}

}  // namespace Overlay
