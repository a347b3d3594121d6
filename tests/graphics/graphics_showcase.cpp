// The demo game with the overlay shown, for screenshots (scripts/screenshot_graphics.sh): a host
// publishes a labelled panel, the DXGI hook is attached and a listener draws the overlay on every
// frame with the chosen renderer, as the overlay client does while the overlay is shown.
//
//   graphics_showcase --renderer direct2d|direct3d11|none --ready <file> --quit <file>
//
// Writes <ready> once the overlay has been drawn for a while, and quits when <quit> exists (or after
// two minutes). Direct3D 11 is the renderer for swap chains Direct2D cannot draw into; the program
// makes one through d3d11_spy.dll.
#include "d3d11_spy/d3d11_spy.h"
#include "demo_game.h"

#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/impl/graphic_device_hook/directx/d3d_hook.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

const int panelWidth = 420;
const int panelHeight = 220;

// A panel drawn with GDI: a gradient, a frame and two lines of text (B, G, R, A bytes).
std::vector<uint8_t> panel(const std::wstring& title)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = panelWidth;
    info.bmiHeader.biHeight = -panelHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    auto* pixels = static_cast<uint8_t*>(bits);
    for (int y = 0; y < panelHeight; ++y) {
        for (int x = 0; x < panelWidth; ++x) {
            uint8_t* p = pixels + (size_t(y) * panelWidth + x) * 4;
            p[0] = static_cast<uint8_t>(120 + y / 3);
            p[1] = static_cast<uint8_t>(60 + x / 6);
            p[2] = static_cast<uint8_t>(30 + y / 4);
            p[3] = 255;
        }
    }
    HBRUSH frame = CreateSolidBrush(RGB(255, 210, 60));
    RECT bounds = {0, 0, panelWidth, panelHeight};
    for (int i = 0; i < 4; ++i) {
        FrameRect(dc, &bounds, frame);
        InflateRect(&bounds, -1, -1);
    }
    DeleteObject(frame);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    HFONT font = CreateFontW(34, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");
    HGDIOBJ oldFont = SelectObject(dc, font);
    RECT line = {0, 50, panelWidth, 100};
    DrawTextW(dc, L"Host overlay", -1, &line, DT_CENTER | DT_SINGLELINE);
    line = {0, 120, panelWidth, 170};
    DrawTextW(dc, title.c_str(), -1, &line, DT_CENTER | DT_SINGLELINE);
    SelectObject(dc, oldFont);
    DeleteObject(font);
    GdiFlush();
    std::vector<uint8_t> result(pixels, pixels + size_t(panelWidth) * panelHeight * 4);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return result;
}

class ShowcaseListener : public Overlay::GraphicDeviceHookListener
{
public:
    ShowcaseListener(std::shared_ptr<Overlay::Ipc::SharedOverlay> sharedOverlay, const Demo::Options& options)
        : overlay_(std::move(sharedOverlay), {options.width, options.height}, nullptr)
    {
    }

    void onPresent(Overlay::GraphicApi& api) override
    {
        try {
            overlay_.setRenderer(api.getRenderer());
            overlay_.draw();
            ++drawn;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "graphics_showcase: %s\n", e.what());
        }
    }

    int drawn = 0;

private:
    Overlay::Rendering::RenderOverlay overlay_;
};

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string renderer = "direct2d";
    std::string ready = "showcase.ready";
    std::string quit = "showcase.quit";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        (name == "--renderer" ? renderer : name == "--ready" ? ready : quit) = argv[i + 1];
    }
    if (renderer != "direct2d" && renderer != "direct3d11" && renderer != "none") {
        std::fprintf(stderr, "graphics_showcase: unknown renderer '%s'\n", renderer.c_str());
        return 2;
    }
    try {
        Demo::Options options;
        options.width = 800;
        options.height = 600;
        // The client area at the screen's top left corner, where the script crops.
        RECT frame = {0, 0, static_cast<LONG>(options.width), static_cast<LONG>(options.height)};
        AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
        options.x = frame.left;
        options.y = frame.top;
        options.syncInterval = 1;

        auto sharedOverlay = Overlay::Ipc::SharedOverlay::create();
        auto hostOverlay = Overlay::Host::HostOverlay::open(sharedOverlay->name());
        auto hostWindow = Overlay::Host::HostWindow::create({190, 190, 190 + panelWidth, 190 + panelHeight});
        auto frameBuffer = Overlay::Host::HostFrameBuffer::create(panelWidth * panelHeight);
        const auto pixels = panel(renderer == "direct2d" ? L"drawn by RendererD2D" : L"drawn by RendererD3D11");
        hostWindow->publishFrame(*frameBuffer, panelWidth, panelHeight, pixels.data(), panelWidth * 4);
        hostOverlay->showWindow(hostWindow->id());
        ShowcaseListener listener(sharedOverlay, options);

        std::unique_ptr<Overlay::GraphicDeviceHook> graphicHook;
        std::unique_ptr<Overlay::D3DHook> spiedHook;
        if (renderer == "direct2d") {
            graphicHook = std::make_unique<Overlay::GraphicDeviceHook>(0);
            Overlay::hook(graphicHook->getHooks());
            graphicHook->setListener(&listener);
        } else if (renderer == "direct3d11") {
            const HMODULE spy = LoadLibraryW(L"d3d11_spy.dll");
            if (!spy) {
                throw std::runtime_error("d3d11_spy.dll is missing");
            }
            reinterpret_cast<SpyStateFn>(reinterpret_cast<void*>(GetProcAddress(spy, "spyState")))()->refuseDxgiSurface = true;
            options.createDeviceAndSwapChain = reinterpret_cast<decltype(&D3D11CreateDeviceAndSwapChain)>(
                reinterpret_cast<void*>(GetProcAddress(spy, "D3D11CreateDeviceAndSwapChain")));
            spiedHook = std::make_unique<Overlay::D3DHook>(GetModuleHandleW(L"dxgi.dll"), spy);
            Overlay::hook(spiedHook->getHooks());
            spiedHook->setListener(&listener);
        }

        Demo::DemoGame game(options);
        bool announced = false;
        while (game.pumpMessages() && !exists(quit) && game.frameCount() < 7200) {
            if (FAILED(game.renderFrame())) {
                break;
            }
            if (!announced && game.frameCount() >= 60 && (renderer == "none" || listener.drawn >= 30)) {
                std::ofstream(ready) << game.frameCount() << "\n";
                announced = true;
            }
        }
        if (graphicHook) {
            graphicHook->setListener(nullptr);
        }
        if (spiedHook) {
            spiedHook->setListener(nullptr);
        }
        std::printf("%s: frames=%llu overlay-frames=%d state-mismatches=%u\n", renderer.c_str(),
                    static_cast<unsigned long long>(game.frameCount()), listener.drawn, game.stateMismatches());
        return game.stateMismatches() == 0 ? 0 : 3;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "graphics_showcase: %s\n", e.what());
        return 1;
    }
}
