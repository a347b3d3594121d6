# Cross-compiles for 32-bit Windows with MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# SSE2, as MSVC assumes for x86 (the renderers use its intrinsics). Windows and games call into us
# with a stack aligned to 4 bytes only: functions that keep SSE values on the stack realign it.
set(CMAKE_C_FLAGS_INIT   "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
