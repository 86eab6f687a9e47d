#pragma once

#include <cstdint>
#include <string>

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

// A smooth, deterministic 24-bit picture; different seeds give different pictures.
Raster makeGradient(int width, int height, std::uint32_t seed);
// 24-bit pseudo-random noise from a small xorshift generator.
Raster makeNoise(int width, int height, std::uint32_t seed);

} // namespace ferrovin::test
