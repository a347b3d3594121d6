// The exported functions of overlay_client_x64.dll and its entry point. Every export but the two
// initializers is a thin guard in front of the process-wide application; no exception crosses
// this boundary.

#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/loaded_signal.h"
#include "overlay/overlay_client/impl/overlay_application.h"
#include "overlay/overlay_client/overlay_client_api.h"

#include <cstring>

using OverlayClientApi::Result;

namespace {

// Created by the first successful initializer call and kept for the life of the process.
std::atomic<Overlay::Application*> application{nullptr};

// The settings a record provides; fields beyond the caller's version are not touched.
Overlay::ApplicationSettings readSettings(const OverlayClientApi::InitParamsEx& params)
{
    Overlay::ApplicationSettings settings;
    settings.pipeHostName = params.pipeHostName;
    if (params.logDirectory != nullptr)
        settings.logDirectory = Err::utf8ToUtf16(params.logDirectory);
    if (params.version >= 2)
        settings.disableMouseCursorHook = params.disableMouseCursorHook != 0;
    if (params.version >= 3)
        settings.graphicApi = params.graphicApi;
    if (params.version >= 4)
        settings.enableHotkeys = params.enableHotkeys != 0;
    return settings;
}

// Keeps this module loaded for good: the hooks point into it.
void pinModule()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&initializeOverlay), &module)) {
        Err::throwLastError("Failed to pin overlay client module");
    }
}

template <class Operation>
Result withApplication(Operation operation)
{
    Overlay::Application* app = application.load();
    if (app == nullptr)
        return OverlayClientApi::NotInitialized;
    return operation(*app);
}

}  // namespace

extern "C" {

bool OVERLAY_CLIENT_API_CALL initializeOverlay(const OverlayClientApi::InitParams* params)
{
    try {
        if (params == nullptr)
            return false;
        std::string logDirectory;
        if (params->logDirectory != nullptr)
            logDirectory = Err::utf16ToUtf8(params->logDirectory);

        OverlayClientApi::InitParamsEx ex{};
        ex.version = OverlayClientApi::InitParamsExVersion;
        ex.pipeHostName = params->pipeHostName;
        ex.reserved = 0;
        ex.logDirectory = logDirectory.c_str();
        ex.disableMouseCursorHook = 0;
        ex.graphicApi = OverlayClientApi::GraphicApiDxgi;
        ex.enableHotkeys = 0;
        return initializeOverlayEx(&ex) == OverlayClientApi::Success;
    } catch (...) {
        return false;
    }
}

Result OVERLAY_CLIENT_API_CALL initializeOverlayEx(const OverlayClientApi::InitParamsEx* params)
{
    try {
        if (params == nullptr || params->pipeHostName == nullptr)
            return OverlayClientApi::InvalidArgument;
        const Overlay::ApplicationSettings settings = readSettings(*params);
        pinModule();
        {
            // Two hosts' threads at once make one application; both then take its start.
            static std::mutex creation;
            std::lock_guard<std::mutex> guard(creation);
            if (application.load() == nullptr)
                application.store(new Overlay::Application(settings));
        }
        return application.load()->run();
    } catch (...) {
        return OverlayClientApi::Failed;
    }
}

Result OVERLAY_CLIENT_API_CALL getOverlayClientState()
{
    return withApplication([](Overlay::Application& app) { return app.getState(); });
}

Result OVERLAY_CLIENT_API_CALL prepareOverlay()
{
    return withApplication([](Overlay::Application& app) { return app.prepare(); });
}

Result OVERLAY_CLIENT_API_CALL showTestOverlay(const OverlayClientApi::TestOverlayParams* params)
{
    return withApplication([params](Overlay::Application& app) { return app.showTest(params); });
}

Result OVERLAY_CLIENT_API_CALL hideOverlay()
{
    return withApplication([](Overlay::Application& app) { return app.hide(); });
}

Result OVERLAY_CLIENT_API_CALL getOverlayClientId(std::int64_t* id)
{
    if (id == nullptr)
        return OverlayClientApi::InvalidArgument;
    return withApplication([id](Overlay::Application& app) {
        *id = app.getId();
        return OverlayClientApi::Success;
    });
}

void OVERLAY_CLIENT_API_CALL deinitializeOverlay()
{
    // The library stays active until the process ends.
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        Overlay::announceLoaded(instance);
    }
    return TRUE;
}
