#include "d3d9_demo_game.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

using DemoCommon::check;
using Microsoft::WRL::ComPtr;

namespace Demo9 {
namespace {

const wchar_t windowClassName[] = L"D3D9DemoGameWindow";
const int tileColumns = 6;
const int tileRows = 4;
const UINT tileVertices = 6;
const int scissorMargin = 8;

struct Vertex
{
    float x, y, z, rhw;
    D3DCOLOR diffuse;
    D3DCOLOR specular;
    float u0, v0, u1, v1;
};
const DWORD vertexFormat = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_SPECULAR | D3DFVF_TEX2;
const UINT vertexBytes = tileColumns * tileRows * tileVertices * sizeof(Vertex);

}  // namespace

// --- Options ----------------------------------------------------------------------------------

std::string usageText()
{
    return DemoCommon::usageText(
        "d3d9_demo: a Direct3D 9 test game that draws moving textured tiles.",
        "  --ex                    Direct3D 9Ex: Direct3DCreate9Ex and CreateDeviceEx\n"
        "  --no-state-check        do not compare the device state at the start of every frame\n",
        1, "R resizes, C prints the counters, Escape quits.");
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    return DemoCommon::parseOptions(
        args, options, 1,
        [&options](DemoCommon::Arguments& arguments) {
            if (arguments.name() == "--ex") {
                options.extended = true;
            } else if (arguments.name() == "--no-state-check") {
                options.checkState = false;
            } else {
                return false;
            }
            return true;
        },
        error);
}

// --- The game's state -------------------------------------------------------------------------

const std::vector<StateValue>& gameRenderStates()
{
    static const std::vector<StateValue> states = {
        {0, D3DRS_ZENABLE, D3DZB_TRUE},
        {0, D3DRS_ZWRITEENABLE, TRUE},
        {0, D3DRS_STENCILENABLE, TRUE},
        {0, D3DRS_LIGHTING, TRUE},
        {0, D3DRS_ALPHABLENDENABLE, FALSE},
        {0, D3DRS_BLENDOP, D3DBLENDOP_REVSUBTRACT},
        {0, D3DRS_SRCBLEND, D3DBLEND_DESTCOLOR},
        {0, D3DRS_DESTBLEND, D3DBLEND_SRCCOLOR},
        {0, D3DRS_CULLMODE, D3DCULL_CW},
        {0, D3DRS_SCISSORTESTENABLE, TRUE},
        {0, D3DRS_ALPHATESTENABLE, TRUE},
        {0, D3DRS_ALPHAFUNC, D3DCMP_ALWAYS},
        {0, D3DRS_SEPARATEALPHABLENDENABLE, TRUE},
        {0, D3DRS_FOGENABLE, TRUE},
        {0, D3DRS_COLORWRITEENABLE, 0x7},
        {0, D3DRS_SRGBWRITEENABLE, TRUE},
        {0, D3DRS_CLIPPLANEENABLE, 1},
        {0, D3DRS_COLORVERTEX, TRUE},
        {0, D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR2},
    };
    return states;
}

const std::vector<StateValue>& gameSamplerStates()
{
    static const std::vector<StateValue> states = {
        {0, D3DSAMP_MINFILTER, D3DTEXF_ANISOTROPIC},
        {0, D3DSAMP_MAGFILTER, D3DTEXF_ANISOTROPIC},
        {0, D3DSAMP_MIPFILTER, D3DTEXF_POINT},
        {0, D3DSAMP_ADDRESSU, D3DTADDRESS_MIRROR},
        {0, D3DSAMP_ADDRESSV, D3DTADDRESS_BORDER},
        {0, D3DSAMP_SRGBTEXTURE, TRUE},
        {0, D3DSAMP_MAXANISOTROPY, 4},
    };
    return states;
}

const std::vector<StateValue>& gameStageStates()
{
    static const std::vector<StateValue> states = {
        {0, D3DTSS_COLOROP, D3DTOP_ADD},
        {0, D3DTSS_COLORARG1, D3DTA_DIFFUSE},
        {0, D3DTSS_COLORARG2, D3DTA_TEXTURE},
        {0, D3DTSS_ALPHAOP, D3DTOP_MODULATE},
        {0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE},
        {0, D3DTSS_TEXCOORDINDEX, 1},
        {0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2},
        {1, D3DTSS_COLOROP, D3DTOP_MODULATE},
        {1, D3DTSS_COLORARG1, D3DTA_CURRENT},
        {1, D3DTSS_COLORARG2, D3DTA_DIFFUSE},
        {1, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1},
        {1, D3DTSS_ALPHAARG1, D3DTA_CURRENT},
    };
    return states;
}

StateSnapshot captureState(IDirect3DDevice9* device)
{
    StateSnapshot snapshot;
    DWORD value = 0;
    for (const StateValue& entry : gameRenderStates()) {
        check(device->GetRenderState(static_cast<D3DRENDERSTATETYPE>(entry.state), &value), "GetRenderState");
        snapshot.values.push_back(value);
    }
    for (const StateValue& entry : gameSamplerStates()) {
        check(device->GetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(entry.state), &value), "GetSamplerState");
        snapshot.values.push_back(value);
    }
    for (const StateValue& entry : gameStageStates()) {
        check(device->GetTextureStageState(entry.stage, static_cast<D3DTEXTURESTAGESTATETYPE>(entry.state), &value),
              "GetTextureStageState");
        snapshot.values.push_back(value);
    }
    check(device->GetFVF(&snapshot.fvf), "GetFVF");
    // Only the identities are kept: the references are let go at once.
    ComPtr<IDirect3DVertexShader9> vertexShader;
    check(device->GetVertexShader(&vertexShader), "GetVertexShader");
    snapshot.vertexShader = vertexShader.Get();
    ComPtr<IDirect3DPixelShader9> pixelShader;
    check(device->GetPixelShader(&pixelShader), "GetPixelShader");
    snapshot.pixelShader = pixelShader.Get();
    check(device->GetViewport(&snapshot.viewport), "GetViewport");
    ComPtr<IDirect3DVertexBuffer9> stream;
    check(device->GetStreamSource(0, &stream, &snapshot.streamOffset, &snapshot.streamStride), "GetStreamSource");
    snapshot.stream = stream.Get();
    ComPtr<IDirect3DBaseTexture9> texture;
    check(device->GetTexture(0, &texture), "GetTexture");
    snapshot.texture = texture.Get();
    return snapshot;
}

std::string firstDifference(const StateSnapshot& expected, const StateSnapshot& actual)
{
    std::vector<std::pair<std::string, const std::vector<StateValue>*>> groups = {
        {"render state", &gameRenderStates()},
        {"sampler state", &gameSamplerStates()},
        {"stage state", &gameStageStates()}};
    size_t index = 0;
    for (const auto& group : groups) {
        for (const StateValue& entry : *group.second) {
            if (expected.values.at(index) != actual.values.at(index)) {
                return group.first + " " + std::to_string(entry.stage) + "/" + std::to_string(entry.state) + ": " +
                       std::to_string(actual.values[index]) + " instead of " + std::to_string(expected.values[index]);
            }
            ++index;
        }
    }
    const D3DVIEWPORT9& a = expected.viewport;
    const D3DVIEWPORT9& b = actual.viewport;
    const std::pair<const char*, bool> others[] = {
        {"FVF", expected.fvf == actual.fvf},
        {"vertex shader", expected.vertexShader == actual.vertexShader},
        {"pixel shader", expected.pixelShader == actual.pixelShader},
        {"viewport", a.X == b.X && a.Y == b.Y && a.Width == b.Width && a.Height == b.Height && a.MinZ == b.MinZ &&
                         a.MaxZ == b.MaxZ},
        {"stream source 0", expected.stream == actual.stream && expected.streamOffset == actual.streamOffset &&
                                expected.streamStride == actual.streamStride},
        {"texture 0", expected.texture == actual.texture},
    };
    for (const auto& other : others) {
        if (!other.second) {
            return std::string(other.first) + " changed";
        }
    }
    return std::string();
}

// --- DemoGame ---------------------------------------------------------------------------------

DemoGame::DemoGame(const Options& options)
    : WindowedGame(options, windowClassName, L"D3D9DemoPrintCounters"), options_(options)
{
    window_ = createWindow(options_.extended ? L"D3D9Ex demo" : L"D3D9 demo", options_.x);
    createDevice();
    createResources();
    setStates();
}

DemoGame::~DemoGame()
{
    detachWindows();
    texture_.Reset();
    vertexBuffer_.Reset();
    device_.Reset();
    direct3D_.Reset();
}

void DemoGame::createDevice()
{
    parameters_ = {};
    parameters_.BackBufferWidth = options_.width;
    parameters_.BackBufferHeight = options_.height;
    parameters_.BackBufferFormat = D3DFMT_X8R8G8B8;
    parameters_.BackBufferCount = 1;
    parameters_.SwapEffect = D3DSWAPEFFECT_DISCARD;
    parameters_.hDeviceWindow = window_;
    parameters_.Windowed = TRUE;
    parameters_.EnableAutoDepthStencil = TRUE;
    parameters_.AutoDepthStencilFormat = D3DFMT_D24S8;
    parameters_.PresentationInterval = options_.syncInterval ? D3DPRESENT_INTERVAL_ONE : D3DPRESENT_INTERVAL_IMMEDIATE;
    const DWORD behaviour = D3DCREATE_SOFTWARE_VERTEXPROCESSING;
    if (options_.extended) {
        ComPtr<IDirect3D9Ex> direct3D;
        check(Direct3DCreate9Ex(D3D_SDK_VERSION, &direct3D), "Direct3DCreate9Ex");
        ComPtr<IDirect3DDevice9Ex> device;
        check(direct3D->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_, behaviour, &parameters_, nullptr,
                                       &device),
              "CreateDeviceEx");
        direct3D_ = direct3D;
        device_ = device;
        return;
    }
    direct3D_.Attach(Direct3DCreate9(D3D_SDK_VERSION));
    if (!direct3D_) {
        throw std::runtime_error("Direct3DCreate9 failed");
    }
    check(direct3D_->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_, behaviour, &parameters_, &device_),
          "CreateDevice");
}

void DemoGame::createResources()
{
    check(device_->CreateVertexBuffer(vertexBytes, D3DUSAGE_DYNAMIC | D3DUSAGE_WRITEONLY, vertexFormat, D3DPOOL_DEFAULT,
                                      &vertexBuffer_, nullptr),
          "CreateVertexBuffer");
    if (texture_) {
        return;
    }
    // A checker of two colours; 9Ex has no managed pool.
    const UINT size = 64;
    check(device_->CreateTexture(size, size, 1, options_.extended ? D3DUSAGE_DYNAMIC : 0, D3DFMT_A8R8G8B8,
                                 options_.extended ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED, &texture_, nullptr),
          "CreateTexture");
    D3DLOCKED_RECT locked = {};
    check(texture_->LockRect(0, &locked, nullptr, options_.extended ? D3DLOCK_DISCARD : 0), "LockRect");
    for (UINT y = 0; y < size; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(locked.pBits) + size_t(y) * locked.Pitch);
        for (UINT x = 0; x < size; ++x) {
            row[x] = ((x / 8 + y / 8) % 2) ? 0xFF3060C0u : 0xFFE0C040u;
        }
    }
    check(texture_->UnlockRect(0), "UnlockRect");
}

void DemoGame::setStates()
{
    for (const StateValue& entry : gameRenderStates()) {
        check(device_->SetRenderState(static_cast<D3DRENDERSTATETYPE>(entry.state), entry.value), "SetRenderState");
    }
    for (const StateValue& entry : gameSamplerStates()) {
        check(device_->SetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(entry.state), entry.value),
              "SetSamplerState");
    }
    for (const StateValue& entry : gameStageStates()) {
        check(
            device_->SetTextureStageState(entry.stage, static_cast<D3DTEXTURESTAGESTATETYPE>(entry.state), entry.value),
            "SetTextureStageState");
    }
    const DWORD width = parameters_.BackBufferWidth;
    const DWORD height = parameters_.BackBufferHeight;
    const D3DVIEWPORT9 viewport = {0, 0, width, height, 0.0f, 1.0f};
    check(device_->SetViewport(&viewport), "SetViewport");
    const RECT scissor = {scissorMargin, scissorMargin, static_cast<LONG>(width) - scissorMargin,
                          static_cast<LONG>(height) - scissorMargin};
    check(device_->SetScissorRect(&scissor), "SetScissorRect");
    check(device_->SetFVF(vertexFormat), "SetFVF");
    check(device_->SetStreamSource(0, vertexBuffer_.Get(), 0, sizeof(Vertex)), "SetStreamSource");
    check(device_->SetTexture(0, texture_.Get()), "SetTexture");
    expectedValid_ = false;
}

D3DCOLOR DemoGame::clearColor(uint64_t frame)
{
    const double t = static_cast<double>(frame % 600) / 600.0 * 6.283185307;
    auto channel = [](double value) { return static_cast<D3DCOLOR>(std::lround(value)); };
    return D3DCOLOR_XRGB(channel(90 + 50 * std::sin(t)), channel(110 + 40 * std::sin(t * 2)), channel(150));
}

void DemoGame::drawTiles(float time)
{
    void* data = nullptr;
    check(vertexBuffer_->Lock(0, vertexBytes, &data, D3DLOCK_DISCARD), "Lock");
    auto* vertex = static_cast<Vertex*>(data);
    const float width = static_cast<float>(parameters_.BackBufferWidth);
    const float height = static_cast<float>(parameters_.BackBufferHeight);
    const float cellWidth = width / (tileColumns + 1);
    const float cellHeight = height / (tileRows + 1);
    const float side = std::min(cellWidth, cellHeight) * 0.6f;
    for (int row = 0; row < tileRows; ++row) {
        for (int column = 0; column < tileColumns; ++column) {
            const float phase = time * 1.5f + static_cast<float>(row * tileColumns + column) * 0.4f;
            const float cx = cellWidth * static_cast<float>(column + 1) + std::sin(phase) * cellWidth * 0.3f;
            const float cy = cellHeight * static_cast<float>(row + 1) + std::cos(phase * 0.7f) * cellHeight * 0.3f;
            const auto shade = static_cast<uint8_t>(128 + 100 * std::sin(phase));
            const D3DCOLOR color = D3DCOLOR_ARGB(255, shade, 64, 255 - shade);
            const float l = cx - side / 2, r = cx + side / 2, t = cy - side / 2, b = cy + side / 2;
            // Counter-clockwise on screen: the game culls clockwise triangles.
            const float corners[tileVertices][4] = {{l, t, 0, 0}, {l, b, 0, 1}, {r, t, 1, 0},
                                                    {r, t, 1, 0}, {l, b, 0, 1}, {r, b, 1, 1}};
            for (const auto& corner : corners) {
                *vertex++ = {corner[0],   corner[1], 0.5f,      1.0f,          color,
                             0xFF000000u, corner[2], corner[3], corner[2] * 2, corner[3] * 2};
            }
        }
    }
    check(vertexBuffer_->Unlock(), "Unlock");
    check(device_->DrawPrimitive(D3DPT_TRIANGLELIST, 0, tileColumns * tileRows * 2), "DrawPrimitive");
}

HRESULT DemoGame::reset(const std::function<void(D3DPRESENT_PARAMETERS&)>& change)
{
    // Default-pool resources must be gone before a reset.
    vertexBuffer_.Reset();
    D3DPRESENT_PARAMETERS parameters = parameters_;
    if (change) {
        change(parameters);
    }
    lastResetResult_ = device_->Reset(&parameters);
    if (SUCCEEDED(lastResetResult_)) {
        parameters_ = parameters;
        ++resets_;
    }
    // A reset clears every state: the game sets its own again.
    if (SUCCEEDED(device_->TestCooperativeLevel())) {
        createResources();
        setStates();
    }
    return lastResetResult_;
}

void DemoGame::requestResize(uint32_t width, uint32_t height)
{
    setClientSize(window_, width, height);
    // The device follows the size asked for, even where a window manager gives another one.
    pendingWidth_ = width;
    pendingHeight_ = height;
    resizePending_ = width != parameters_.BackBufferWidth || height != parameters_.BackBufferHeight;
}

HRESULT DemoGame::renderFrame()
{
    if (resizePending_) {
        resizePending_ = false;
        reset([this](D3DPRESENT_PARAMETERS& parameters) {
            parameters.BackBufferWidth = pendingWidth_;
            parameters.BackBufferHeight = pendingHeight_;
        });
    }
    if (!vertexBuffer_) {
        // Lost and not reset yet.
        const HRESULT level = device_->TestCooperativeLevel();
        if (level == D3DERR_DEVICENOTRESET) {
            reset();
        }
        if (!vertexBuffer_) {
            ++frames_;
            return lastPresentResult_ = level;
        }
    }
    if (options_.checkState && expectedValid_) {
        const std::string difference = firstDifference(expected_, captureState(device_.Get()));
        if (!difference.empty()) {
            ++stateMismatches_;
            lastMismatch_ = "frame " + std::to_string(frames_) + ": " + difference;
            std::fprintf(stderr, "d3d9_demo: device state changed behind the game's back: %s\n", lastMismatch_.c_str());
        }
    }
    check(device_->BeginScene(), "BeginScene");
    check(device_->SetRenderState(D3DRS_SCISSORTESTENABLE, FALSE), "SetRenderState");
    check(
        device_->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL, clearColor(frames_), 1.0f, 0),
        "Clear");
    check(device_->SetRenderState(D3DRS_SCISSORTESTENABLE, TRUE), "SetRenderState");
    drawTiles(static_cast<float>(frames_) / 60.0f);
    check(device_->EndScene(), "EndScene");
    if (options_.checkState) {
        expected_ = captureState(device_.Get());
        expectedValid_ = true;
    }
    if (beforePresent) {
        beforePresent();
    }
    lastPresentResult_ = device_->Present(nullptr, nullptr, nullptr, nullptr);
    if (lastPresentResult_ == D3DERR_DEVICELOST) {
        vertexBuffer_.Reset();
    }
    ++frames_;
    return lastPresentResult_;
}

std::string DemoGame::counters() const
{
    return "frames=" + std::to_string(frames_) + " resets=" + std::to_string(resets_) +
           " state-mismatches=" + std::to_string(stateMismatches_) + " key-messages=" + std::to_string(keyMessages()) +
           " mouse-messages=" + std::to_string(mouseMessages());
}

int DemoGame::run()
{
    bool failed = false;
    runFrames([this, &failed] {
        const HRESULT hr = renderFrame();
        failed = failed || (FAILED(hr) && hr != D3DERR_DEVICELOST) || FAILED(lastResetResult_);
        return true;
    });
    printLine(counters());
    return failed ? 1 : stateMismatches_ ? 3 : 0;
}

void DemoGame::windowResized(HWND, uint32_t width, uint32_t height)
{
    if (width != parameters_.BackBufferWidth || height != parameters_.BackBufferHeight) {
        pendingWidth_ = width;
        pendingHeight_ = height;
        resizePending_ = true;
    }
}

}  // namespace Demo9
