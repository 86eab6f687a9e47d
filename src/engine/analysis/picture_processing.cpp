#include "engine/analysis/picture_processing.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/analysis/raster.h"

namespace ferrovin {

// Signatures are compared bit for bit with other builds: the grey weights and
// the Haar transform must run in x87 double-extended precision.
static_assert(std::numeric_limits<long double>::digits == 64,
              "long double must be the 80-bit double-extended type");
static_assert(std::numeric_limits<double>::is_iec559, "double must be IEEE 754 binary64");

namespace {

constexpr int kSide = kMatrixSide;
constexpr int kEntries = kSide * kSide;
// Rank, in the ascending list of magnitudes, of the largest one that is dropped.
constexpr int kThresholdIndex = 16133;
constexpr int kKeptAbove = kEntries - kThresholdIndex;  // 251
constexpr int kFilterBlock = 128;  // columns of the median filter prepared at once

bool holdsPixels(const Raster& raster)
{
    if (raster.Width <= 0 || raster.Height <= 0)
        return false;
    return raster.Pixels.size() >= raster.rowBytes() * static_cast<std::size_t>(raster.Height);
}

// Products of each channel value with its weight, each rounded once to
// double-extended exactly as R * 0.3L would be.
struct GreyWeights {
    long double r[256];
    long double g[256];
    long double b[256];
    GreyWeights()
    {
        for (int v = 0; v < 256; ++v) {
            r[v] = v * 0.3L;
            g[v] = v * 0.59L;
            b[v] = v * 0.11L;
        }
    }
};

const GreyWeights& greyWeights()
{
    static const GreyWeights weights;
    return weights;
}

// Truncates (R*0.3 + G*0.59) + B*0.11, evaluated in double-extended. The exact
// value is (30R + 59G + 11B) / 100 and the rounding error is far below 1/100,
// so the truncation is that integer quotient, except that when the weighted
// sum is a multiple of 100 the extended evaluation may land just below it and
// truncate to one less. Only those colours need the extended arithmetic.
inline std::uint8_t greyLevel(const GreyWeights& w, unsigned r, unsigned g, unsigned b)
{
    const unsigned weighted = 30 * r + 59 * g + 11 * b;
    const unsigned quotient = weighted / 100;
    if (weighted != quotient * 100)
        return static_cast<std::uint8_t>(quotient);
    const long double sum = (w.r[r] + w.g[g]) + w.b[b];
    return static_cast<std::uint8_t>(sum < static_cast<long double>(quotient) ? quotient - 1 : quotient);
}

// Byte-wise minimum and maximum of one pixel or, with SSE2, of 16 at once.
inline std::uint8_t lesser(std::uint8_t a, std::uint8_t b) { return a < b ? a : b; }
inline std::uint8_t greater(std::uint8_t a, std::uint8_t b) { return a < b ? b : a; }
#if defined(__SSE2__)
inline __m128i lesser(__m128i a, __m128i b) { return _mm_min_epu8(a, b); }
inline __m128i greater(__m128i a, __m128i b) { return _mm_max_epu8(a, b); }
#endif

template <class V>
inline void sortPair(V& a, V& b)
{
    const V lo = lesser(a, b);
    b = greater(a, b);
    a = lo;
}

// The 4th and 5th smallest of eight values: Batcher's odd-even merge sort of
// eight, of which the unused outputs fold away.
template <class V>
inline void middlesOfEight(V x0, V x1, V x2, V x3, V x4, V x5, V x6, V x7, V& lower, V& upper)
{
    sortPair(x0, x1); sortPair(x2, x3); sortPair(x4, x5); sortPair(x6, x7);
    sortPair(x0, x2); sortPair(x1, x3); sortPair(x4, x6); sortPair(x5, x7);
    sortPair(x1, x2); sortPair(x5, x6);
    sortPair(x0, x4); sortPair(x1, x5); sortPair(x2, x6); sortPair(x3, x7);
    sortPair(x2, x4); sortPair(x3, x5);
    sortPair(x1, x2); sortPair(x3, x4); sortPair(x5, x6);
    lower = x3;
    upper = x4;
}

// For each window centre c in [first, first + count), the 4th and 5th smallest
// of the eight window values other than the centre's right neighbour, which is
// the one value the in-place scan changes while it walks the row. Written to
// lower[c - first] and upper[c - first]. Columns are independent of each other.
void lowerAndUpperMiddles(const std::uint8_t* above, const std::uint8_t* here,
                          const std::uint8_t* below, int first, int count,
                          std::uint8_t* lower, std::uint8_t* upper)
{
    above += first;
    here += first;
    below += first;
    int c = 0;
#if defined(__SSE2__)
    constexpr int kLanes = 16;
    auto load = [](const std::uint8_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    auto vectorAt = [&](int at) {
        __m128i lo;
        __m128i hi;
        middlesOfEight(load(above + at - 1), load(above + at), load(above + at + 1),
                       load(below + at - 1), load(below + at), load(below + at + 1),
                       load(here + at - 1), load(here + at), lo, hi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lower + at), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(upper + at), hi);
    };
    if (count >= kLanes) {
        for (; c + kLanes <= count; c += kLanes)
            vectorAt(c);
        // The last columns again as one overlapping vector: results depend only
        // on the unchanged inputs, so recomputing some is harmless.
        if (c < count)
            vectorAt(count - kLanes);
        c = count;
    }
#endif
    for (; c < count; ++c) {
        middlesOfEight(above[c - 1], above[c], above[c + 1], below[c - 1], below[c],
                       below[c + 1], here[c - 1], here[c], lower[c], upper[c]);
    }
}

const long double kSqrt128 = std::sqrt(128.0L);
const long double kSqrt2 = std::sqrt(2.0L);

// One pass of the transform over v[0 .. 2h-1]; t is scratch of the same length.
// Each operand is a double widened to double-extended, the sum or difference and
// the quotient are rounded to double-extended, the result to double.
inline void haarPass(double* v, double* t, int h)
{
    const long double divisor = kSqrt2;
    for (int i = 0; i < h; ++i) {
        const long double a = v[2 * i];
        const long double b = v[2 * i + 1];
        t[i] = static_cast<double>((a + b) / divisor);
        t[h + i] = static_cast<double>((a - b) / divisor);
    }
    std::memcpy(v, t, sizeof(double) * 2 * static_cast<std::size_t>(h));
}

void haar128(double* v)
{
    const long double divisor = kSqrt128;
    for (int i = 0; i < kSide; ++i)
        v[i] = static_cast<double>(static_cast<long double>(v[i]) / divisor);
    double t[kSide];
    for (int h = kSide / 2; h >= 1; h /= 2)
        haarPass(v, t, h);
}

// The column transform of all 128 columns at once, row vector by row vector:
// every value sees the same operations in the same order as in haar128 on a
// transposed matrix, while memory is walked sequentially.
void haarColumns(TWaveletMatrix& m, TWaveletMatrix& t)
{
    const long double scale = kSqrt128;
    for (auto& row : m)
        for (double& x : row)
            x = static_cast<double>(static_cast<long double>(x) / scale);
    const long double divisor = kSqrt2;
    for (int h = kSide / 2; h >= 1; h /= 2) {
        for (int i = 0; i < h; ++i) {
            const double* upper = m[2 * i].data();
            const double* lower = m[2 * i + 1].data();
            double* sum = t[i].data();
            double* diff = t[h + i].data();
            for (int c = 0; c < kSide; ++c) {
                const long double a = upper[c];
                const long double b = lower[c];
                sum[c] = static_cast<double>((a + b) / divisor);
                diff[c] = static_cast<double>((a - b) / divisor);
            }
        }
        std::memcpy(m.data(), t.data(), sizeof(m[0]) * 2 * static_cast<std::size_t>(h));
    }
}

// Scratch memory of the signature, allocated once per thread on first use so
// that no call allocates and threads that never analyse pay nothing.
struct Workspace {
    TWaveletMatrix scratch;
    std::array<double, kEntries> magnitudes;
    std::array<double, kEntries> candidates;
};

Workspace& workspace()
{
    thread_local std::unique_ptr<Workspace> ws;
    if (!ws)
        ws = std::make_unique<Workspace>();
    return *ws;
}

} // namespace

void GreyscaleRaster(Raster& raster)
{
    if (raster.Format != PixelFormat::Pf24Bit || !holdsPixels(raster))
        return;
    const GreyWeights& w = greyWeights();
    const std::size_t count = static_cast<std::size_t>(raster.Width) * raster.Height;
    std::uint8_t* p = raster.Pixels.data();
    for (std::size_t i = 0; i < count; ++i, p += 3) {
        const std::uint8_t grey = greyLevel(w, p[0], p[1], p[2]);
        p[0] = p[1] = p[2] = grey;
    }
}

void MedianFilter3x3(Raster& raster)
{
    if (raster.Format != PixelFormat::Pf8Bit || raster.Width < 3 || raster.Height < 3
        || !holdsPixels(raster))
        return;
    const int w = raster.Width;
    std::uint8_t lower[kFilterBlock];
    std::uint8_t upper[kFilterBlock];
    // The filter writes into the raster it reads: the scan order (bottom row
    // first, right to left) decides which neighbours are already filtered.
    // Within a row only the right neighbour changes under the scan, so the
    // median of the nine is that neighbour clamped between the 4th and 5th
    // smallest of the other eight, which are worked out for the row up front.
    for (int r = raster.Height - 2; r >= 1; --r) {
        const std::uint8_t* above = raster.row(r - 1);
        std::uint8_t* here = raster.row(r);
        const std::uint8_t* below = raster.row(r + 1);
        // Blocks from the right, each prepared just before the scan reaches it,
        // while its own pixels of this row are still unfiltered.
        std::uint8_t right = here[w - 1];
        for (int last = w - 2; last >= 1;) {
            const int first = std::max(1, last - kFilterBlock + 1);
            lowerAndUpperMiddles(above, here, below, first, last - first + 1, lower, upper);
            for (int c = last; c >= first; --c) {
                right = std::min(std::max(right, lower[c - first]), upper[c - first]);
                here[c] = right;
            }
            last = first - 1;
        }
    }
}

void ReduceToGrey8(Raster& raster, std::int32_t Step)
{
    if (raster.Format != PixelFormat::Pf24Bit || !holdsPixels(raster))
        return;
    // A step below 1 has no meaning; treat it as the identity palette.
    const int step = Step < 1 ? 1 : Step;
    for (int i = 0; i < 256; ++i) {
        const auto level = static_cast<std::uint8_t>(step * (i / step));
        raster.Palette[static_cast<std::size_t>(i)] = RgbColor{level, level, level};
    }
    raster.PaletteSize = 256;

    GreyscaleRaster(raster);

    // Every pixel keeps its grey level as its byte. Compacting forwards is safe
    // since pixel i's byte moves from offset 3i to i.
    const std::size_t count = static_cast<std::size_t>(raster.Width) * raster.Height;
    std::uint8_t* p = raster.Pixels.data();
    for (std::size_t i = 0; i < count; ++i)
        p[i] = p[3 * i];
    raster.setSize(raster.Width, raster.Height, PixelFormat::Pf8Bit);

    MedianFilter3x3(raster);
}

std::int32_t MeanGrey(const Raster& raster)
{
    if (raster.Format != PixelFormat::Pf8Bit || !holdsPixels(raster))
        return 0;
    const std::size_t count = static_cast<std::size_t>(raster.Width) * raster.Height;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += raster.Pixels[i];
    return static_cast<std::int32_t>(sum / count);
}

void ComputeWaveletMatrix(const Raster& raster, TWaveletMatrix& matrix, std::int32_t Mean)
{
    // Only the 128 x 128 grey raster fits the matrix; anything else is left alone.
    if (raster.Format != PixelFormat::Pf8Bit || raster.Width != kSide || raster.Height != kSide
        || !holdsPixels(raster))
        return;
    for (int r = 0; r < kSide; ++r) {
        const std::uint8_t* src = raster.row(r);
        for (int c = 0; c < kSide; ++c)
            matrix[r][c] = static_cast<double>(std::int64_t{src[c]} - Mean);
    }
    HaarTransform2D(matrix);
    KeepStrongestCoefs(matrix);
}

void HaarTransform1D(double* vector)
{
    haar128(vector);
}

void HaarTransform2D(TWaveletMatrix& matrix)
{
    for (auto& row : matrix)
        haar128(row.data());
    haarColumns(matrix, workspace().scratch);
}

void KeepStrongestCoefs(TWaveletMatrix& matrix)
{
    Workspace& ws = workspace();
    double* mag = ws.magnitudes.data();
    double* candidates = ws.candidates.data();
    for (int r = 0; r < kSide; ++r)
        for (int c = 0; c < kSide; ++c)
            mag[r * kSide + c] = std::fabs(matrix[r][c]);
    mag[0] = 0.0;

    // T is the 251st largest magnitude. A sample gives a bound P; when at least
    // 251 magnitudes exceed P, T is among them and only those need selecting.
    // Otherwise fall back to selecting from all of them.
    constexpr int kSampleStride = 16;
    constexpr int kSampleSize = kEntries / kSampleStride;
    double sample[kSampleSize];
    for (int i = 0; i < kSampleSize; ++i)
        sample[i] = mag[i * kSampleStride];
    // About 32 of 1024 sampled above P: some 500 expected overall, well over 251.
    constexpr int kSampleRank = kSampleSize - 32;
    std::nth_element(sample, sample + kSampleRank, sample + kSampleSize);
    const double bound = sample[kSampleRank];

    int above = 0;
    for (int i = 0; i < kEntries; ++i) {
        candidates[above] = mag[i];
        above += mag[i] > bound ? 1 : 0;
    }
    double threshold;
    if (above >= kKeptAbove) {
        // The candidates hold the top `above` ranks of the full list.
        const int rank = kThresholdIndex - (kEntries - above);
        std::nth_element(candidates, candidates + rank, candidates + above);
        threshold = candidates[rank];
    } else {
        std::nth_element(mag, mag + kThresholdIndex, mag + kEntries);
        threshold = mag[kThresholdIndex];
    }

    for (auto& row : matrix)
        for (double& x : row)
            x = std::fabs(x) > threshold ? (x > 0.0 ? 1.0 : -1.0) : 0.0;
    matrix[0][0] = 0.0;
}

void ExtractWaveletCoefs(const TWaveletMatrix& matrix, TWaveletCoefs& Pos, TWaveletCoefs& Neg)
{
    Pos.fill(TWaveletPoint{});
    Neg.fill(TWaveletPoint{});
    int positives = 0;
    int negatives = 0;
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c) {
            const double x = matrix[r][c];
            if (x > 0.0 && positives < kWaveletSlots)
                Pos[static_cast<std::size_t>(positives++)] = TWaveletPoint{r, c};
            else if (x < 0.0 && negatives < kWaveletSlots)
                Neg[static_cast<std::size_t>(negatives++)] = TWaveletPoint{r, c};
        }
    }
}

} // namespace ferrovin
