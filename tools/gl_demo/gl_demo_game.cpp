#include "gl_demo_game.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

namespace DemoGl {
namespace {

const wchar_t windowClassName[] = L"GLDemoGameWindow";
const int tileColumns = 6;
const int tileRows = 4;
// Outside the scissor box the window keeps the clear colour, so the scissor state shows.
const GLint scissorMargin = 8;
const GLint viewportMargin = 4;
// A non-zero unit: a renderer that samples on unit 0 and leaves it active is caught.
const GLenum patternUnit = GL_TEXTURE0 + 3;
// The corner position (x, y) and a shade, read by attributes 0 and 1.
const GLsizei vertexStride = 3 * sizeof(GLfloat);

const char* const vertexHeaders[] = {"#version 120\n#define IN attribute\n#define OUT varying\n",
                                     "#version 150\n#define IN in\n#define OUT out\n"};
const char* const fragmentHeaders[] = {
    "#version 120\n#define IN varying\n#define COLOUR gl_FragColor\n#define TEXTURE texture2D\n",
    "#version 150\n#define IN in\nout vec4 colour;\n#define COLOUR colour\n#define TEXTURE texture\n"};
const char vertexBody[] = R"(
IN vec2 corner;
IN float shade;
uniform vec4 placement;  // centre x, y, half size, angle
OUT vec2 uv;
OUT float brightness;
void main() {
    float c = cos(placement.w);
    float s = sin(placement.w);
    vec2 p = vec2(c * corner.x - s * corner.y, s * corner.x + c * corner.y) * placement.z;
    gl_Position = vec4(placement.xy + p, 0.5, 1.0);
    uv = corner + 0.5;
    brightness = shade;
}
)";
const char fragmentBody[] = R"(
IN vec2 uv;
IN float brightness;
uniform sampler2D pattern;
uniform vec4 tint;
void main() {
    COLOUR = vec4(TEXTURE(pattern, uv).rgb * tint.rgb * brightness, tint.a);
}
)";

void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

int64_t floatBits(GLfloat value)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

void GlFunctions::load()
{
    const HMODULE opengl = GetModuleHandleW(L"opengl32.dll");
    // wglGetProcAddress gives only what is beyond GL 1.1; some drivers answer 1, 2, 3 or -1 for
    // "not there".
#define DEMO_GL_LOAD(result, name, parameters)                                                                         \
    {                                                                                                                  \
        PROC proc = wglGetProcAddress(#name);                                                                          \
        const auto value = reinterpret_cast<intptr_t>(proc);                                                           \
        if (value >= -1 && value <= 3) {                                                                               \
            proc = GetProcAddress(opengl, #name);                                                                      \
        }                                                                                                              \
        name = reinterpret_cast<result(APIENTRY*) parameters>(reinterpret_cast<void*>(proc));                          \
    }
    DEMO_GL_FUNCTIONS(DEMO_GL_LOAD)
#undef DEMO_GL_LOAD
}

// --- Options ----------------------------------------------------------------------------------

std::string usageText()
{
    return DemoCommon::usageText(
        "gl_demo: an OpenGL test game that draws moving textured tiles.",
        "  --profile core|compat   a 3.2 core profile context (default) or a legacy compatibility one\n"
        "                          drawn with GL 2.1 code\n"
        "  --swap gdi|wgl          present with gdi32's SwapBuffers (default) or opengl32's wglSwapBuffers\n"
        "  --recreate-context-at F delete the context and make a new one before frame F (repeatable)\n"
        "  --no-state-check        do not compare the GL state at the start of every frame\n",
        1, "R resizes, C prints the counters, Escape quits.");
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error)
{
    return DemoCommon::parseOptions(
        args, options, 1,
        [&options](DemoCommon::Arguments& arguments) {
            const std::string name = arguments.name();
            std::string value;
            uint64_t frame = 0;
            if (name == "--profile") {
                if (!arguments.value(value) || (value != "core" && value != "compat")) {
                    return arguments.fail("--profile expects core or compat, got '" + value + "'");
                }
                options.coreProfile = value == "core";
            } else if (name == "--swap") {
                if (!arguments.value(value) || (value != "gdi" && value != "wgl")) {
                    return arguments.fail("--swap expects gdi or wgl, got '" + value + "'");
                }
                options.wglSwap = value == "wgl";
            } else if (name == "--recreate-context-at") {
                if (!arguments.number(0, UINT64_MAX, "a frame number", frame)) {
                    return false;
                }
                options.recreateAt.push_back(frame);
            } else if (name == "--no-state-check") {
                options.checkState = false;
            } else {
                return false;
            }
            return true;
        },
        error);
}

// --- The game's state -------------------------------------------------------------------------

StateSnapshot DemoGame::captureState() const
{
    StateSnapshot snapshot;
    // Values a failed query leaves alone read as -1.
    const auto integers = [&snapshot](const char* name, std::initializer_list<GLenum> names) {
        std::vector<int64_t> values;
        for (const GLenum pname : names) {
            GLint value[4] = {-1, -1, -1, -1};
            glGetIntegerv(pname, value);
            const int count = pname == GL_VIEWPORT || pname == GL_SCISSOR_BOX || pname == GL_COLOR_WRITEMASK ? 4
                              : pname == GL_POLYGON_MODE                                                     ? 2
                                                                                                             : 1;
            values.insert(values.end(), value, value + count);
        }
        snapshot.emplace_back(name, values);
    };
    const auto enabled = [](GLenum cap) { return static_cast<int64_t>(glIsEnabled(cap)); };

    snapshot.emplace_back("current context", std::vector<int64_t>{reinterpret_cast<intptr_t>(wglGetCurrentContext()),
                                                                  reinterpret_cast<intptr_t>(wglGetCurrentDC())});
    integers("program", {GL_CURRENT_PROGRAM});
    if (options_.coreProfile) {
        integers("vertex array", {GL_VERTEX_ARRAY_BINDING});
    }
    integers("buffers", {GL_ARRAY_BUFFER_BINDING, GL_ELEMENT_ARRAY_BUFFER_BINDING, GL_PIXEL_UNPACK_BUFFER_BINDING});
    for (GLuint index = 0; index < 2; ++index) {
        std::vector<int64_t> values;
        for (const GLenum pname : {GL_VERTEX_ATTRIB_ARRAY_ENABLED, GL_VERTEX_ATTRIB_ARRAY_SIZE,
                                   GL_VERTEX_ATTRIB_ARRAY_TYPE, GL_VERTEX_ATTRIB_ARRAY_STRIDE,
                                   GL_VERTEX_ATTRIB_ARRAY_NORMALIZED, GL_VERTEX_ATTRIB_ARRAY_BUFFER_BINDING}) {
            GLint value = -1;
            gl_.glGetVertexAttribiv(index, pname, &value);
            values.push_back(value);
        }
        void* pointer = nullptr;
        gl_.glGetVertexAttribPointerv(index, GL_VERTEX_ATTRIB_ARRAY_POINTER, &pointer);
        values.push_back(reinterpret_cast<intptr_t>(pointer));
        snapshot.emplace_back(index == 0 ? "vertex attribute 0" : "vertex attribute 1", values);
    }
    // Reading a unit's binding means making it active: the active unit is read first and put back.
    GLint active = -1;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
    std::vector<int64_t> textures = {active};
    for (const GLenum unit : {static_cast<GLenum>(GL_TEXTURE0), patternUnit}) {
        GLint texture = -1;
        gl_.glActiveTexture(unit);
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
        textures.push_back(texture);
    }
    gl_.glActiveTexture(static_cast<GLenum>(active));
    snapshot.emplace_back("textures (active unit, 2D on units 0 and 3)", textures);
    if (framebufferObjects()) {
        integers("framebuffers (draw, read, renderbuffer)",
                 {GL_DRAW_FRAMEBUFFER_BINDING, GL_READ_FRAMEBUFFER_BINDING, GL_RENDERBUFFER_BINDING});
        snapshot.emplace_back("sRGB framebuffer", std::vector<int64_t>{enabled(GL_FRAMEBUFFER_SRGB)});
    }
    integers("viewport", {GL_VIEWPORT});
    snapshot.emplace_back("scissor test", std::vector<int64_t>{enabled(GL_SCISSOR_TEST)});
    integers("scissor box", {GL_SCISSOR_BOX});
    snapshot.emplace_back("blend", std::vector<int64_t>{enabled(GL_BLEND)});
    integers("blend functions and equations", {GL_BLEND_SRC_RGB, GL_BLEND_DST_RGB, GL_BLEND_SRC_ALPHA,
                                               GL_BLEND_DST_ALPHA, GL_BLEND_EQUATION_RGB, GL_BLEND_EQUATION_ALPHA});
    integers("colour write mask", {GL_COLOR_WRITEMASK});
    snapshot.emplace_back("depth test", std::vector<int64_t>{enabled(GL_DEPTH_TEST)});
    integers("depth function and mask", {GL_DEPTH_FUNC, GL_DEPTH_WRITEMASK});
    snapshot.emplace_back("stencil test", std::vector<int64_t>{enabled(GL_STENCIL_TEST)});
    integers("stencil function, masks and operations",
             {GL_STENCIL_FUNC, GL_STENCIL_REF, GL_STENCIL_VALUE_MASK, GL_STENCIL_WRITEMASK, GL_STENCIL_FAIL,
              GL_STENCIL_PASS_DEPTH_FAIL, GL_STENCIL_PASS_DEPTH_PASS});
    snapshot.emplace_back("face culling", std::vector<int64_t>{enabled(GL_CULL_FACE)});
    integers("cull face and front face", {GL_CULL_FACE_MODE, GL_FRONT_FACE});
    integers("polygon mode", {GL_POLYGON_MODE});
    integers("pixel store alignment (unpack, pack)", {GL_UNPACK_ALIGNMENT, GL_PACK_ALIGNMENT});
    for (const GLenum colour : {static_cast<GLenum>(GL_COLOR_CLEAR_VALUE), static_cast<GLenum>(GL_BLEND_COLOR)}) {
        GLfloat value[4] = {-1, -1, -1, -1};
        glGetFloatv(colour, value);
        std::vector<int64_t> bits;
        for (const GLfloat channel : value) {
            bits.push_back(floatBits(channel));
        }
        snapshot.emplace_back(colour == GL_COLOR_CLEAR_VALUE ? "clear colour" : "blend colour", bits);
    }
    return snapshot;
}

std::string firstDifference(const StateSnapshot& expected, const StateSnapshot& actual)
{
    const auto text = [](const std::vector<int64_t>& values) {
        std::string joined;
        for (const int64_t value : values) {
            joined += (joined.empty() ? "" : ",") + std::to_string(value);
        }
        return joined;
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        if (i >= actual.size() || expected[i].first != actual[i].first) {
            return "the state read differs in shape";
        }
        if (expected[i].second != actual[i].second) {
            return std::string(expected[i].first) + ": " + text(actual[i].second) + " instead of " +
                   text(expected[i].second);
        }
    }
    return std::string();
}

// --- DemoGame ---------------------------------------------------------------------------------

DemoGame::DemoGame(const Options& options)
    : WindowedGame(options, windowClassName, L"GLDemoPrintCounters"), options_(options), width_(options.width),
      height_(options.height)
{
    window_ = createWindow(options_.coreProfile ? L"OpenGL core demo" : L"OpenGL compatibility demo", options_.x);
    dc_ = GetDC(window_);
    PIXELFORMATDESCRIPTOR format = {};
    format.nSize = sizeof format;
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = 32;
    format.cAlphaBits = 8;
    format.cDepthBits = 24;
    format.cStencilBits = 8;
    format.iLayerType = PFD_MAIN_PLANE;
    const int index = ChoosePixelFormat(dc_, &format);
    if (index == 0 || !SetPixelFormat(dc_, index, &format)) {
        fail("setting a pixel format failed: " + std::to_string(GetLastError()));
    }
    createContext();
}

DemoGame::~DemoGame()
{
    detachWindows();
    destroyContext();
    if (dc_) {
        ReleaseDC(window_, dc_);
    }
}

void DemoGame::createContext()
{
    // The core profile's creation function is an extension: it comes from a throw-away legacy
    // context on the same pixel format.
    HGLRC legacy = wglCreateContext(dc_);
    if (!legacy || !wglMakeCurrent(dc_, legacy)) {
        fail("wglCreateContext failed: " + std::to_string(GetLastError()));
    }
    context_ = legacy;
    if (options_.coreProfile) {
        gl_.load();
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(legacy);
        context_ = nullptr;
        const int attributes[] = {
            WGL_CONTEXT_MAJOR_VERSION_ARB,    3, WGL_CONTEXT_MINOR_VERSION_ARB, 2, WGL_CONTEXT_PROFILE_MASK_ARB,
            WGL_CONTEXT_CORE_PROFILE_BIT_ARB, 0};
        if (!gl_.wglCreateContextAttribsARB) {
            fail("wglCreateContextAttribsARB is not available");
        }
        context_ = gl_.wglCreateContextAttribsARB(dc_, nullptr, attributes);
        if (!context_ || !wglMakeCurrent(dc_, context_)) {
            fail("creating a 3.2 core profile context failed: " + std::to_string(GetLastError()));
        }
    }
    gl_ = GlFunctions();
    gl_.load();
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    glMajor_ = version ? std::atoi(version) : 0;
    if (glMajor_ < 2 || !gl_.glCreateProgram) {
        fail(std::string("OpenGL 2.0 or later is needed, the context has ") + (version ? version : "none"));
    }
    if (gl_.wglSwapIntervalEXT) {
        gl_.wglSwapIntervalEXT(static_cast<int>(options_.syncInterval));
    }
    ++contexts_;
    createResources();
    createTargets();
    setStates();
    // Our own state queries and settings must all be valid for the profile.
    captureState();
    const GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        fail("setting up the GL state failed: GL error " + std::to_string(error));
    }
}

void DemoGame::destroyContext()
{
    if (!context_) {
        return;
    }
    wglMakeCurrent(dc_, context_);
    gl_.glDeleteProgram(program_);
    const GLuint buffers[] = {vertexBuffer_, indexBuffer_, unpackBuffer_};
    gl_.glDeleteBuffers(3, buffers);
    const GLuint textures[] = {pattern_, colourTexture_};
    glDeleteTextures(2, textures);
    if (framebufferObjects()) {
        gl_.glDeleteFramebuffers(1, &framebuffer_);
        gl_.glDeleteRenderbuffers(1, &depthStencil_);
    }
    if (vertexArray_) {
        gl_.glDeleteVertexArrays(1, &vertexArray_);
    }
    program_ = vertexArray_ = vertexBuffer_ = indexBuffer_ = unpackBuffer_ = 0;
    pattern_ = framebuffer_ = colourTexture_ = depthStencil_ = 0;
    wglMakeCurrent(nullptr, nullptr);
    wglDeleteContext(context_);
    context_ = nullptr;
    expectedValid_ = false;
}

void DemoGame::recreateContext()
{
    destroyContext();
    createContext();
}

void DemoGame::createResources()
{
    const int profile = options_.coreProfile ? 1 : 0;
    const auto compile = [this](GLenum type, const char* header, const char* body) {
        const GLuint shader = gl_.glCreateShader(type);
        const GLchar* parts[] = {header, body};
        gl_.glShaderSource(shader, 2, parts, nullptr);
        gl_.glCompileShader(shader);
        GLint ok = 0;
        gl_.glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
        if (!ok) {
            char log[1024] = {};
            gl_.glGetShaderInfoLog(shader, sizeof log, nullptr, log);
            fail(std::string("compiling a shader failed: ") + log);
        }
        return shader;
    };
    const GLuint vertexShader = compile(GL_VERTEX_SHADER, vertexHeaders[profile], vertexBody);
    const GLuint fragmentShader = compile(GL_FRAGMENT_SHADER, fragmentHeaders[profile], fragmentBody);
    program_ = gl_.glCreateProgram();
    gl_.glAttachShader(program_, vertexShader);
    gl_.glAttachShader(program_, fragmentShader);
    gl_.glBindAttribLocation(program_, 0, "corner");
    gl_.glBindAttribLocation(program_, 1, "shade");
    gl_.glLinkProgram(program_);
    gl_.glDeleteShader(vertexShader);
    gl_.glDeleteShader(fragmentShader);
    GLint linked = 0;
    gl_.glGetProgramiv(program_, GL_LINK_STATUS, &linked);
    if (!linked) {
        char log[1024] = {};
        gl_.glGetProgramInfoLog(program_, sizeof log, nullptr, log);
        fail(std::string("linking the program failed: ") + log);
    }
    placementLocation_ = gl_.glGetUniformLocation(program_, "placement");
    tintLocation_ = gl_.glGetUniformLocation(program_, "tint");
    gl_.glUseProgram(program_);
    gl_.glUniform1i(gl_.glGetUniformLocation(program_, "pattern"), static_cast<GLint>(patternUnit - GL_TEXTURE0));

    if (options_.coreProfile) {
        gl_.glGenVertexArrays(1, &vertexArray_);
    }
    // Counter-clockwise in GL's coordinates, which the game's front-face and cull settings keep.
    const GLfloat vertices[] = {-0.5f, -0.5f, 0.6f, 0.5f, -0.5f, 1.0f, 0.5f, 0.5f, 0.8f, -0.5f, 0.5f, 1.0f};
    const GLushort indices[] = {0, 1, 2, 0, 2, 3};
    gl_.glGenBuffers(1, &vertexBuffer_);
    gl_.glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer_);
    gl_.glBufferData(GL_ARRAY_BUFFER, sizeof vertices, vertices, GL_STATIC_DRAW);
    gl_.glGenBuffers(1, &indexBuffer_);
    // A pixel-unpack buffer the game streams through and leaves bound.
    gl_.glGenBuffers(1, &unpackBuffer_);
    gl_.glBindBuffer(GL_PIXEL_UNPACK_BUFFER, unpackBuffer_);
    gl_.glBufferData(GL_PIXEL_UNPACK_BUFFER, 4096, nullptr, GL_STREAM_DRAW);
    gl_.glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    if (vertexArray_) {
        gl_.glBindVertexArray(vertexArray_);
    }
    gl_.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer_);
    gl_.glBufferData(GL_ELEMENT_ARRAY_BUFFER, sizeof indices, indices, GL_STATIC_DRAW);

    // A checker of two colours.
    const int size = 64;
    std::vector<uint32_t> pixels(size * size);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            pixels[static_cast<size_t>(y * size + x)] = ((x / 8 + y / 8) % 2) ? 0xFFC06030u : 0xFF40C0E0u;
        }
    }
    gl_.glActiveTexture(patternUnit);
    glGenTextures(1, &pattern_);
    glBindTexture(GL_TEXTURE_2D, pattern_);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, size, size, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
}

void DemoGame::createTargets()
{
    if (!framebufferObjects()) {
        return;
    }
    // Storage is made with no pixel-unpack buffer bound: the game's own one would be read.
    gl_.glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    if (!framebuffer_) {
        gl_.glGenFramebuffers(1, &framebuffer_);
        glGenTextures(1, &colourTexture_);
        gl_.glGenRenderbuffers(1, &depthStencil_);
    }
    const auto width = static_cast<GLsizei>(width_);
    const auto height = static_cast<GLsizei>(height_);
    gl_.glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, colourTexture_);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    gl_.glBindRenderbuffer(GL_RENDERBUFFER, depthStencil_);
    gl_.glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width, height);
    gl_.glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    gl_.glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, colourTexture_, 0);
    gl_.glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, depthStencil_);
    const GLenum status = gl_.glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        fail("the scene's framebuffer is incomplete: " + std::to_string(status));
    }
}

void DemoGame::setStates()
{
    const auto width = static_cast<GLint>(width_);
    const auto height = static_cast<GLint>(height_);
    gl_.glUseProgram(program_);
    if (vertexArray_) {
        gl_.glBindVertexArray(vertexArray_);
    }
    gl_.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer_);
    gl_.glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer_);
    gl_.glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, vertexStride, nullptr);
    gl_.glVertexAttribPointer(1, 1, GL_FLOAT, GL_FALSE, vertexStride,
                              reinterpret_cast<const void*>(2 * sizeof(GLfloat)));
    gl_.glEnableVertexAttribArray(0);
    gl_.glEnableVertexAttribArray(1);
    gl_.glBindBuffer(GL_PIXEL_UNPACK_BUFFER, unpackBuffer_);
    gl_.glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, 0);
    gl_.glActiveTexture(patternUnit);
    glBindTexture(GL_TEXTURE_2D, pattern_);
    if (framebufferObjects()) {
        // The scene is read from the game's framebuffer and blitted to the window's.
        gl_.glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
        gl_.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
        gl_.glBindRenderbuffer(GL_RENDERBUFFER, depthStencil_);
        glEnable(GL_FRAMEBUFFER_SRGB);
    }
    glViewport(viewportMargin, viewportMargin, std::max(1, width - 2 * viewportMargin),
               std::max(1, height - 2 * viewportMargin));
    glEnable(GL_SCISSOR_TEST);
    glScissor(scissorMargin, scissorMargin, std::max(1, width - 2 * scissorMargin),
              std::max(1, height - 2 * scissorMargin));
    glEnable(GL_BLEND);
    gl_.glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ZERO);
    gl_.glBlendEquationSeparate(GL_FUNC_ADD, GL_MAX);
    gl_.glBlendColor(0.25f, 0.5f, 0.75f, 1.0f);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_FALSE);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glDepthMask(GL_FALSE);
    // Passes everywhere the game draws: (0x5A & 0xF0) never equals what the write mask lets in.
    glEnable(GL_STENCIL_TEST);
    glStencilFunc(GL_NOTEQUAL, 0x5A, 0xF0);
    glStencilOp(GL_KEEP, GL_INCR_WRAP, GL_INCR);
    glStencilMask(0x3C);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_FRONT);
    glFrontFace(GL_CW);
    // A core profile knows only one mode for both faces; front faces are culled anyway.
    if (!options_.coreProfile) {
        glPolygonMode(GL_FRONT, GL_LINE);
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 2);
    expectedValid_ = false;
}

void DemoGame::clearColor(uint64_t frame, float rgba[4])
{
    const float t = static_cast<float>(frame) / 60.0f;
    rgba[0] = 0.10f + 0.05f * std::sin(t * 0.5f);
    rgba[1] = 0.16f;
    rgba[2] = 0.22f + 0.05f * std::cos(t * 0.5f);
    rgba[3] = 1.0f;
}

void DemoGame::drawTiles(float time)
{
    const float aspect = static_cast<float>(height_) / static_cast<float>(std::max<uint32_t>(1, width_));
    for (int row = 0; row < tileRows; ++row) {
        for (int column = 0; column < tileColumns; ++column) {
            const float phase = time * 1.5f + static_cast<float>(row * tileColumns + column) * 0.4f;
            const float x = -0.85f + 1.7f * (static_cast<float>(column) + 0.5f) / tileColumns;
            const float y = -0.8f + 1.6f * (static_cast<float>(row) + 0.5f) / tileRows;
            gl_.glUniform4f(placementLocation_, x + 0.04f * std::sin(phase), y + 0.04f * std::cos(phase * 0.7f),
                            0.22f * std::min(1.0f, aspect), time * 0.8f + x * 2.0f + y);
            gl_.glUniform4f(tintLocation_, 0.6f + 0.4f * std::sin(phase), 0.7f, 0.6f + 0.4f * std::cos(phase), 0.85f);
            glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_SHORT, nullptr);
        }
    }
}

bool DemoGame::renderFrame()
{
    if (options_.checkState && expectedValid_) {
        const std::string difference = firstDifference(expected_, captureState());
        if (!difference.empty()) {
            ++stateMismatches_;
            lastMismatch_ = difference;
            std::fprintf(stderr, "frame %llu: pipeline state changed behind the game's back (%s)\n",
                         static_cast<unsigned long long>(frames_), difference.c_str());
            wglMakeCurrent(dc_, context_);
            setStates();
        }
    }
    if (std::find(options_.recreateAt.begin(), options_.recreateAt.end(), frames_) != options_.recreateAt.end()) {
        recreateContext();
    }
    if (resizePending_) {
        resizePending_ = false;
        width_ = pendingWidth_;
        height_ = pendingHeight_;
        createTargets();
        setStates();
        ++resizes_;
    }

    float clear[4];
    clearColor(frames_, clear);
    glClearColor(clear[0], clear[1], clear[2], clear[3]);
    const bool offscreen = framebufferObjects();
    if (offscreen) {
        gl_.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer_);
    }
    // The whole target is cleared, depth too: scissor and depth mask are the game's for its tiles.
    glDisable(GL_SCISSOR_TEST);
    glDepthMask(GL_TRUE);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    glDepthMask(GL_FALSE);
    glEnable(GL_SCISSOR_TEST);
    drawTiles(static_cast<float>(frames_) / 60.0f);
    if (offscreen) {
        gl_.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
        const auto width = static_cast<GLint>(width_);
        const auto height = static_cast<GLint>(height_);
        glDisable(GL_SCISSOR_TEST);
        gl_.glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        glEnable(GL_SCISSOR_TEST);
    }
    if (options_.checkState) {
        expected_ = captureState();
        expectedValid_ = true;
    }
    if (beforeSwap) {
        beforeSwap();
    }
    const bool swapped = options_.wglSwap ? wglSwapBuffers(dc_) != FALSE : SwapBuffers(dc_) != FALSE;
    ++frames_;
    if (frames_ % 30 == 0) {
        wchar_t title[128];
        std::swprintf(title, 128, L"OpenGL %ls demo - frame %llu - %ux%u", options_.coreProfile ? L"core" : L"compat",
                      static_cast<unsigned long long>(frames_), width_, height_);
        SetWindowTextW(window_, title);
    }
    return swapped;
}

void DemoGame::requestResize(uint32_t width, uint32_t height)
{
    setClientSize(window_, width, height);
    // The framebuffer follows the size asked for, even where a window manager gives another one.
    pendingWidth_ = width;
    pendingHeight_ = height;
    resizePending_ = width != width_ || height != height_;
}

void DemoGame::windowResized(HWND, uint32_t width, uint32_t height)
{
    if (width != width_ || height != height_) {
        pendingWidth_ = width;
        pendingHeight_ = height;
        resizePending_ = true;
    }
}

std::string DemoGame::counters() const
{
    return "frames=" + std::to_string(frames_) + " resizes=" + std::to_string(resizes_) +
           " state-mismatches=" + std::to_string(stateMismatches_) + " contexts=" + std::to_string(contexts_);
}

int DemoGame::run()
{
    bool swapFailed = false;
    runFrames([this, &swapFailed] {
        if (!renderFrame()) {
            std::fprintf(stderr, "%s failed: %lu\n", options_.wglSwap ? "wglSwapBuffers" : "SwapBuffers",
                         GetLastError());
            swapFailed = true;
        }
        return !swapFailed;
    });
    printLine(counters());
    return swapFailed ? 1 : stateMismatches_ != 0 ? 3 : 0;
}

}  // namespace DemoGl
