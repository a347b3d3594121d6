// The Direct3D 9 renderer on the demo game's real device, without hooks: what it composes and the
// device state it gives back.
#include "d3d9_read_back.h"
#include "graphics_test_support.h"
#include "pure_device.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d9/renderer_d3d9.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

namespace {

using namespace GraphicsTest;
using Overlay::Rendering::RectI;
using Overlay::Rendering::RendererD3D9;
using Overlay::Rendering::SizeU;

const uint32_t gameWidth = 256;
const uint32_t gameHeight = 192;
const uint32_t hostWidth = 64;
const uint32_t hostHeight = 48;
const uint8_t seed = 5;

// The demo game with the overlay drawn by a RendererD3D9 before each Present, as the hook does.
struct OverlaidGame
{
    explicit OverlaidGame(const Overlay::Ipc::SharedRect& rect, bool extended = false)
        : game(gameOptions(extended)), host(rect), overlay(host.sharedOverlay, {gameWidth, gameHeight}, nullptr),
          renderer(std::make_shared<RendererD3D9>(game.device()))
    {
        host.publish(hostWidth, hostHeight, seed);
        game.beforePresent = [this] {
            if (beforeOverlay) {
                beforeOverlay();
            }
            overlay.setRenderer(renderer);
            overlay.draw();
            if (afterOverlay) {
                afterOverlay();
            }
        };
    }

    Demo9::DemoGame game;
    TestHost host;
    Overlay::Rendering::RenderOverlay overlay;
    std::shared_ptr<RendererD3D9> renderer;
    std::function<void()> beforeOverlay;
    std::function<void()> afterOverlay;
};

// Outside the host's rectangle 40 % of the game's pixel; inside the host's pixel blended by its
// alpha over that; a rectangle reaching over an edge is cut there.
TEST(D3D9Renderer, ComposesTheHostFrameOverTheDarkenedGameFrame)
{
    const auto host = pattern(hostWidth, hostHeight, seed);
    for (const bool extended : {false, true}) {
        for (const Overlay::Ipc::SharedRect rect :
             {Overlay::Ipc::SharedRect{20, 16, 84, 64}, Overlay::Ipc::SharedRect{-20, -10, 44, 38},
              Overlay::Ipc::SharedRect{-100, -60, -36, -12}, Overlay::Ipc::SharedRect{230, 170, 294, 218}}) {
            OverlaidGame subject(rect, extended);
            Image game;
            Image composed;
            subject.beforeOverlay = [&] {
                game = readBackBuffer(subject.game.device());
                // Alpha testing left on by the game, passing no pixel: the overlay must not depend on it.
                subject.game.device()->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
                subject.game.device()->SetRenderState(D3DRS_ALPHAFUNC, D3DCMP_NEVER);
            };
            subject.afterOverlay = [&] { composed = readBackBuffer(subject.game.device()); };
            ASSERT_EQ(subject.game.renderFrame(), S_OK);
            ASSERT_EQ(composed.width, gameWidth);
            const std::string wrong = wrongPixels(composed, [&](uint32_t x, uint32_t y) {
                const Rgba dark = dimmed(game.at(x, y));
                const int hx = int(x) - rect.left;
                const int hy = int(y) - rect.top;
                if (hx < 0 || hy < 0 || hx >= int(hostWidth) || hy >= int(hostHeight)) {
                    return ExpectedPixel{dark, 2};
                }
                const uint8_t* p = &host[(size_t(hy) * hostWidth + hx) * 4];
                const float a = p[3] / 255.0f;
                auto blend = [a](uint8_t source, uint8_t below) {
                    return static_cast<uint8_t>(source * a + below * (1 - a) + 0.5f);
                };
                return ExpectedPixel{{blend(p[2], dark.r), blend(p[1], dark.g), blend(p[0], dark.b), 255}, 3};
            });
            EXPECT_EQ(wrong, "") << (extended ? "9Ex, " : "") << "host at " << rect.left << ", " << rect.top;
        }
    }
}

// Hand-assembled shaders (vs_1_1 "mov oPos, v0", ps_1_1 "mov r0, c0"): the game's own, which the
// overlay must put back.
const DWORD vertexShaderCode[] = {0xFFFE0101, 0x0000001F, 0x80000000, 0x900F0000,
                                  0x00000001, 0xC00F0000, 0x90E40000, 0x0000FFFF};
const DWORD pixelShaderCode[] = {0xFFFF0101, 0x00000001, 0x800F0000, 0xA0E40000, 0x0000FFFF};

// The game's own shaders, and an off-screen target of its own with a viewport in it, left bound at
// Present on a pure device: the overlay goes into the back buffer, and the game gets all of it back,
// held no longer than the frame.
TEST(D3D9Renderer, GivesBackEveryStateItTouches)
{
    OverlaidGame subject({20, 16, 84, 64});
    IDirect3DDevice9* device = subject.game.device();
    ComPtr<IDirect3DVertexShader9> vertexShader;
    ComPtr<IDirect3DPixelShader9> pixelShader;
    ComPtr<IDirect3DSurface9> target;
    ComPtr<IDirect3DSurface9> backBuffer;
    ASSERT_EQ(device->CreateVertexShader(vertexShaderCode, &vertexShader), S_OK);
    ASSERT_EQ(device->CreatePixelShader(pixelShaderCode, &pixelShader), S_OK);
    ASSERT_EQ(device->CreateRenderTarget(64, 64, D3DFMT_A8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE, &target, nullptr),
              S_OK);
    ASSERT_EQ(device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &backBuffer), S_OK);
    const D3DVIEWPORT9 viewport = {4, 6, 32, 24, 0.0f, 1.0f};
    Demo9::StateSnapshot before;
    ULONG shaderReferences = 0;
    Image game;
    std::unique_ptr<PureDevice> pure;
    std::string differences;
    subject.beforeOverlay = [&] {
        game = readBackBuffer(device);
        check(device->SetVertexShader(vertexShader.Get()), "SetVertexShader");
        check(device->SetPixelShader(pixelShader.Get()), "SetPixelShader");
        check(device->SetRenderTarget(0, target.Get()), "SetRenderTarget");
        check(device->SetViewport(&viewport), "SetViewport");
        before = Demo9::captureState(device);
        shaderReferences = references(vertexShader.Get());
        pure = std::make_unique<PureDevice>(device);
    };
    subject.afterOverlay = [&] {
        pure.reset();
        differences += Demo9::firstDifference(before, Demo9::captureState(device));
        ComPtr<IDirect3DSurface9> bound;
        check(device->GetRenderTarget(0, &bound), "GetRenderTarget");
        differences += bound.Get() == target.Get() ? "" : "render target; ";
        differences += references(vertexShader.Get()) == shaderReferences ? "" : "vertex shader kept; ";
        const Image image = readBackBuffer(device);
        differences += closeTo(image.at(2, 2), dimmed(game.at(2, 2)), 2) ? "" : "back buffer not darkened; ";
        // The game's next frame expects its fixed-function pipeline and the back buffer.
        device->SetRenderTarget(0, backBuffer.Get());
        device->SetVertexShader(nullptr);
        device->SetPixelShader(nullptr);
    };
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(subject.game.renderFrame(), S_OK);
    }
    EXPECT_NE(before.vertexShader, nullptr);
    EXPECT_EQ(differences, "");
    EXPECT_EQ(subject.game.stateMismatches(), 0u) << subject.game.lastMismatch();
}

}  // namespace
