#pragma once
// The graphics-API-neutral render model: a renderer draws into the game's current back buffer,
// bitmaps hold the host's overlay frames as textures of that renderer.

#include <cstdint>
#include <memory>

namespace Overlay::Rendering {

// Placement rectangle in back-buffer pixels, origin at the top left.
struct RectI
{
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;

    int32_t width() const { return right - left; }
    int32_t height() const { return bottom - top; }
    friend bool operator==(const RectI& a, const RectI& b)
    {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    }
};

// Texture and frame sizes in pixels.
struct SizeU
{
    uint32_t width = 0;
    uint32_t height = 0;

    friend bool operator==(const SizeU& a, const SizeU& b) { return a.width == b.width && a.height == b.height; }
    friend bool operator!=(const SizeU& a, const SizeU& b) { return !(a == b); }
};

// Colour with straight (not premultiplied) alpha, each channel 0..1.
struct ColorF
{
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;
};

// A texture of one renderer. Pixels handed to it are 32-bit B, G, R, A bytes, top row first.
class Bitmap
{
public:
    Bitmap() = default;
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    virtual ~Bitmap() = default;

    // Copies pixels whose rows are `pitch` bytes apart into the texture: into `dstRect` when given,
    // otherwise the whole texture.
    virtual void update(const void* pixels, uint32_t pitch, const RectI* dstRect) = 0;
    virtual SizeU size() const = 0;
};

// Draws on top of the game's frame, between the game's last draw call and the present.
class Renderer
{
public:
    Renderer() = default;
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;
    virtual ~Renderer() = default;

    // Prepares the device for drawing over the game's frame (saves what the game's state needs).
    virtual void beginDraw() = 0;
    // Finishes drawing and gives the game its state back.
    virtual void endDraw() = 0;
    virtual std::shared_ptr<Bitmap> createBitmap(const SizeU& size) = 0;
    // Draws the whole bitmap stretched into `dst`: opaque, its alpha ignored, under Direct2D and
    // Direct3D 11 and 12; blended by its alpha under Direct3D 9. The bitmap must come from a
    // renderer of the same class (std::bad_cast otherwise).
    virtual void drawBitmap(Bitmap& bitmap, const RectI& dst) = 0;
    // Fills `dst` with the colour, alpha-blended over what is there.
    virtual void fillRect(const RectI& dst, const ColorF& color) = 0;
};

}  // namespace Overlay::Rendering
