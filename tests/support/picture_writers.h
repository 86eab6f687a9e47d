#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/analysis/raster.h"

namespace ferrovin::test {

// Small, dependable picture writers for tests and benchmarks. Each takes a
// 24-bit raster (writePng also takes 32-bit RGBA) and throws std::runtime_error
// when the file cannot be written.
void writeJpeg(const std::string& path, const Raster& raster, int quality = 90);
void writePng(const std::string& path, const Raster& raster);
void writeBmp24(const std::string& path, const Raster& raster);
// Palette of the first 256 colours met; a 3-3-2 quantisation when there are more.
void writeGif(const std::string& path, const Raster& raster);
void writeTiff(const std::string& path, const Raster& raster);

// Grey (1 component) and CMYK (4 components) JPEGs. The grey writer takes the
// 24-bit raster's R channel; the CMYK writer takes a 32-bit raster and stores its
// four bytes per pixel as C, M, Y, K as they stand (libjpeg writes an Adobe marker).
void writeJpegGrey(const std::string& path, const Raster& raster, int quality = 90);
void writeJpegCmyk(const std::string& path, const Raster& raster, int quality = 90);

// Encodes to memory, same settings as writeJpeg.
std::string encodeJpeg(const Raster& raster, int quality = 90);

// Hand-made files for decoder tests: every field as it should stand in the file.
struct BmpSpec {
    std::uint32_t headerSize = 40;   // 12, 40, 52, 56, 108, 124 (or anything, to test refusal)
    std::int32_t width = 1;
    std::int32_t height = 1;         // negative: top-down
    std::uint16_t bitCount = 24;
    std::uint32_t compression = 0;   // 0 RGB, 1 RLE8, 2 RLE4, 3 bit fields
    std::uint32_t colorsUsed = 0;
    std::vector<RgbColor> palette;   // written as stored, 4 bytes each (3 with header 12)
    std::array<std::uint32_t, 3> masks{}; // written when compression is 3
    std::string pixels;              // pixel data exactly as stored
    std::optional<std::uint32_t> pixelOffset; // default: right after the palette
};
std::string buildBmp(const BmpSpec& spec);

struct PngSpec {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    int colorType = 2;               // PNG_COLOR_TYPE_*
    int bitDepth = 8;
    bool interlaced = false;
    std::vector<RgbColor> palette;
    std::vector<std::uint8_t> trans; // palette alpha, or the single transparent colour
    std::uint32_t gamma = 0;         // gAMA value, 0: no chunk
    bool srgb = false;               // also write an sRGB chunk
    std::vector<std::uint8_t> rows;  // packed samples row by row, as libpng takes them
};
void writePngSpec(const std::string& path, const PngSpec& spec);

struct GifSpec {
    int screenWidth = 1;
    int screenHeight = 1;
    std::vector<RgbColor> globalColors; // empty: no global colour table
    int background = 0;
    std::optional<int> transparent;     // written in a graphic control extension
    int left = 0, top = 0, width = 1, height = 1;
    std::vector<RgbColor> localColors;  // empty: no local table
    bool interlaced = false;
    std::vector<std::uint8_t> indices;  // width x height, top row first (de-interlaced)
    bool secondFrame = false;           // append a second, all-index-0 frame
};
void writeGifSpec(const std::string& path, const GifSpec& spec);

// A smooth, deterministic 24-bit picture; different seeds give different pictures.
Raster makeGradient(int width, int height, std::uint32_t seed);
// 24-bit pseudo-random noise from a small xorshift generator.
Raster makeNoise(int width, int height, std::uint32_t seed);

} // namespace ferrovin::test
