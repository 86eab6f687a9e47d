// Time per picture of the signature: grey reduction with median filter, mean,
// Haar transform, quantisation and position lists, on a 128 x 128 raster.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "engine/analysis/picture_processing.h"
#include "engine/analysis/raster.h"
#include "engine/catalogue/catalogue.h"

using namespace ferrovin;

namespace {

// A photo-like picture: smooth colour gradients and blobs with sensor noise.
Raster photoLikeRaster()
{
    Raster raster;
    raster.setSize(kMatrixSide, kMatrixSide, PixelFormat::Pf24Bit);
    std::mt19937 rng(20261209);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (int y = 0; y < kMatrixSide; ++y) {
        std::uint8_t* p = raster.row(y);
        for (int x = 0; x < kMatrixSide; ++x) {
            const double blob = 90.0 * std::exp(-((x - 80) * (x - 80) + (y - 50) * (y - 50)) / 600.0);
            const double wave = 40.0 * std::sin(x / 9.0) * std::cos(y / 13.0);
            const double base[3] = {60.0 + y * 0.9 + blob, 80.0 + wave + x * 0.5, 140.0 - y * 0.6 + blob / 2};
            for (int k = 0; k < 3; ++k) {
                const double v = base[k] + noise(rng);
                p[3 * x + k] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return raster;
}

void BM_WholeSignature(benchmark::State& state)
{
    const Raster source = photoLikeRaster();
    Raster raster = source;
    TWaveletMatrix matrix{};
    TWaveletCoefs pos{};
    TWaveletCoefs neg{};
    for (auto _ : state) {
        raster.Format = source.Format;
        raster.Pixels.assign(source.Pixels.begin(), source.Pixels.end());
        ReduceToGrey8(raster, 1);
        const std::int32_t mean = MeanGrey(raster);
        ComputeWaveletMatrix(raster, matrix, mean);
        ExtractWaveletCoefs(matrix, pos, neg);
        benchmark::DoNotOptimize(pos);
        benchmark::DoNotOptimize(neg);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WholeSignature)->Unit(benchmark::kMicrosecond);

void BM_ReduceToGrey8(benchmark::State& state)
{
    const Raster source = photoLikeRaster();
    Raster raster = source;
    for (auto _ : state) {
        raster.Format = source.Format;
        raster.Pixels.assign(source.Pixels.begin(), source.Pixels.end());
        ReduceToGrey8(raster, 1);
        benchmark::DoNotOptimize(raster.Pixels.data());
    }
}
BENCHMARK(BM_ReduceToGrey8)->Unit(benchmark::kMicrosecond);

TWaveletMatrix centredMatrix()
{
    Raster raster = photoLikeRaster();
    ReduceToGrey8(raster, 1);
    const std::int32_t mean = MeanGrey(raster);
    TWaveletMatrix m{};
    for (int r = 0; r < kMatrixSide; ++r)
        for (int c = 0; c < kMatrixSide; ++c)
            m[r][c] = raster.row(r)[c] - mean;
    return m;
}

void BM_HaarTransform2D(benchmark::State& state)
{
    const TWaveletMatrix source = centredMatrix();
    TWaveletMatrix m;
    for (auto _ : state) {
        m = source;
        HaarTransform2D(m);
        benchmark::DoNotOptimize(m[1][1]);
    }
}
BENCHMARK(BM_HaarTransform2D)->Unit(benchmark::kMicrosecond);

void BM_KeepStrongestCoefs(benchmark::State& state)
{
    TWaveletMatrix source = centredMatrix();
    HaarTransform2D(source);
    TWaveletMatrix m;
    for (auto _ : state) {
        m = source;
        KeepStrongestCoefs(m);
        benchmark::DoNotOptimize(m[1][1]);
    }
}
BENCHMARK(BM_KeepStrongestCoefs)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
