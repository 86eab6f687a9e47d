#pragma once

#include <array>
#include <cstdint>

#include "engine/catalogue/catalogue.h"

namespace ferrovin {

struct Raster;

inline constexpr int kMatrixSide = 128;

// [row][column]; holds the centred grey raster, then its Haar coefficients, then
// the quantised coefficients (+1, -1, 0).
using TWaveletMatrix = std::array<std::array<double, kMatrixSide>, kMatrixSide>;

// 24-bit raster to a median-filtered 8-bit grey raster with a grey palette.
void ReduceToGrey8(Raster& raster, std::int32_t Step);
void GreyscaleRaster(Raster& raster);   // no-op unless 24 bits per pixel
void MedianFilter3x3(Raster& raster);   // no-op unless 8 bits and at least 3 x 3

std::int32_t MeanGrey(const Raster& raster);  // 0 unless 8 bits with pixels
void ComputeWaveletMatrix(const Raster& raster, TWaveletMatrix& matrix, std::int32_t Mean);
void HaarTransform1D(double* vector);  // 128 consecutive values, in place
void HaarTransform2D(TWaveletMatrix& matrix);
void KeepStrongestCoefs(TWaveletMatrix& matrix);
void ExtractWaveletCoefs(const TWaveletMatrix& matrix, TWaveletCoefs& Pos, TWaveletCoefs& Neg);

} // namespace ferrovin
