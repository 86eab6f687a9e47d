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

Raster greyRaster(const Rows& rows)
{
    Raster raster;
    raster.setSize(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()), PixelFormat::Pf8Bit);
    for (int y = 0; y < raster.Height; ++y)
        for (int x = 0; x < raster.Width; ++x)
            raster.row(y)[x] = static_cast<std::uint8_t>(rows[y][x]);
    return raster;
}

Rows rowsOf(const Raster& raster)
{
    Rows rows(static_cast<std::size_t>(raster.Height));
    for (int y = 0; y < raster.Height; ++y)
        rows[y].assign(raster.row(y), raster.row(y) + raster.Width);
    return rows;
}

Raster randomGreyRaster(int width, int height, unsigned seed, int levels = 256)
{
    Raster raster;
    raster.setSize(width, height, PixelFormat::Pf8Bit);
    std::mt19937 rng(seed);
    for (auto& byte : raster.Pixels)
        byte = static_cast<std::uint8_t>(rng() % levels);
    return raster;
}

// 128 x 128 grey raster from a function of (row, column).
template <class F>
Raster squareRaster(F level)
{
    Raster raster;
    raster.setSize(kMatrixSide, kMatrixSide, PixelFormat::Pf8Bit);
    for (int y = 0; y < kMatrixSide; ++y)
        for (int x = 0; x < kMatrixSide; ++x)
            raster.row(y)[x] = static_cast<std::uint8_t>(level(y, x));
    return raster;
}

int greyOf(int r, int g, int b)
{
    Raster raster;
    raster.setSize(1, 1, PixelFormat::Pf24Bit);
    raster.Pixels = {static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g), static_cast<std::uint8_t>(b)};
    GreyscaleRaster(raster);
    EXPECT_TRUE(raster.Pixels[0] == raster.Pixels[1] && raster.Pixels[1] == raster.Pixels[2]);
    return raster.Pixels[0];
}

// The largest integer not above x >= 0, found by comparisons from a nearby
// guess (a cast would switch the x87 rounding mode for each of 16M colours).
int truncated(long double x, int guess)
{
    while (guess > x)
        --guess;
    while (guess + 1 <= x)
        ++guess;
    return guess;
}

// The filter as plainly as it can be written: sort each window of the raster as
// it stands, scanning bottom to top and right to left.
void referenceMedian(Raster& raster)
{
    for (int r = raster.Height - 2; r >= 1; --r) {
        for (int c = raster.Width - 2; c >= 1; --c) {
            std::uint8_t window[9];
            int n = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    window[n++] = raster.row(r + dy)[c + dx];
            std::sort(window, window + 9);
            raster.row(r)[c] = window[4];
        }
    }
}

// The transform as plainly as it can be written: rows, physical transpose,
// rows, transpose back, every step in long double.
void referenceHaar1D(double* v)
{
    const long double s128 = sqrtl(128.0L);
    const long double s2 = sqrtl(2.0L);
    for (int i = 0; i < 128; ++i)
        v[i] = static_cast<double>(static_cast<long double>(v[i]) / s128);
    for (int h = 64; h >= 1; h /= 2) {
        double t[128];
        for (int i = 0; i < h; ++i) {
            t[i] = static_cast<double>((static_cast<long double>(v[2 * i]) + static_cast<long double>(v[2 * i + 1])) / s2);
            t[h + i] = static_cast<double>((static_cast<long double>(v[2 * i]) - static_cast<long double>(v[2 * i + 1])) / s2);
        }
        for (int i = 0; i < 2 * h; ++i)
            v[i] = t[i];
    }
}

void referenceTranspose(TWaveletMatrix& m)
{
    for (int i = 0; i < 128; ++i)
        for (int j = i + 1; j < 128; ++j)
            std::swap(m[i][j], m[j][i]);
}

void referenceHaar2D(TWaveletMatrix& m)
{
    for (auto& row : m)
        referenceHaar1D(row.data());
    referenceTranspose(m);
    for (auto& row : m)
        referenceHaar1D(row.data());
    referenceTranspose(m);
}

void referenceKeepStrongest(TWaveletMatrix& m)
{
    std::vector<double> mags;
    for (int r = 0; r < 128; ++r)
        for (int c = 0; c < 128; ++c)
            mags.push_back(r == 0 && c == 0 ? 0.0 : std::fabs(m[r][c]));
    std::sort(mags.begin(), mags.end());
    const double t = mags[16133];
    for (int r = 0; r < 128; ++r)
        for (int c = 0; c < 128; ++c)
            m[r][c] = (r || c) && std::fabs(m[r][c]) > t ? (m[r][c] > 0 ? 1.0 : -1.0) : 0.0;
}

struct Signature {
    TWaveletCoefs pos{};
    TWaveletCoefs neg{};
};

Signature signatureOf(const Raster& raster)
{
    auto m = std::make_unique<TWaveletMatrix>();
    ComputeWaveletMatrix(raster, *m, MeanGrey(raster));
    Signature s;
    ExtractWaveletCoefs(*m, s.pos, s.neg);
    return s;
}

int filledSlots(const TWaveletCoefs& coefs)
{
    return static_cast<int>(std::count_if(coefs.begin(), coefs.end(),
                                          [](const TWaveletPoint& p) { return p.X != 0 || p.Y != 0; }));
}

bool bitIdentical(const TWaveletMatrix& a, const TWaveletMatrix& b)
{
    return std::memcmp(a.data(), b.data(), sizeof(TWaveletMatrix)) == 0;
}

} // namespace

// ---- grey levels ----

TEST(GreyscaleRaster, everyColourTruncatesTheExtendedPrecisionWeightedSum)
{
    Raster raster;
    int multiplesOf100 = 0;
    int belowFloor = 0;
    int aboveFloor = 0;
    int mismatches = 0;
    for (int r = 0; r < 256; ++r) {
        raster.setSize(256, 256, PixelFormat::Pf24Bit);
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                std::uint8_t* p = raster.row(g) + 3 * b;
                p[0] = static_cast<std::uint8_t>(r);
                p[1] = static_cast<std::uint8_t>(g);
                p[2] = static_cast<std::uint8_t>(b);
            }
        GreyscaleRaster(raster);
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                const int grey = raster.row(g)[3 * b];
                const int weighted = 30 * r + 59 * g + 11 * b;
                const int expected = truncated((r * 0.3L + g * 0.59L) + b * 0.11L, weighted / 100);
                mismatches += grey != expected;
                multiplesOf100 += weighted % 100 == 0;
                belowFloor += grey < weighted / 100;
                aboveFloor += grey > weighted / 100;
            }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(multiplesOf100, 167832);
    EXPECT_EQ(belowFloor, 27809);
    EXPECT_EQ(aboveFloor, 0);
}

TEST(GreyscaleRaster, fortyEightPureGreysComeOutOneDarker)
{
    std::vector<int> darker;
    for (int v = 0; v < 256; ++v) {
        const int grey = greyOf(v, v, v);
        ASSERT_TRUE(grey == v || grey == v - 1) << v;
        if (grey == v - 1)
            darker.push_back(v);
    }
    ASSERT_EQ(darker.size(), 48u);
    EXPECT_EQ(std::vector<int>(darker.begin(), darker.begin() + 7),
              (std::vector<int>{7, 14, 15, 21, 27, 28, 30}));
}

TEST(GreyscaleRaster, knownColoursGiveTheirGreyLevels)
{
    struct Case {
        int r, g, b, grey;
    };
    const Case cases[] = {
        {0, 0, 0, 0},       {255, 255, 255, 255}, {255, 0, 0, 76},     {0, 255, 0, 150},
        {0, 0, 255, 28},    {10, 20, 30, 18},     {200, 100, 50, 124}, {100, 100, 100, 100},
        {128, 128, 128, 128},
        // Weighted sums of exactly 700, 600 and 700 land just below in extended precision.
        {7, 7, 7, 6},       {0, 7, 17, 5},        {0, 10, 10, 6},
    };
    for (const Case& c : cases)
        EXPECT_EQ(greyOf(c.r, c.g, c.b), c.grey) << c.r << "," << c.g << "," << c.b;
}

TEST(GreyscaleRaster, leavesOtherPixelFormatsAlone)
{
    for (PixelFormat format : {PixelFormat::Pf8Bit, PixelFormat::Pf32Bit}) {
        Raster raster;
        raster.setSize(2, 2, format);
        for (std::size_t i = 0; i < raster.Pixels.size(); ++i)
            raster.Pixels[i] = static_cast<std::uint8_t>(i * 37);
        const auto before = raster.Pixels;
        GreyscaleRaster(raster);
        EXPECT_EQ(raster.Pixels, before) << static_cast<int>(format);
        EXPECT_EQ(raster.Format, format);
    }
}

// ---- reduction to 8 bits and median filter ----

TEST(ReduceToGrey8, givesEightBitGreyLevelsWithAGreyPalette)
{
    Raster raster;
    raster.setSize(3, 3, PixelFormat::Pf24Bit);
    const std::uint8_t colours[9][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {10, 20, 30}, {7, 7, 7},
                                        {200, 100, 50}, {0, 0, 0}, {255, 255, 255}, {0, 10, 10}};
    for (int i = 0; i < 9; ++i)
        std::memcpy(raster.Pixels.data() + 3 * i, colours[i], 3);
    ReduceToGrey8(raster, 1);
    ASSERT_EQ(raster.Format, PixelFormat::Pf8Bit);
    ASSERT_EQ(raster.Pixels.size(), 9u);
    // The centre is the median of its eight neighbours and itself.
    EXPECT_EQ(rowsOf(raster), (Rows{{76, 150, 28}, {18, 28, 124}, {0, 255, 6}}));
    ASSERT_EQ(raster.PaletteSize, 256);
    for (int i = 0; i < 256; ++i) {
        const auto level = static_cast<std::uint8_t>(i);
        EXPECT_EQ(raster.Palette[i], (RgbColor{level, level, level}));
    }
}

TEST(ReduceToGrey8, convertsButDoesNotFilterRastersTwoPixelsAcross)
{
    for (auto [w, h] : {std::pair{2, 5}, std::pair{5, 2}}) {
        Raster raster;
        raster.setSize(w, h, PixelFormat::Pf24Bit);
        std::fill(raster.Pixels.begin(), raster.Pixels.end(), std::uint8_t{0});
        raster.Pixels[3 * (w + 1)] = 255;  // red at (1, 1)
        ReduceToGrey8(raster, 1);
        ASSERT_EQ(raster.Format, PixelFormat::Pf8Bit) << w << "x" << h;
        EXPECT_EQ(raster.row(1)[1], 76) << w << "x" << h;
    }
}

TEST(MedianFilter3x3, readsTheRasterAsTheScanHasLeftIt)
{
    struct Case {
        const char* name;
        Rows input;
        Rows output;
    };
    const Case cases[] = {
        // Column 2 becomes 0 first; column 1 then sees that 0 (a copy-based filter keeps 9 there).
        {"horizontal", {{0, 0, 0, 0}, {0, 9, 9, 0}, {9, 9, 9, 0}}, {{0, 0, 0, 0}, {0, 0, 0, 0}, {9, 9, 9, 0}}},
        // Row 2's centre becomes 9 first; row 1 then sees it and stays 9.
        {"vertical", {{0, 0, 0}, {0, 9, 9}, {9, 0, 9}, {0, 0, 9}}, {{0, 0, 0}, {0, 9, 9}, {9, 9, 9}, {0, 0, 9}}},
        {"uniform", {{5, 5, 5, 5}, {5, 5, 5, 5}, {5, 5, 5, 5}}, {{5, 5, 5, 5}, {5, 5, 5, 5}, {5, 5, 5, 5}}},
        {"isolated pixel", {{3, 3, 3}, {3, 200, 3}, {3, 3, 3}}, {{3, 3, 3}, {3, 3, 3}, {3, 3, 3}}},
        {"two rows", {{0, 9, 0}, {9, 0, 9}}, {{0, 9, 0}, {9, 0, 9}}},
        {"two columns", {{0, 9}, {9, 0}, {0, 9}}, {{0, 9}, {9, 0}, {0, 9}}},
    };
    for (const Case& c : cases) {
        Raster raster = greyRaster(c.input);
        MedianFilter3x3(raster);
        EXPECT_EQ(rowsOf(raster), c.output) << c.name;
    }
}

TEST(MedianFilter3x3, agreesWithAPlainSortingFilterOnRandomRasters)
{
    // Widths cover the one-pixel interior, short rows, the 128 of the system,
    // and rows longer than one prepared block.
    const std::pair<int, int> sizes[] = {{3, 3}, {4, 7}, {17, 5}, {18, 18}, {33, 9}, {128, 128}, {131, 6}, {300, 4}};
    unsigned seed = 1;
    for (auto [w, h] : sizes) {
        for (int levels : {2, 3, 256}) {
            Raster fast = randomGreyRaster(w, h, seed++, levels);
            Raster plain = fast;
            MedianFilter3x3(fast);
            referenceMedian(plain);
            EXPECT_EQ(fast.Pixels, plain.Pixels) << w << "x" << h << " levels " << levels;
        }
    }
}

TEST(MedianFilter3x3, leavesNonEightBitRastersAlone)
{
    Raster raster;
    raster.setSize(3, 3, PixelFormat::Pf24Bit);
    std::fill(raster.Pixels.begin(), raster.Pixels.end(), std::uint8_t{0});
    raster.Pixels[12] = 255;
    const auto before = raster.Pixels;
    MedianFilter3x3(raster);
    EXPECT_EQ(raster.Pixels, before);
}

// ---- mean ----

TEST(MeanGrey, isTheTruncatedAverageOfAnEightBitRaster)
{
    struct Case {
        const char* name;
        Raster raster;
        int mean;
    };
    Raster rgb;
    rgb.setSize(2, 2, PixelFormat::Pf24Bit);
    std::fill(rgb.Pixels.begin(), rgb.Pixels.end(), std::uint8_t{200});
    const Case cases[] = {
        {"one bright pixel", squareRaster([](int y, int x) { return y == 5 && x == 9 ? 255 : 0; }), 0},
        {"half and half", squareRaster([](int, int x) { return x < 64 ? 0 : 255; }), 127},
        {"all white", squareRaster([](int, int) { return 255; }), 255},
        {"24-bit", rgb, 0},
        {"empty", Raster{0, 0, PixelFormat::Pf8Bit, {}, {}, 0}, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MeanGrey(c.raster), c.mean) << c.name;
}

// ---- Haar transform ----

TEST(HaarTransform1D, detailOfTheFinestPairAndAverageOfAConstant)
{
    double v[128] = {1.0, -1.0};
    HaarTransform1D(v);
    for (int i = 0; i < 128; ++i)
        EXPECT_EQ(v[i], i == 64 ? 0.125 : 0.0) << i;

    for (double c : {1.0, -37.0, 128.0}) {
        double k[128];
        std::fill(k, k + 128, c);
        HaarTransform1D(k);
        EXPECT_NEAR(k[0], c, std::fabs(c) * 1e-15) << c;
        for (int i = 1; i < 128; ++i)
            EXPECT_EQ(k[i], 0.0) << c << " at " << i;
    }
}

TEST(HaarTransform2D, matchesThePlainTransposingTransformBitForBit)
{
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> grey(-128, 127);
    std::uniform_real_distribution<double> real(-1e3, 1e3);
    auto m = std::make_unique<TWaveletMatrix>();
    auto plain = std::make_unique<TWaveletMatrix>();
    for (int round = 0; round < 6; ++round) {
        for (auto& row : *m)
            for (double& x : row)
                x = round < 2 ? grey(rng) : round < 4 ? std::floor(grey(rng) / 16.0) : real(rng);
        *plain = *m;
        HaarTransform2D(*m);
        referenceHaar2D(*plain);
        EXPECT_TRUE(bitIdentical(*m, *plain)) << "round " << round;
    }
}

// ---- quantisation and position lists ----

TEST(KeepStrongestCoefs, agreesWithAFullSortIncludingTies)
{
    std::mt19937 rng(7);
    auto m = std::make_unique<TWaveletMatrix>();
    auto plain = std::make_unique<TWaveletMatrix>();
    // Continuous values, coarse integers full of ties, and few non-zero values.
    for (int kind = 0; kind < 5; ++kind) {
        for (auto& row : *m)
            for (double& x : row) {
                const int r = static_cast<int>(rng() % 2001) - 1000;
                x = kind == 0 ? r / 7.0 : kind == 1 ? r % 5 : kind == 2 ? (rng() % 64 == 0 ? r : 0)
                  : kind == 3 ? (rng() % 4 == 0 ? 3.0 : 0.0) : 0.0;
            }
        (*m)[0][0] = 1e9;
        *plain = *m;
        KeepStrongestCoefs(*m);
        referenceKeepStrongest(*plain);
        EXPECT_TRUE(bitIdentical(*m, *plain)) << "kind " << kind;
    }
}

TEST(WaveletSignature, halfAndHalfRastersKeepOnlyTheCoarsestDetail)
{
    struct Case {
        const char* name;
        Raster raster;
        bool negative;
        TWaveletPoint point;
    };
    const Case cases[] = {
        {"dark left", squareRaster([](int, int x) { return x < 64 ? 0 : 255; }), true, {0, 1}},
        {"dark right", squareRaster([](int, int x) { return x < 64 ? 255 : 0; }), false, {0, 1}},
        {"dark top", squareRaster([](int y, int) { return y < 64 ? 0 : 255; }), true, {1, 0}},
    };
    for (const Case& c : cases) {
        const Signature s = signatureOf(c.raster);
        const TWaveletCoefs& kept = c.negative ? s.neg : s.pos;
        const TWaveletCoefs& other = c.negative ? s.pos : s.neg;
        EXPECT_EQ(kept[0], c.point) << c.name;
        EXPECT_EQ(filledSlots(kept), 1) << c.name;
        EXPECT_EQ(filledSlots(other), 0) << c.name;
    }
}

TEST(WaveletSignature, uniformRasterKeepsNothing)
{
    for (int level : {0, 77, 255}) {
        const Signature s = signatureOf(squareRaster([level](int, int) { return level; }));
        EXPECT_EQ(filledSlots(s.pos) + filledSlots(s.neg), 0) << level;
    }
}

TEST(WaveletSignature, randomRasterKeepsExactly250InRowMajorOrder)
{
    const Raster raster = randomGreyRaster(128, 128, 2026);
    auto m = std::make_unique<TWaveletMatrix>();
    const int mean = MeanGrey(raster);
    for (int r = 0; r < 128; ++r)
        for (int c = 0; c < 128; ++c)
            (*m)[r][c] = raster.row(r)[c] - mean;
    HaarTransform2D(*m);
    std::vector<double> mags;
    for (int i = 1; i < 16384; ++i)
        mags.push_back(std::fabs((*m)[i / 128][i % 128]));
    std::sort(mags.rbegin(), mags.rend());
    ASSERT_NE(mags[249], mags[250]);  // the 250th and 251st largest differ

    const Signature s = signatureOf(raster);
    const int pos = filledSlots(s.pos);
    const int neg = filledSlots(s.neg);
    EXPECT_EQ(pos + neg, 250);
    auto rowMajor = [](const TWaveletPoint& a, const TWaveletPoint& b) {
        return a.X != b.X ? a.X < b.X : a.Y < b.Y;
    };
    EXPECT_TRUE(std::is_sorted(s.pos.begin(), s.pos.begin() + pos, rowMajor));
    EXPECT_TRUE(std::is_sorted(s.neg.begin(), s.neg.begin() + neg, rowMajor));
}

TEST(WaveletSignature, neverKeepsTheAverageHoweverLarge)
{
    // A bright raster centred on a far too small mean: (0, 0) dwarfs everything.
    const Raster raster = squareRaster([](int y, int x) { return 200 + (x * 7 + y * 3) % 50; });
    auto m = std::make_unique<TWaveletMatrix>();
    ComputeWaveletMatrix(raster, *m, 0);
    EXPECT_EQ((*m)[0][0], 0.0);
    Signature s;
    ExtractWaveletCoefs(*m, s.pos, s.neg);
    EXPECT_LE(filledSlots(s.pos) + filledSlots(s.neg), 250);
}

TEST(ExtractWaveletCoefs, fillsEachListUpTo250AndClearsTheRest)
{
    auto m = std::make_unique<TWaveletMatrix>();
    for (int i = 0; i < 16384; ++i)
        (*m)[i / 128][i % 128] = i % 3 == 1 ? 1.0 : i % 3 == 2 ? -1.0 : 0.0;
    Signature s;
    s.pos.fill({5, 5});
    s.neg.fill({5, 5});
    ExtractWaveletCoefs(*m, s.pos, s.neg);
    EXPECT_EQ(s.pos[0], (TWaveletPoint{0, 1}));
    EXPECT_EQ(s.neg[0], (TWaveletPoint{0, 2}));
    EXPECT_EQ(s.pos[249], (TWaveletPoint{5, 108}));  // index 748 = 3 * 249 + 1
    EXPECT_EQ(filledSlots(s.pos), 250);

    (*m)[0][1] = 0.0;
    std::fill(&(*m)[0][2], &(*m)[0][0] + 16384, 0.0);
    ExtractWaveletCoefs(*m, s.pos, s.neg);
    EXPECT_EQ(filledSlots(s.pos) + filledSlots(s.neg), 0);
}

TEST(ComputeWaveletMatrix, leavesTheMatrixAloneForOtherRasters)
{
    Raster rgb;
    rgb.setSize(128, 128, PixelFormat::Pf24Bit);
    Raster small = randomGreyRaster(64, 64, 3);
    for (const Raster* raster : {&rgb, &small}) {
        auto m = std::make_unique<TWaveletMatrix>();
        for (auto& row : *m)
            row.fill(4.5);
        ComputeWaveletMatrix(*raster, *m, 0);
        EXPECT_EQ((*m)[0][0], 4.5);
        EXPECT_EQ((*m)[127][127], 4.5);
    }
}
