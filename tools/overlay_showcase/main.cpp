// overlay_showcase: the Direct3D 11 demo game with the overlay drawn into its frames inside Present,
// the way the overlay client draws it while the host shows the overlay. See README.md.
#include "demo_game.h"

#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_client/impl/graphic_device_hook/graphic_device_hook.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d11/renderer_d3d11.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "overlay_showcase [--renderer direct2d|direct3d11|none] [--frames N] [--ready FILE] [--quit FILE]\n"
    "  --renderer  who draws the overlay: direct2d (the client's choice, the default), direct3d11\n"
    "              (the client's fallback renderer, chosen here by the program), none (the game alone)\n"
    "  --frames    quit after N frames (default: when the window is closed)\n"
    "  --ready     write FILE once the overlay has been on screen for a while\n"
    "  --quit      quit as soon as FILE exists\n";

const int panelWidth = 420;
const int panelHeight = 220;

struct Arguments
{
    std::string renderer = "direct2d";
    uint64_t frames = 0;
    std::string ready;
    std::string quit;
};

bool parse(int argc, char** argv, Arguments& out)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (name == "--renderer" && (value == "direct2d" || value == "direct3d11" || value == "none")) {
            out.renderer = value;
        } else if (name == "--frames" && value.find_first_not_of("0123456789") == std::string::npos) {
            out.frames = std::strtoull(value.c_str(), nullptr, 10);
        } else if (name == "--ready") {
            out.ready = value;
        } else if (name == "--quit") {
            out.quit = value;
        } else {
            return false;
        }
    }
    return true;
}

// The host's picture: a panel drawn with GDI, a gradient, a frame and two lines of text (B, G, R, A bytes).
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
    if (!bitmap) {
        DeleteDC(dc);
        throw std::runtime_error("CreateDIBSection failed");
    }
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

// Draws the overlay into every frame the game presents, as the overlay client does while the
// overlay is shown: the surface follows the swap chain's size, the renderer comes from the hook.
class ShowcaseListener : public Overlay::GraphicDeviceHookListener
{
public:
    ShowcaseListener(std::shared_ptr<Overlay::Ipc::SharedOverlay> sharedOverlay, IDXGISwapChain* swapChain,
                     bool direct3D11)
        : overlay_(std::move(sharedOverlay), {1, 1}, nullptr), swapChain_(swapChain)
    {
        if (direct3D11) {
            // The hook picks Direct2D wherever it can draw (always under Wine); Direct3D 11 is its
            // fallback, made here directly on the game's swap chain to show it.
            direct3D11_ = std::make_shared<Overlay::Rendering::RendererD3D11>(swapChain);
        }
    }

    ~ShowcaseListener() override { overlay_.release(); }

    void onPresent(Overlay::GraphicApi& api) override
    {
        try {
            DXGI_SWAP_CHAIN_DESC desc = {};
            if (SUCCEEDED(swapChain_->GetDesc(&desc))) {
                overlay_.setSurfaceSize({desc.BufferDesc.Width, desc.BufferDesc.Height});
            }
            if (direct3D11_) {
                overlay_.setRenderer(direct3D11_);
                overlay_.draw();
                // Lets go of the back buffer, as the hook does for its own renderer before ResizeBuffers.
                direct3D11_->destroyRenderTargetView();
            } else {
                overlay_.setRenderer(api.getRenderer());
                overlay_.draw();
            }
            ++drawn;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "overlay_showcase: %s\n", e.what());
        }
    }

    void onDeviceLost() override { overlay_.release(); }

    int drawn = 0;

private:
    Overlay::Rendering::RenderOverlay overlay_;
    IDXGISwapChain* swapChain_;  // borrowed: the game's
    std::shared_ptr<Overlay::Rendering::RendererD3D11> direct3D11_;
};

bool exists(const std::string& path)
{
    return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::printf("%s", usage);
        return 0;
    }
    if (!parse(argc, argv, arguments)) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    const bool drawOverlay = arguments.renderer != "none";
    try {
        // The host's side: one window with a published frame, shown in the client's overlay block.
        auto sharedOverlay = Overlay::Ipc::SharedOverlay::create();
        auto hostOverlay = Overlay::Host::HostOverlay::open(sharedOverlay->name());
        auto hostWindow = Overlay::Host::HostWindow::create({190, 190, 190 + panelWidth, 190 + panelHeight});
        auto frameBuffer = Overlay::Host::HostFrameBuffer::create(panelWidth * panelHeight);
        const auto pixels =
            panel(arguments.renderer == "direct3d11" ? L"drawn by RendererD3D11" : L"drawn by RendererD2D");
        hostWindow->publishFrame(*frameBuffer, panelWidth, panelHeight, pixels.data(), panelWidth * 4);
        hostOverlay->showWindow(hostWindow->id());

        // The client's side: the graphics hook attached before the game makes its device.
        std::unique_ptr<Overlay::GraphicDeviceHook> hook;
        if (drawOverlay) {
            hook = std::make_unique<Overlay::GraphicDeviceHook>(0);
            Overlay::hook(hook->getHooks());
            if (!Overlay::allHooked(hook->getHooks())) {
                throw std::runtime_error("the graphics hook could not be attached");
            }
        }

        Demo::Options options;
        // An 800 x 600 client area at the screen's top left corner.
        RECT frame = {0, 0, 800, 600};
        AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
        options.x = frame.left;
        options.y = frame.top;
        Demo::DemoGame game(options);
        std::unique_ptr<ShowcaseListener> listener;
        if (drawOverlay) {
            listener =
                std::make_unique<ShowcaseListener>(sharedOverlay, game.swapChain(), arguments.renderer == "direct3d11");
            hook->setListener(listener.get());
        }

        bool announced = false;
        while (game.pumpMessages() && !exists(arguments.quit) &&
               (arguments.frames == 0 || game.frameCount() < arguments.frames)) {
            if (FAILED(game.renderFrame())) {
                break;
            }
            if (!announced && !arguments.ready.empty() && game.frameCount() >= 60 &&
                (!listener || listener->drawn >= 30)) {
                std::ofstream(arguments.ready) << game.frameCount() << "\n";
                announced = true;
            }
        }
        if (hook) {
            hook->setListener(nullptr);
        }
        std::printf("%s: frames=%llu overlay-frames=%d state-mismatches=%u\n", arguments.renderer.c_str(),
                    static_cast<unsigned long long>(game.frameCount()), listener ? listener->drawn : 0,
                    game.stateMismatches());
        return game.stateMismatches() == 0 ? 0 : 3;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "overlay_showcase: %s\n", e.what());
        return 1;
    }
}
