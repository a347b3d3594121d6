#pragma once

#include <cstdint>
#include <vector>

namespace IpcTest {

// A BGRA test picture that differs per pixel and per seed.
inline uint32_t patternPixel(uint32_t x, uint32_t y, uint32_t seed)
{
    return (x * 2654435761u) ^ (y * 40503u) ^ (seed * 0x9E3779B9u) ^ 0xFF000000u;
}

inline std::vector<uint32_t> makePattern(uint32_t width, uint32_t height, uint32_t seed)
{
    std::vector<uint32_t> pixels(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            pixels[size_t(y) * width + x] = patternPixel(x, y, seed);
    return pixels;
}

} // namespace IpcTest
