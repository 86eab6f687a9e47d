#include "engine/analysis/picture_processing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engine/analysis/raster.h"

using namespace ferrovin;

namespace {

using Rows = std::vector<std::vector<int>>;

template <class F>
Raster greyRaster(int width, int height, F level)
{
    Raster raster;
    raster.setSize(width, height, PixelFormat::Pf8Bit);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            raster.row(y)[x] = static_cast<std::uint8_t>(level(y, x));
    return raster;
}

Raster fromRows(const Rows& rows)
{
    return greyRaster(int(rows[0].size()), int(rows.size()), [&](int y, int x) { return rows[y][x]; });
}

int greyOf(int r, int g, int b)
{
    Raster raster;
    raster.setSize(1, 1, PixelFormat::Pf24Bit);
    raster.Pixels = {std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)};
    GreyscaleRaster(raster);
    return raster.Pixels[1];
}

// Plain references: a sorting median over the raster as it stands, and the
// transform with physical transposes, every step in long double.
void referenceMedian(Raster& raster)
{
    for (int r = raster.Height - 2; r >= 1; --r)
        for (int c = raster.Width - 2; c >= 1; --c) {
            std::vector<std::uint8_t> w;
            for (int i = 0; i < 9; ++i)
                w.push_back(raster.row(r - 1 + i / 3)[c - 1 + i % 3]);
            std::sort(w.begin(), w.end());
            raster.row(r)[c] = w[4];
        }
}

void referenceHaar2D(TWaveletMatrix& m)
{
    for (int pass = 0; pass < 2; ++pass) {
        for (auto& v : m) {
            for (double& x : v)
                x = double(x / sqrtl(128.0L));
            for (int h = 64; h >= 1; h /= 2) {
                double t[128];
                for (int i = 0; i < h; ++i) {
                    t[i] = double(((long double)v[2 * i] + (long double)v[2 * i + 1]) / sqrtl(2.0L));
                    t[h + i] = double(((long double)v[2 * i] - (long double)v[2 * i + 1]) / sqrtl(2.0L));
                }
                std::copy(t, t + 2 * h, v.begin());
            }
        }
        for (int i = 0; i < 128; ++i)
            for (int j = i + 1; j < 128; ++j)
                std::swap(m[i][j], m[j][i]);
    }
}

int kept(const TWaveletCoefs& coefs)
{
    return int(std::count_if(coefs.begin(), coefs.end(), [](auto p) { return p.X || p.Y; }));
}

struct Signature {
    TWaveletCoefs pos{}, neg{};
};

Signature signatureOf(const Raster& raster)
{
    auto m = std::make_unique<TWaveletMatrix>();
    ComputeWaveletMatrix(raster, *m, MeanGrey(raster));
    Signature s;
    ExtractWaveletCoefs(*m, s.pos, s.neg);
    return s;
}

} // namespace

TEST(GreyscaleRaster, truncatesTheWeightedSumEvaluatedInExtendedPrecision)
{
    // Over all 2^24 colours, against a truncation done by comparisons (a cast
    // would switch the x87 rounding mode 16M times).
    Raster raster;
    int multiples = 0, below = 0, above = 0, mismatches = 0;
    for (int r = 0; r < 256; ++r) {
        raster.setSize(256, 256, PixelFormat::Pf24Bit);
        for (int i = 0; i < 65536; ++i) {
            raster.Pixels[3 * i] = std::uint8_t(r);
            raster.Pixels[3 * i + 1] = std::uint8_t(i >> 8);
            raster.Pixels[3 * i + 2] = std::uint8_t(i);
        }
        GreyscaleRaster(raster);
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                const int grey = raster.row(g)[3 * b], weighted = 30 * r + 59 * g + 11 * b;
                const long double exact = (r * 0.3L + g * 0.59L) + b * 0.11L;
                int t = weighted / 100;
                while (t > exact)
                    --t;
                while (t + 1 <= exact)
                    ++t;
                mismatches += grey != t;
                multiples += weighted % 100 == 0;
                below += grey < weighted / 100;
                above += grey > weighted / 100;
            }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(multiples, 167832);
    EXPECT_EQ(below, 27809);
    EXPECT_EQ(above, 0);

    std::vector<int> darkerGreys;
    for (int v = 0; v < 256; ++v)
        if (greyOf(v, v, v) != v)
            darkerGreys.push_back(v);
    EXPECT_EQ(darkerGreys.size(), 48u);
    darkerGreys.resize(7);
    EXPECT_EQ(darkerGreys, (std::vector<int>{7, 14, 15, 21, 27, 28, 30}));

    const int cases[][4] = {{0, 0, 0, 0},       {255, 255, 255, 255}, {255, 0, 0, 76},     {0, 255, 0, 150},
                            {0, 0, 255, 28},    {10, 20, 30, 18},     {200, 100, 50, 124}, {100, 100, 100, 100},
                            {128, 128, 128, 128}, {7, 7, 7, 6},       {0, 7, 17, 5},       {0, 10, 10, 6}};
    for (const auto& c : cases)
        EXPECT_EQ(greyOf(c[0], c[1], c[2]), c[3]) << c[0] << "," << c[1] << "," << c[2];
}

TEST(ReduceToGrey8, givesFilteredGreyBytesWithAGreyPaletteAndSkipsNarrowRasters)
{
    Raster raster;
    raster.setSize(3, 3, PixelFormat::Pf24Bit);
    raster.Pixels = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 7, 7, 7, 200, 100, 50, 0, 0, 0, 255, 255, 255, 0, 10, 10};
    ReduceToGrey8(raster, 1);
    ASSERT_EQ(raster.Format, PixelFormat::Pf8Bit);
    // The centre becomes the median of 0 6 6 18 [28] 76 124 150 255.
    EXPECT_EQ(raster.Pixels, (std::vector<std::uint8_t>{76, 150, 28, 18, 28, 124, 0, 255, 6}));
    EXPECT_EQ(raster.PaletteSize, 256);
    EXPECT_EQ(raster.Palette[200], (RgbColor{200, 200, 200}));

    for (auto [w, h] : {std::pair{2, 5}, std::pair{5, 2}}) {
        raster.setSize(w, h, PixelFormat::Pf24Bit);
        std::fill(raster.Pixels.begin(), raster.Pixels.end(), std::uint8_t{0});
        raster.Pixels[3 * (w + 1)] = 255;  // red at (1, 1) would be filtered away
        ReduceToGrey8(raster, 1);
        EXPECT_EQ(raster.row(1)[1], 76) << w << "x" << h;
    }
}

TEST(MedianFilter3x3, readsTheRasterAsTheScanHasLeftIt)
{
    const std::pair<Rows, Rows> cases[] = {
        // Column 2 becomes 0 first, and column 1 sees it (a copying filter keeps its 9).
        {{{0, 0, 0, 0}, {0, 9, 9, 0}, {9, 9, 9, 0}}, {{0, 0, 0, 0}, {0, 0, 0, 0}, {9, 9, 9, 0}}},
        // Row 2's centre becomes 9 first, and row 1 sees it (a copying filter gives 0 0 9).
        {{{0, 0, 0}, {0, 9, 9}, {9, 0, 9}, {0, 0, 9}}, {{0, 0, 0}, {0, 9, 9}, {9, 9, 9}, {0, 0, 9}}},
        {{{3, 3, 3}, {3, 200, 3}, {3, 3, 3}}, {{3, 3, 3}, {3, 3, 3}, {3, 3, 3}}},
    };
    for (const auto& [input, output] : cases) {
        Raster raster = fromRows(input);
        MedianFilter3x3(raster);
        EXPECT_EQ(raster.Pixels, fromRows(output).Pixels);
    }
}

TEST(MedianFilter3x3, agreesWithAPlainSortingFilter)
{
    // Short rows, the system's 128, and rows longer than one prepared block.
    std::mt19937 rng(1);
    for (auto [w, h] : {std::pair{3, 3}, {4, 7}, {17, 5}, {33, 9}, {128, 128}, {300, 4}})
        for (int levels : {2, 256}) {
            Raster fast = greyRaster(w, h, [&](int, int) { return rng() % levels; });
            Raster plain = fast;
            MedianFilter3x3(fast);
            referenceMedian(plain);
            EXPECT_EQ(fast.Pixels, plain.Pixels) << w << "x" << h << " levels " << levels;
        }
}

TEST(MeanGrey, isTheTruncatedAverageOfAnEightBitRaster)
{
    EXPECT_EQ(MeanGrey(greyRaster(128, 128, [](int y, int x) { return y == 5 && x == 9 ? 255 : 0; })), 0);
    EXPECT_EQ(MeanGrey(greyRaster(128, 128, [](int, int x) { return x < 64 ? 0 : 255; })), 127);
    Raster rgb;
    rgb.setSize(2, 2, PixelFormat::Pf24Bit);
    std::fill(rgb.Pixels.begin(), rgb.Pixels.end(), std::uint8_t{200});
    EXPECT_EQ(MeanGrey(rgb), 0);
}

TEST(HaarTransform, finestDetailConstantAndAPlainTransposingTransformAgree)
{
    double v[128] = {1.0, -1.0};
    HaarTransform1D(v);
    for (int i = 0; i < 128; ++i)
        EXPECT_EQ(v[i], i == 64 ? 0.125 : 0.0) << i;
    std::fill(v, v + 128, -37.0);
    HaarTransform1D(v);
    EXPECT_NEAR(v[0], -37.0, 1e-13);
    EXPECT_EQ(std::count(v + 1, v + 128, 0.0), 127);

    std::mt19937 rng(42);
    auto m = std::make_unique<TWaveletMatrix>(), plain = std::make_unique<TWaveletMatrix>();
    for (int round = 0; round < 4; ++round) {
        for (auto& row : *m)
            for (double& x : row)
                x = round < 2 ? int(rng() % 256) - 128 : std::ldexp(double(rng()), -20);
        *plain = *m;
        HaarTransform2D(*m);
        referenceHaar2D(*plain);
        EXPECT_EQ(std::memcmp(m.get(), plain.get(), sizeof(TWaveletMatrix)), 0) << "round " << round;
    }
}

TEST(KeepStrongestCoefs, agreesWithAFullSortIncludingTiesAndFewNonZeros)
{
    std::mt19937 rng(7);
    auto m = std::make_unique<TWaveletMatrix>();
    for (int kind = 0; kind < 4; ++kind) {
        for (auto& row : *m)
            for (double& x : row) {
                const int r = int(rng() % 2001) - 1000;
                x = kind == 0 ? r / 7.0 : kind == 1 ? r % 5 : kind == 2 ? (rng() % 64 ? 0 : r) : (rng() % 4 ? 0 : 3);
            }
        (*m)[0][0] = 1e9;
        std::vector<double> mags(1, 0.0);
        for (int i = 1; i < 16384; ++i)
            mags.push_back(std::fabs((*m)[0].data()[i]));
        std::sort(mags.begin(), mags.end());
        const auto before = *m;
        KeepStrongestCoefs(*m);
        int wrong = 0;
        for (int i = 0; i < 16384; ++i) {
            const double x = before[0].data()[i];
            wrong += (*m)[0].data()[i] != (i && std::fabs(x) > mags[16133] ? (x > 0 ? 1.0 : -1.0) : 0.0);
        }
        EXPECT_EQ(wrong, 0) << "kind " << kind;
    }
}

TEST(WaveletSignature, halfAndHalfRastersKeepOnlyTheCoarsestDetail)
{
    const Signature darkLeft = signatureOf(greyRaster(128, 128, [](int, int x) { return x < 64 ? 0 : 255; }));
    const Signature darkRight = signatureOf(greyRaster(128, 128, [](int, int x) { return x < 64 ? 255 : 0; }));
    const Signature darkTop = signatureOf(greyRaster(128, 128, [](int y, int) { return y < 64 ? 0 : 255; }));
    EXPECT_EQ(darkLeft.neg[0], (TWaveletPoint{0, 1}));
    EXPECT_EQ(darkRight.pos[0], (TWaveletPoint{0, 1}));
    EXPECT_EQ(darkTop.neg[0], (TWaveletPoint{1, 0}));
    for (const Signature* s : {&darkLeft, &darkRight, &darkTop})
        EXPECT_EQ(kept(s->pos) + kept(s->neg), 1);
    const Signature uniform = signatureOf(greyRaster(128, 128, [](int, int) { return 77; }));
    EXPECT_EQ(kept(uniform.pos) + kept(uniform.neg), 0);
}

TEST(WaveletSignature, randomRasterKeeps250InRowMajorOrderAndNeverTheAverage)
{
    std::mt19937 rng(2026);
    const Raster raster = greyRaster(128, 128, [&](int, int) { return rng() % 256; });
    const Signature s = signatureOf(raster);
    EXPECT_EQ(kept(s.pos) + kept(s.neg), 250);
    auto rowMajor = [](auto a, auto b) { return a.X != b.X ? a.X < b.X : a.Y < b.Y; };
    EXPECT_TRUE(std::is_sorted(s.pos.begin(), s.pos.begin() + kept(s.pos), rowMajor));
    EXPECT_TRUE(std::is_sorted(s.neg.begin(), s.neg.begin() + kept(s.neg), rowMajor));

    // Centred on 0 instead of its mean, the average dwarfs every detail.
    auto m = std::make_unique<TWaveletMatrix>();
    ComputeWaveletMatrix(raster, *m, 0);
    EXPECT_EQ((*m)[0][0], 0.0);
    EXPECT_EQ(std::count_if((*m)[0].data(), (*m)[0].data() + 16384, [](double x) { return x != 0; }), 250);
}
