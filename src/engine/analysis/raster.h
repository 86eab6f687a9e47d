#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrovin {

// The engine's stand-in for a toolkit bitmap: a device-independent raster with
// rows stored top to bottom and no row padding.
//   Pf8Bit:  one palette index per pixel; Palette holds PaletteSize entries.
//   Pf24Bit: R, G, B bytes per pixel.
//   Pf32Bit: R, G, B, A bytes per pixel.
enum class PixelFormat : std::uint8_t { Pf8Bit, Pf24Bit, Pf32Bit };

struct RgbColor {
    std::uint8_t R = 0;
    std::uint8_t G = 0;
    std::uint8_t B = 0;
    friend bool operator==(const RgbColor&, const RgbColor&) = default;
};

struct Raster {
    int Width = 0;
    int Height = 0;
    PixelFormat Format = PixelFormat::Pf24Bit;
    std::vector<std::uint8_t> Pixels;
    std::array<RgbColor, 256> Palette{};
    int PaletteSize = 0;

    static constexpr int bytesPerPixel(PixelFormat format)
    {
        return format == PixelFormat::Pf8Bit ? 1 : format == PixelFormat::Pf24Bit ? 3 : 4;
    }
    std::size_t rowBytes() const { return static_cast<std::size_t>(Width) * bytesPerPixel(Format); }
    std::uint8_t* row(int y) { return Pixels.data() + static_cast<std::size_t>(y) * rowBytes(); }
    const std::uint8_t* row(int y) const { return Pixels.data() + static_cast<std::size_t>(y) * rowBytes(); }

    // Resizes in place, reusing the pixel buffer's storage across calls.
    void setSize(int width, int height, PixelFormat format)
    {
        Width = width;
        Height = height;
        Format = format;
        Pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)
                      * bytesPerPixel(format));
    }
};

} // namespace ferrovin
