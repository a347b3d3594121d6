// Prints the records a host shares with the client as the code lays them out, for
// check_host_protocol_doc.py to compare with docs/host-protocol.md: "field <Record> <name> <offset>
// <type>" (u32, i32, f64, ... or the byte count), "size <Record> <bytes>", "const <Record> <field> <value>".
#include "overlay/overlay_client/overlay_client_api.h"
#include "overlay/overlay_common/ipc/shared_layout.h"

#include <cstdio>
#include <string>
#include <type_traits>

template <class T>
std::string typeName()
{
    if constexpr (std::is_arithmetic_v<T>)
        return (std::is_floating_point_v<T> ? "f" : std::is_signed_v<T> ? "i" : "u") + std::to_string(8 * sizeof(T));
    else
        return std::to_string(sizeof(T));
}

// Within a block naming `Type` and `record`.
#define SIZE() std::printf("size %s %zu\n", record, sizeof(Type))
#define FIELD(field)                                                                                                   \
    std::printf("field %s %s %zu %s\n", record, #field, offsetof(Type, field),                                         \
                typeName<decltype(Type::field)>().c_str())

int main()
{
    using namespace Overlay::Ipc;
    {
        using Type = OverlayClientInitParams;
        const char* record = "InitParams";
        SIZE(), FIELD(pipeHostName), FIELD(reserved), FIELD(logDirectory);
    }
    {
        using Type = OverlayClientInitParamsEx;
        const char* record = "InitParamsEx";
        SIZE(), FIELD(version), FIELD(pipeHostName), FIELD(reserved), FIELD(logDirectory),
            FIELD(disableMouseCursorHook), FIELD(graphicApi), FIELD(enableHotkeys);
    }
    {
        using Type = OverlayClientTestOverlayParams;
        const char* record = "TestOverlayParams";
        SIZE(), FIELD(reserved), FIELD(relativeWidth), FIELD(relativeHeight), FIELD(color), FIELD(useCef);
    }
    {
        using Type = SharedHeader;
        const char* record = "SharedHeader";
        SIZE(), FIELD(size), FIELD(version), FIELD(magic), FIELD(reserved);
        std::printf("const %s version %u\nconst %s magic 0x%08X\n", record, sharedVersion, record, sharedMagic);
    }
    {
        using Type = SharedOverlayLayout;
        const char* record = "SharedOverlay";
        SIZE(), FIELD(header), FIELD(mutexId), FIELD(windowId), FIELD(cursorType), FIELD(cursorChanged), FIELD(padding),
            FIELD(hostArea);
    }
    {
        using Type = SharedWindowLayout;
        const char* record = "SharedWindow";
        SIZE(), FIELD(header), FIELD(mutexId), FIELD(frameBufferId), FIELD(rect), FIELD(hostArea);
    }
    {
        using Type = FrameBufferLayout;
        const char* record = "FrameBuffer";
        SIZE(), FIELD(header), FIELD(id), FIELD(width), FIELD(height), FIELD(capacity), FIELD(dirty), FIELD(padding),
            FIELD(hostField), FIELD(hostArea);
    }
    return 0;
}
