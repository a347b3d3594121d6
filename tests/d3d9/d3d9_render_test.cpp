// The Direct3D 9 renderer on the demo game's real device, without hooks: what it composes, the
// device state it gives back, the device dump.
#include "d3d9_demo_game.h"
#include "d3d9_read_back.h"
#include "graphics_test_support.h"
#include "log_file.h"

#include "overlay/overlay_client/impl/diagnostic/d3d9_device_dump.h"
#include "overlay/overlay_client/impl/rendering/d3d/d3d9/renderer_d3d9.h"
#include "overlay/overlay_client/impl/rendering/render_overlay.h"

#include <gtest/gtest.h>

#include <cstdio>

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

Demo9::Options gameOptions(bool extended = false)
{
    Demo9::Options options;
    options.width = gameWidth;
    options.height = gameHeight;
    options.syncInterval = 0;
    options.hidden = true;
    options.extended = extended;
    return options;
}

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

TEST(D3D9Renderer, ViewportClippedToTheTargetAndTheDarkeningColour)
{
    const struct
    {
        RectI rect;
        DWORD x, y, width, height;
    } cases[] = {
        {{20, 16, 84, 64}, 20, 16, 64, 48},  {{-20, -10, 44, 38}, 0, 0, 44, 38},
        {{-100, -60, -36, -12}, 0, 0, 0, 0}, {{230, 170, 294, 218}, 230, 170, 26, 22},
        {{300, 10, 364, 58}, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const D3DVIEWPORT9 v = Overlay::Rendering::viewportFor(c.rect, {gameWidth, gameHeight});
        EXPECT_EQ(std::vector<DWORD>({v.X, v.Y, v.Width, v.Height}), std::vector<DWORD>({c.x, c.y, c.width, c.height}))
            << c.rect.left << ", " << c.rect.top;
        EXPECT_EQ(v.MinZ, 0.0f);
        EXPECT_EQ(v.MaxZ, 0.0f);
    }
    EXPECT_EQ(Overlay::Rendering::toD3DColor({0.0f, 0.0f, 0.0f, 0.6f}), 0x99000000u);
    EXPECT_EQ(Overlay::Rendering::toD3DColor({1.0f, 0.5f, 0.25f, 1.0f}), 0xFFFF7F3Fu);
}

// Outside the host's rectangle 40 % of the game's pixel; inside the host's pixel blended by its
// alpha over that; a rectangle reaching over the top left edge is cut there.
TEST(D3D9Renderer, ComposesTheHostFrameOverTheDarkenedGameFrame)
{
    const auto host = pattern(hostWidth, hostHeight, seed);
    for (const bool extended : {false, true}) {
        for (const Overlay::Ipc::SharedRect rect :
             {Overlay::Ipc::SharedRect{20, 16, 84, 64}, Overlay::Ipc::SharedRect{-20, -10, 44, 38},
              Overlay::Ipc::SharedRect{-100, -60, -36, -12}}) {
            OverlaidGame subject(rect, extended);
            Image game;
            Image composed;
            subject.beforeOverlay = [&] { game = readBackBuffer(subject.game.device()); };
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

TEST(D3D9Renderer, GivesBackEveryStateItTouches)
{
    // The game sets every state the renderer touches.
    auto covered = [](const std::vector<RendererD3D9::StateId>& touched, const std::vector<Demo9::StateValue>& set) {
        std::string missing;
        for (const auto& id : touched) {
            const bool found = std::any_of(set.begin(), set.end(), [&](const Demo9::StateValue& value) {
                return value.stage == id.stage && value.state == id.state;
            });
            missing += found ? "" : std::to_string(id.stage) + "/" + std::to_string(id.state) + " ";
        }
        return missing;
    };
    EXPECT_EQ(covered(RendererD3D9::touchedRenderStates(), Demo9::gameRenderStates()), "");
    EXPECT_EQ(covered(RendererD3D9::touchedSamplerStates(), Demo9::gameSamplerStates()), "");
    EXPECT_EQ(covered(RendererD3D9::touchedStageStates(), Demo9::gameStageStates()), "");

    OverlaidGame subject({20, 16, 84, 64});
    IDirect3DDevice9* device = subject.game.device();
    ComPtr<IDirect3DVertexShader9> vertexShader;
    ComPtr<IDirect3DPixelShader9> pixelShader;
    ASSERT_EQ(device->CreateVertexShader(vertexShaderCode, &vertexShader), S_OK);
    ASSERT_EQ(device->CreatePixelShader(pixelShaderCode, &pixelShader), S_OK);
    Demo9::StateSnapshot before;
    std::string differences;
    subject.beforeOverlay = [&] {
        check(device->SetVertexShader(vertexShader.Get()), "SetVertexShader");
        check(device->SetPixelShader(pixelShader.Get()), "SetPixelShader");
        before = Demo9::captureState(device);
    };
    subject.afterOverlay = [&] {
        differences += Demo9::firstDifference(before, Demo9::captureState(device));
        // The game's next frame expects its fixed-function pipeline.
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

TEST(D3D9DeviceDump, ReadBackFromTheLogFile)
{
    LogFile log;
    Demo9::DemoGame game(gameOptions());
    Overlay::dumpD3D9Device(game.device());

    ComPtr<IDirect3D9> direct3D;
    ASSERT_EQ(game.device()->GetDirect3D(&direct3D), S_OK);
    D3DADAPTER_IDENTIFIER9 id = {};
    ASSERT_EQ(direct3D->GetAdapterIdentifier(0, 0, &id), S_OK);
    wchar_t guid[64];
    ASSERT_GT(StringFromGUID2(id.DeviceIdentifier, guid, 64), 0);
    char text[4][200];
    std::snprintf(text[0], sizeof text[0], "VID: %lu, DID: %lu, SubSysID: %lu, Revision: %lu", id.VendorId, id.DeviceId,
                  id.SubSysId, id.Revision);
    std::snprintf(text[1], sizeof text[1], "Device identifier: %ls", guid);
    const auto& v = id.DriverVersion;
    std::snprintf(text[2], sizeof text[2], "Driver: %s, ver: %u.%u.%u.%u", id.Driver,
                  unsigned(HIWORD(DWORD(v.HighPart))), unsigned(LOWORD(DWORD(v.HighPart))), unsigned(HIWORD(v.LowPart)),
                  unsigned(LOWORD(v.LowPart)));
    const auto lines = log.lastDump("=== D3D9 Graphics Device Dump Start ===", "=== D3D9 Graphics Device Dump End ===");
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[8].second.rfind("Available texture mem.: ", 0), 0u);
    std::vector<LogFile::Line> expected;
    for (const std::string& message :
         {std::string("=== D3D9 Graphics Device Dump Start ==="),
          std::string("Adapter ord. 0, in grp. 0; n.adapters in grp: 1"), "Name: " + std::string(id.DeviceName),
          "Description: " + std::string(id.Description), std::string(text[0]), std::string(text[1]),
          std::string(text[2]), std::string("Device type: HAL (1)"), lines[8].second,
          std::string("=== D3D9 Graphics Device Dump End ===")}) {
        expected.emplace_back("DEBUG", message);
    }
    EXPECT_EQ(lines, expected);
}

}  // namespace
