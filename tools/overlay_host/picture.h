#pragma once

// The host's own overlay picture, drawn on the CPU into a BGRA buffer (4 bytes a pixel, blue
// first, rows top first without gaps): the layout a FrameBuffer block carries.

#include <cstdint>
#include <string>
#include <vector>

namespace Overlay::Host {

// The frame drawn around the host's panel: a colour the darkened game never shows, so that a
// screenshot finds the panel by it.
constexpr uint32_t panelBorderBgra = 0xFFFF00FF;  // opaque magenta
constexpr uint32_t panelBorderWidth = 4;

struct Picture
{
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint32_t> pixels;  // B, G, R, A bytes in each (little-endian 0xAARRGGBB)

    void resize(uint32_t w, uint32_t h);
    void fill(uint32_t bgra);
    // The panel: a moving gradient, the border, and one text line per entry of `lines`.
    void drawPanel(uint64_t frame, const std::vector<std::string>& lines);
    // Text in the built-in 5x7 font, each font pixel `scale` pixels wide; lower case is drawn as
    // upper case and characters without a glyph as blanks.
    void drawText(int x, int y, const std::string& text, int scale, uint32_t bgra);
};

}  // namespace Overlay::Host
