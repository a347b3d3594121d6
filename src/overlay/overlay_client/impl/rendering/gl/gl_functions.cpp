#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/gl/gl_functions.h"

namespace Overlay::Rendering::Gl {
namespace {

template <class Function>
void assign(Function& target, FARPROC address, const char* name, bool required = true)
{
    if (!address && required) {
        throw std::runtime_error(std::string("OpenGL function not found: ") + name);
    }
    target = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

}  // namespace

void Functions::loadCore()
{
    const HMODULE opengl32 = GetModuleHandleW(L"opengl32.dll");
    if (!opengl32) {
        throw std::runtime_error("opengl32.dll is not loaded in the game");
    }
#define OVERLAY_GL_LOAD(result, name, parameters) assign(name, GetProcAddress(opengl32, #name), #name);
    OVERLAY_GL_CORE_FUNCTIONS(OVERLAY_GL_LOAD)
#undef OVERLAY_GL_LOAD
}

void Functions::loadExtended(int major)
{
#define OVERLAY_GL_LOAD(result, name, parameters) assign(name, wglGetProcAddress(#name), #name);
    OVERLAY_GL_EXTENDED_FUNCTIONS(OVERLAY_GL_LOAD)
#undef OVERLAY_GL_LOAD
    if (major >= 3) {
#define OVERLAY_GL_LOAD(result, name, parameters) assign(name, wglGetProcAddress(#name), #name, false);
        OVERLAY_GL_OPTIONAL_FUNCTIONS(OVERLAY_GL_LOAD)
#undef OVERLAY_GL_LOAD
    }
}

}  // namespace Overlay::Rendering::Gl
