#include "engine/analysis/decoders/jpeg_round_trip.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <jpeglib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/analysis/decoders/jpeg_codec.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"

namespace ferrovin {

namespace {

// 32 bits suffice for every intermediate of 8-bit samples, as in the library.
using Block = std::array<std::int32_t, 64>;

// ---- the library's fixed-point conventions ----

constexpr std::int32_t fix16(double x) { return static_cast<std::int32_t>(x * 65536.0 + 0.5); }
constexpr std::int32_t fix13(double x) { return static_cast<std::int32_t>(x * 8192.0 + 0.5); }

// Rounding right shift; the shifts are arithmetic, also for negative values.
constexpr std::int32_t descale(std::int32_t x, int n) { return (x + (std::int32_t{1} << (n - 1))) >> n; }

// The decoder's post-IDCT range limit: ten bits wrap, then clamp around 128.
constexpr std::uint8_t rangeLimit(std::int32_t v)
{
    const std::int32_t wrapped = ((v & 1023) ^ 512) - 512;
    return static_cast<std::uint8_t>(std::clamp(wrapped + 128, 0, 255));
}

// Division with rounding as the encoder does it: by a reciprocal, a correction
// and a shift chosen per divisor (the divisor is the quantiser times eight).
struct Reciprocal {
    std::uint32_t factor = 1;
    std::uint32_t correction = 0;
    int shift = 0;
};

Reciprocal reciprocalOf(std::uint32_t divisor)
{
    Reciprocal r;
    if (divisor <= 1)
        return r;
    int bits = 0;
    while ((divisor >> (bits + 1)) != 0)
        ++bits;
    int shift = 16 + bits;
    std::uint32_t factor = (std::uint32_t{1} << shift) / divisor;
    const std::uint32_t remainder = (std::uint32_t{1} << shift) % divisor;
    std::uint32_t correction = divisor / 2;
    if (remainder == 0) {
        factor >>= 1;
        --shift;
    } else if (remainder <= divisor / 2) {
        ++correction;
    } else {
        ++factor;
    }
    r.factor = factor;
    r.correction = correction;
    r.shift = shift;
    return r;
}

std::int32_t quantise(std::int32_t value, const Reciprocal& r)
{
    const auto magnitude = static_cast<std::uint32_t>(value < 0 ? -value : value);
    const auto q = static_cast<std::int32_t>(((magnitude + r.correction) * r.factor) >> r.shift);
    return value < 0 ? -q : q;
}

// ---- forward DCT: the library's slow integer method, outputs scaled by 8 ----

// Eight 32-bit lanes: the DCT runs on all rows, then all columns, of a block at once.
using Lanes = std::int32_t __attribute__((vector_size(32)));

// One 1-D pass over eight lanes; `second` is the column pass, which removes the
// row pass's extra scaling.
[[gnu::always_inline]] inline void dctPass(Lanes* p, bool second)
{
    constexpr int kConstBits = 13;
    constexpr int kPass1Bits = 2;
    const Lanes t0 = p[0] + p[7], t7 = p[0] - p[7];
    const Lanes t1 = p[1] + p[6], t6 = p[1] - p[6];
    const Lanes t2 = p[2] + p[5], t5 = p[2] - p[5];
    const Lanes t3 = p[3] + p[4], t4 = p[3] - p[4];
    const Lanes t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    const int shift = second ? kConstBits + kPass1Bits : kConstBits - kPass1Bits;
    const std::int32_t half = std::int32_t{1} << (shift - 1);
    if (second) {
        p[0] = (t10 + t11 + (1 << (kPass1Bits - 1))) >> kPass1Bits;
        p[4] = (t10 - t11 + (1 << (kPass1Bits - 1))) >> kPass1Bits;
    } else {
        p[0] = (t10 + t11) * (1 << kPass1Bits);
        p[4] = (t10 - t11) * (1 << kPass1Bits);
    }
    const Lanes z1 = (t12 + t13) * fix13(0.541196100);
    p[2] = (z1 + t13 * fix13(0.765366865) + half) >> shift;
    p[6] = (z1 - t12 * fix13(1.847759065) + half) >> shift;

    const Lanes z5 = (t4 + t6 + t5 + t7) * fix13(1.175875602);
    const Lanes o1 = (t4 + t7) * -fix13(0.899976223);
    const Lanes o2 = (t5 + t6) * -fix13(2.562915447);
    const Lanes o3 = (t4 + t6) * -fix13(1.961570560) + z5;
    const Lanes o4 = (t5 + t7) * -fix13(0.390180644) + z5;
    p[7] = (t4 * fix13(0.298631336) + o1 + o3 + half) >> shift;
    p[5] = (t5 * fix13(2.053119869) + o2 + o4 + half) >> shift;
    p[3] = (t6 * fix13(3.072711026) + o2 + o3 + half) >> shift;
    p[1] = (t7 * fix13(1.501321110) + o1 + o4 + half) >> shift;
}

using UnsignedLanes = std::uint32_t __attribute__((vector_size(32)));

// A quantisation table's reciprocals laid out by row, for eight lanes at once.
struct Divisors {
    UnsignedLanes Factor[8];
    UnsignedLanes Correction[8];
    UnsignedLanes Shift[8];
};

Divisors divisorsOf(const std::array<Reciprocal, 64>& reciprocals)
{
    Divisors d{};
    for (int i = 0; i < 64; ++i) {
        d.Factor[i / 8][i % 8] = reciprocals[i].factor;
        d.Correction[i / 8][i % 8] = reciprocals[i].correction;
        d.Shift[i / 8][i % 8] = static_cast<std::uint32_t>(reciprocals[i].shift);
    }
    return d;
}

// The quantised forward DCT of the 8x8 samples at `plane` (less 128, as the
// encoder centres them), coefficients in natural order; the plain build, for
// processors without AVX2.
void forwardDctPlain(const std::uint8_t* plane, std::size_t stride, const Divisors& divide, Block& out)
{
    // Lane r of v[c] is row r, column c: the row pass works on all rows at once.
    Lanes v[8];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            v[c][r] = plane[r * stride + c] - 128;
    dctPass(v, false);
    // Lane c of w[r] is row r, column c: now the column pass.
    Lanes w[8];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            w[r][c] = v[c][r];
    dctPass(w, true);
    // Magnitudes divided as quantise() does, signs put back.
    for (int r = 0; r < 8; ++r) {
        const Lanes sign = w[r] >> 31;
        const auto magnitude = reinterpret_cast<UnsignedLanes>((w[r] ^ sign) - sign);
        const UnsignedLanes q = ((magnitude + divide.Correction[r]) * divide.Factor[r]) >> divide.Shift[r];
        w[r] = (reinterpret_cast<const Lanes&>(q) ^ sign) - sign;
    }
    std::memcpy(out.data(), w, sizeof w);
}

#if defined(__x86_64__)
// The same DCT with the block turned by shuffles instead of lane by lane: the
// lane-wise version spends most of its time on the loads and stores of that.
[[gnu::target("avx2")]]
void forwardDctWide(const std::uint8_t* plane, std::size_t stride, const Divisors& divide, Block& out)
{
    // Eight rows of eight bytes transposed into columns of eight bytes.
    __m128i row[8];
    for (int r = 0; r < 8; ++r)
        row[r] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane + r * stride));
    const __m128i pairs01 = _mm_unpacklo_epi8(row[0], row[1]), pairs23 = _mm_unpacklo_epi8(row[2], row[3]);
    const __m128i pairs45 = _mm_unpacklo_epi8(row[4], row[5]), pairs67 = _mm_unpacklo_epi8(row[6], row[7]);
    const __m128i top03 = _mm_unpacklo_epi16(pairs01, pairs23), top47 = _mm_unpackhi_epi16(pairs01, pairs23);
    const __m128i bottom03 = _mm_unpacklo_epi16(pairs45, pairs67), bottom47 = _mm_unpackhi_epi16(pairs45, pairs67);
    const __m128i columns[4] = {_mm_unpacklo_epi32(top03, bottom03), _mm_unpackhi_epi32(top03, bottom03),
                                _mm_unpacklo_epi32(top47, bottom47), _mm_unpackhi_epi32(top47, bottom47)};
    const __m256i centre = _mm256_set1_epi32(128);
    Lanes v[8];
    for (int k = 0; k < 4; ++k) {
        v[2 * k] = (Lanes)_mm256_sub_epi32(_mm256_cvtepu8_epi32(columns[k]), centre);
        v[2 * k + 1] = (Lanes)_mm256_sub_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(columns[k], 8)), centre);
    }
    dctPass(v, false);

    __m256i t[8], u[8];
    for (int k = 0; k < 8; k += 2) {
        t[k] = _mm256_unpacklo_epi32((__m256i)v[k], (__m256i)v[k + 1]);
        t[k + 1] = _mm256_unpackhi_epi32((__m256i)v[k], (__m256i)v[k + 1]);
    }
    for (int k = 0; k < 8; k += 4) {
        u[k] = _mm256_unpacklo_epi64(t[k], t[k + 2]);      // rows 0 and 4
        u[k + 1] = _mm256_unpackhi_epi64(t[k], t[k + 2]);  // rows 1 and 5
        u[k + 2] = _mm256_unpacklo_epi64(t[k + 1], t[k + 3]);  // rows 2 and 6
        u[k + 3] = _mm256_unpackhi_epi64(t[k + 1], t[k + 3]);  // rows 3 and 7
    }
    Lanes w[8];
    for (int r = 0; r < 4; ++r) {
        w[r] = (Lanes)_mm256_permute2x128_si256(u[r], u[r + 4], 0x20);
        w[r + 4] = (Lanes)_mm256_permute2x128_si256(u[r], u[r + 4], 0x31);
    }
    dctPass(w, true);

    for (int r = 0; r < 8; ++r) {
        const __m256i value = (__m256i)w[r];
        const __m256i sign = _mm256_srai_epi32(value, 31);
        const __m256i magnitude = _mm256_sub_epi32(_mm256_xor_si256(value, sign), sign);
        const __m256i product = _mm256_mullo_epi32(
            _mm256_add_epi32(magnitude, (__m256i)divide.Correction[r]), (__m256i)divide.Factor[r]);
        const __m256i q = _mm256_srlv_epi32(product, (__m256i)divide.Shift[r]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.data() + 8 * r),
                            _mm256_sub_epi32(_mm256_xor_si256(q, sign), sign));
    }
}
#endif

void forwardDct(const std::uint8_t* plane, std::size_t stride, const Divisors& divide, Block& out)
{
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide) {
        forwardDctWide(plane, stride, divide, out);
        return;
    }
#endif
    forwardDctPlain(plane, stride, divide, out);
}

// ---- reduced inverse DCTs, dequantising on the way in ----

// 2x2 outputs from the coefficients in rows and columns 0, 1, 3, 5, 7.
void inverseDct2x2(const Block& q, const int* quant, std::uint8_t out[2][2])
{
    std::int32_t ws[2][8] = {};
    auto odd = [](std::int32_t c1, std::int32_t c3, std::int32_t c5, std::int32_t c7) {
        return c7 * -fix13(0.720959822) + c5 * fix13(0.850430095) + c3 * -fix13(1.272758580)
            + c1 * fix13(3.624509785);
    };
    for (const int c : {0, 1, 3, 5, 7}) {
        auto at = [&](int r) { return q[r * 8 + c] * quant[r * 8 + c]; };
        const std::int32_t even = at(0) * (1 << 15);
        const std::int32_t o = odd(at(1), at(3), at(5), at(7));
        ws[0][c] = descale(even + o, 13);
        ws[1][c] = descale(even - o, 13);
    }
    for (int r = 0; r < 2; ++r) {
        const std::int32_t even = ws[r][0] * (1 << 15);
        const std::int32_t o = odd(ws[r][1], ws[r][3], ws[r][5], ws[r][7]);
        out[r][0] = rangeLimit(descale(even + o, 20));
        out[r][1] = rangeLimit(descale(even - o, 20));
    }
}

// 4x4 outputs from the coefficients in rows and columns other than 4.
void inverseDct4x4(const Block& q, const int* quant, std::uint8_t out[4][4])
{
    std::int32_t ws[4][8] = {};
    struct Parts {
        std::int32_t even0, even1, odd0, odd1;
    };
    auto parts = [](std::int32_t c0, std::int32_t c1, std::int32_t c2, std::int32_t c3, std::int32_t c5,
                    std::int32_t c6, std::int32_t c7) {
        const std::int32_t t0 = c0 * (1 << 14);
        const std::int32_t t2 = c2 * fix13(1.847759065) + c6 * -fix13(0.765366865);
        const std::int32_t a = c7 * -fix13(0.211164243) + c5 * fix13(1.451774981) + c3 * -fix13(2.172734803)
            + c1 * fix13(1.061594337);
        const std::int32_t b = c7 * -fix13(0.509795579) + c5 * -fix13(0.601344887) + c3 * fix13(0.899976223)
            + c1 * fix13(2.562915447);
        return Parts{t0 + t2, t0 - t2, a, b};
    };
    for (const int c : {0, 1, 2, 3, 5, 6, 7}) {
        auto at = [&](int r) { return q[r * 8 + c] * quant[r * 8 + c]; };
        const Parts p = parts(at(0), at(1), at(2), at(3), at(5), at(6), at(7));
        ws[0][c] = descale(p.even0 + p.odd1, 12);
        ws[3][c] = descale(p.even0 - p.odd1, 12);
        ws[1][c] = descale(p.even1 + p.odd0, 12);
        ws[2][c] = descale(p.even1 - p.odd0, 12);
    }
    for (int r = 0; r < 4; ++r) {
        const std::int32_t* w = ws[r];
        const Parts p = parts(w[0], w[1], w[2], w[3], w[5], w[6], w[7]);
        out[r][0] = rangeLimit(descale(p.even0 + p.odd1, 19));
        out[r][3] = rangeLimit(descale(p.even0 - p.odd1, 19));
        out[r][1] = rangeLimit(descale(p.even1 + p.odd0, 19));
        out[r][2] = rangeLimit(descale(p.even1 - p.odd0, 19));
    }
}

// ---- the parameters quality 90 gives, read from the library ----

struct Parameters {
    std::array<int, 64> lumaQuant{};
    std::array<int, 64> chromaQuant{};
    Reciprocal lumaDc{};  // alone at 1/8
    Divisors lumaDivisors{};
    Divisors chromaDivisors{};
};

struct QuietErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void quietExit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<QuietErrors*>(cinfo->err)->jump, 1);
}

// Reads the tables jpeg_set_quality(90) makes, and whether the defaults are
// still the ones the arithmetic here repeats: 2x2 luma with 1x1 chroma and
// the slow integer DCT. Plain data only between setjmp and longjmp.
bool readParameters(jpeg_compress_struct& cinfo, QuietErrors& err, Parameters& p)
{
    if (setjmp(err.jump))
        return false;
    jpeg_create_compress(&cinfo);
    cinfo.image_width = 16;
    cinfo.image_height = 16;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    const jpeg_component_info* c = cinfo.comp_info;
    if (cinfo.jpeg_color_space != JCS_YCbCr || cinfo.num_components != 3 || cinfo.dct_method != JDCT_ISLOW
        || cinfo.smoothing_factor != 0 || cinfo.CCIR601_sampling || c[0].h_samp_factor != 2
        || c[0].v_samp_factor != 2 || c[1].h_samp_factor != 1 || c[1].v_samp_factor != 1
        || c[2].h_samp_factor != 1 || c[2].v_samp_factor != 1 || c[1].quant_tbl_no != c[2].quant_tbl_no)
        return false;
    const JQUANT_TBL* luma = cinfo.quant_tbl_ptrs[c[0].quant_tbl_no];
    const JQUANT_TBL* chroma = cinfo.quant_tbl_ptrs[c[1].quant_tbl_no];
    if (luma == nullptr || chroma == nullptr)
        return false;
    std::array<Reciprocal, 64> lumaDivide, chromaDivide;
    for (int i = 0; i < 64; ++i) {
        p.lumaQuant[i] = luma->quantval[i];
        p.chromaQuant[i] = chroma->quantval[i];
        lumaDivide[i] = reciprocalOf(luma->quantval[i] * 8u);
        chromaDivide[i] = reciprocalOf(chroma->quantval[i] * 8u);
    }
    p.lumaDc = lumaDivide[0];
    p.lumaDivisors = divisorsOf(lumaDivide);
    p.chromaDivisors = divisorsOf(chromaDivide);
    return true;
}

std::optional<Parameters> libraryParameters()
{
    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    QuietErrors err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = quietExit;
    Parameters p;
    const bool ok = readParameters(cinfo, err, p);
    jpeg_destroy_compress(&cinfo);
    if (!ok)
        return std::nullopt;
    return p;
}

// ---- colour tables of both directions ----

struct ColourTables {
    std::array<std::int32_t, 256> crToR{}, cbToB{}, crToG{}, cbToG{};
    ColourTables()
    {
        for (int i = 0; i < 256; ++i) {
            const std::int64_t x = i - 128;
            crToR[i] = static_cast<std::int32_t>((fix16(1.40200) * x + 32768) >> 16);
            cbToB[i] = static_cast<std::int32_t>((fix16(1.77200) * x + 32768) >> 16);
            crToG[i] = static_cast<std::int32_t>(-fix16(0.71414) * x);
            cbToG[i] = static_cast<std::int32_t>(-fix16(0.34414) * x + 32768);
        }
    }
};

std::uint8_t clampSample(std::int32_t v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// RGB to Y, Cb and Cr: the last pixels of each row, and whole rows where the
// processor lacks AVX2. One plain loop over separate outputs, which the
// compiler vectorises; integer arithmetic, so every variant gives the same bytes.
[[gnu::target_clones("avx2", "default"), gnu::optimize("tree-vectorize")]]
void convertPixels(const std::uint8_t* __restrict rgb, int count, std::uint8_t* __restrict y,
                   std::uint8_t* __restrict cb, std::uint8_t* __restrict cr)
{
    constexpr std::int32_t kHalf = 1 << 15;
    constexpr std::int32_t kOffset = (128 << 16) + kHalf - 1;
    for (int x = 0; x < count; ++x) {
        const std::int32_t r = rgb[3 * x], g = rgb[3 * x + 1], b = rgb[3 * x + 2];
        y[x] = static_cast<std::uint8_t>((fix16(0.29900) * r + fix16(0.58700) * g + fix16(0.11400) * b + kHalf) >> 16);
        cb[x] = static_cast<std::uint8_t>((-fix16(0.16874) * r - fix16(0.33126) * g + fix16(0.5) * b + kOffset) >> 16);
        cr[x] = static_cast<std::uint8_t>((fix16(0.5) * r - fix16(0.41869) * g - fix16(0.08131) * b + kOffset) >> 16);
    }
}

#if defined(__x86_64__)
// The same conversion sixteen pixels at a time. Each 32-bit lane holds R + G
// * 65536 (or G + B * 65536) as two 16-bit halves, so that one multiply-add
// gives two of the three products; G's coefficient, too large for 16 bits, is
// taken as (coefficient - 65536) plus the lane itself. Returns the pixels done.
[[gnu::target("avx2")]]
int convertPixelsWide(const std::uint8_t* rgb, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr)
{
    constexpr char z = -1;
    // From the 16 bytes at pixel 0 (pixels 0-3) and at byte 8 (pixels 4-7) of each group of 8.
    const __m256i rgFirst = _mm256_setr_epi8(0, z, 1, z, 3, z, 4, z, 6, z, 7, z, 9, z, 10, z,
                                             0, z, 1, z, 3, z, 4, z, 6, z, 7, z, 9, z, 10, z);
    const __m256i rgSecond = _mm256_setr_epi8(4, z, 5, z, 7, z, 8, z, 10, z, 11, z, 13, z, 14, z,
                                              4, z, 5, z, 7, z, 8, z, 10, z, 11, z, 13, z, 14, z);
    const __m256i gbFirst = _mm256_setr_epi8(1, z, 2, z, 4, z, 5, z, 7, z, 8, z, 10, z, 11, z,
                                             1, z, 2, z, 4, z, 5, z, 7, z, 8, z, 10, z, 11, z);
    const __m256i gbSecond = _mm256_setr_epi8(5, z, 6, z, 8, z, 9, z, 11, z, 12, z, 14, z, 15, z,
                                              5, z, 6, z, 8, z, 9, z, 11, z, 12, z, 14, z, 15, z);
    const __m256i toY = _mm256_set1_epi32(static_cast<std::int32_t>(
        static_cast<std::uint32_t>(fix16(0.29900) - 1) | (static_cast<std::uint32_t>(fix16(0.58700) - 65536) << 16)));
    const __m256i bToY = _mm256_set1_epi32(fix16(0.11400) << 16);  // on G + B * 65536
    const __m256i toCb = _mm256_set1_epi32(static_cast<std::int32_t>(
        static_cast<std::uint32_t>(-fix16(0.16874) & 0xFFFF) | (static_cast<std::uint32_t>(-fix16(0.33126)) << 16)));
    const __m256i toCr = _mm256_set1_epi32(static_cast<std::int32_t>(
        static_cast<std::uint32_t>(-fix16(0.41869) & 0xFFFF) | (static_cast<std::uint32_t>(-fix16(0.08131)) << 16)));
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i yAdd = _mm256_set1_epi32(1 << 15);
    const __m256i cAdd = _mm256_set1_epi32((128 << 16) + (1 << 15) - 1);
    int x = 0;
    for (; x + 16 <= count; x += 16) {
        const std::uint8_t* p = rgb + 3 * x;
        const __m256i a = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 24),
                                              reinterpret_cast<const __m128i*>(p));
        const __m256i b = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 32),
                                              reinterpret_cast<const __m128i*>(p + 8));
        __m256i outY[2], outCb[2], outCr[2];
        for (int half = 0; half < 2; ++half) {
            const __m256i rg = _mm256_shuffle_epi8(half == 0 ? a : b, half == 0 ? rgFirst : rgSecond);
            const __m256i gb = _mm256_shuffle_epi8(half == 0 ? a : b, half == 0 ? gbFirst : gbSecond);
            const __m256i r = _mm256_and_si256(rg, low16);
            const __m256i blue = _mm256_srli_epi32(gb, 16);
            // Y: (19595 - 1) R + (38470 - 65536) G, plus the lane R + 65536 G, plus 7471 B.
            __m256i v = _mm256_add_epi32(_mm256_madd_epi16(rg, toY), rg);
            v = _mm256_add_epi32(v, _mm256_madd_epi16(gb, bToY));
            outY[half] = _mm256_srli_epi32(_mm256_add_epi32(v, yAdd), 16);
            v = _mm256_add_epi32(_mm256_madd_epi16(rg, toCb), _mm256_slli_epi32(blue, 15));
            outCb[half] = _mm256_srli_epi32(_mm256_add_epi32(v, cAdd), 16);
            v = _mm256_add_epi32(_mm256_madd_epi16(gb, toCr), _mm256_slli_epi32(r, 15));
            outCr[half] = _mm256_srli_epi32(_mm256_add_epi32(v, cAdd), 16);
        }
        // Per 128-bit half: pixels 0-3 then 4-7 of its group of eight.
        const __m256i* lanes[3] = {outY, outCb, outCr};
        std::uint8_t* outs[3] = {y, cb, cr};
        for (int k = 0; k < 3; ++k) {
            const __m256i words = _mm256_packs_epi32(lanes[k][0], lanes[k][1]);
            const __m256i bytes = _mm256_packus_epi16(words, words);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(outs[k] + x), _mm256_castsi256_si128(bytes));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(outs[k] + x + 8), _mm256_extracti128_si256(bytes, 1));
        }
    }
    return x;
}
#endif

// One row converted and widened to `padded` samples by repeating the last
// pixel, as the encoder widens rows to whole blocks.
void convertRow(const std::uint8_t* rgb, int width, int padded, std::uint8_t* y, std::uint8_t* cb,
                std::uint8_t* cr)
{
    int done = 0;
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide)
        done = convertPixelsWide(rgb, width, y, cb, cr);
#endif
    convertPixels(rgb + 3 * done, width - done, y + done, cb + done, cr + done);
    std::memset(y + width, y[width - 1], static_cast<std::size_t>(padded - width));
    std::memset(cb + width, cb[width - 1], static_cast<std::size_t>(padded - width));
    std::memset(cr + width, cr[width - 1], static_cast<std::size_t>(padded - width));
}

#if defined(__x86_64__)
// Thirty-two averages at a time; returns how many were done.
[[gnu::target("avx2")]]
int averagePairsWide(const std::uint8_t* a, const std::uint8_t* b, int count, std::uint8_t* out)
{
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i bias = _mm256_set1_epi32(0x00020001);  // 1 for even outputs, 2 for odd ones
    __m256i sums[2];
    int c = 0;
    for (; c + 32 <= count; c += 32) {
        for (int k = 0; k < 2; ++k) {
            const int at = 2 * c + 32 * k;
            const __m256i top = _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + at)), ones);
            const __m256i bottom = _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + at)), ones);
            sums[k] = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(top, bottom), bias), 2);
        }
        const __m256i packed = _mm256_packus_epi16(sums[0], sums[1]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    return c;
}
#endif

// One row of 2x2 chroma averages as the encoder downsamples: the two rows'
// pairs summed, plus 1 or 2 alternately, over 4.
void averagePairs(const std::uint8_t* a, const std::uint8_t* b, int count, std::uint8_t* out)
{
    int c = 0;
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide)
        c = averagePairsWide(a, b, count, out);
#endif
    for (; c < count; ++c)
        out[c] = static_cast<std::uint8_t>((a[2 * c] + a[2 * c + 1] + b[2 * c] + b[2 * c + 1] + 1 + (c & 1)) >> 2);
}

// Column sums of eight rows of `count` samples, for the blocks' DC terms.
[[gnu::target_clones("avx2", "default"), gnu::optimize("tree-vectorize")]]
void sumColumns(const std::uint8_t* __restrict plane, std::size_t stride, std::size_t count,
                std::uint16_t* __restrict sums)
{
    for (std::size_t x = 0; x < count; ++x) {
        unsigned sum = 0;
        for (int r = 0; r < 8; ++r)
            sum += plane[r * stride + x];
        sums[x] = static_cast<std::uint16_t>(sum);
    }
}

} // namespace

// Everything one picture's round trip keeps from strip to strip.
struct RoundTripStrips::State {
    const Parameters& p;
    Raster& out;
    int width, height, scaleDenominator;
    int outWidth, outHeight, chromaOut, mcuColumns, padded, chromaWidth, lumaBlocks;
    std::size_t stride, outStride;
    int top = 0;
    std::vector<std::uint8_t> y, cb, cr, smallCb, smallCr, lumaRows, cbRows, crRows;
    std::vector<std::uint16_t> columnSums;

    State(const Parameters& parameters, int w, int h, int scale, Raster& target)
        : p(parameters), out(target), width(w), height(h), scaleDenominator(scale),
          outWidth((w + scale - 1) / scale), outHeight((h + scale - 1) / scale),
          chromaOut(16 / scale),  // per chroma block side, and rows per strip
          mcuColumns((w + 15) / 16), padded(mcuColumns * 16), chromaWidth(mcuColumns * 8),
          lumaBlocks((w + 7) / 8), stride(static_cast<std::size_t>(padded)),
          outStride(static_cast<std::size_t>(mcuColumns * chromaOut)),
          y(16 * stride), cb(16 * stride), cr(16 * stride),
          smallCb(8 * static_cast<std::size_t>(chromaWidth)), smallCr(smallCb.size()),
          // One strip's decoded samples: chromaOut rows of luma, Cb and Cr.
          lumaRows(chromaOut * outStride), cbRows(lumaRows.size()), crRows(lumaRows.size()),
          columnSums(stride)
    {
    }
};

RoundTripStrips::RoundTripStrips(int width, int height, int scaleDenominator, Raster& out)
{
    static const std::optional<Parameters> parameters = libraryParameters();
    if (!parameters)
        throw EngineError("JPEG library gives unexpected quality-90 parameters");
    if (width <= 0 || height <= 0 || (scaleDenominator != 4 && scaleDenominator != 8))
        throw EngineError("Nothing to encode");
    m_state = std::make_unique<State>(*parameters, width, height, scaleDenominator, out);
    out.setSize(m_state->outWidth, m_state->outHeight, PixelFormat::Pf24Bit);
    out.PaletteSize = 0;
}

RoundTripStrips::~RoundTripStrips() = default;

void RoundTripStrips::add(const std::uint8_t* const* pixelRows, int count)
{
    static const ColourTables colours;
    State& s = *m_state;
    const Parameters& p = s.p;
    const int top = s.top;
    const int rows = std::min({16, count, s.height - top});
    if (rows <= 0)
        return;
    s.top += 16;
    const int width = s.width, padded = s.padded, chromaWidth = s.chromaWidth, scaleDenominator = s.scaleDenominator;
    const std::size_t stride = s.stride, outStride = s.outStride;
    std::vector<std::uint8_t>&y = s.y, &cb = s.cb, &cr = s.cr;
    Block block;

    for (int r = 0; r < rows; ++r)
        convertRow(pixelRows[r], width, padded, &y[r * stride], &cb[r * stride], &cr[r * stride]);
    for (int r = rows; r < 16; ++r) {
        std::memcpy(&y[r * stride], &y[(rows - 1) * stride], stride);
        std::memcpy(&cb[r * stride], &cb[(rows - 1) * stride], stride);
        std::memcpy(&cr[r * stride], &cr[(rows - 1) * stride], stride);
    }
    // Chroma rows past the picture's last pair repeat that pair's average.
    const int lastPair = (rows - 1) / 2;
    for (int k = 0; k < 8; ++k) {
        const int pair = std::min(k, lastPair);
        for (auto [full, half] : {std::pair{&cb, &s.smallCb}, std::pair{&cr, &s.smallCr}}) {
            const std::uint8_t* a = &(*full)[2 * pair * stride];
            const std::uint8_t* b = a + stride;
            averagePairs(a, b, chromaWidth, &(*half)[static_cast<std::size_t>(k) * chromaWidth]);
        }
    }

    for (int blockRow = 0; blockRow < 2; ++blockRow) {
        const std::uint8_t* plane = &y[static_cast<std::size_t>(blockRow) * 8 * stride];
        if (scaleDenominator == 8) {
            // At 1/8 only each block's sum counts: columns first, in wide steps.
            sumColumns(plane, stride, stride, s.columnSums.data());
        }
        for (int bx = 0; bx < s.lumaBlocks; ++bx) {
            if (scaleDenominator == 8) {
                std::int32_t sum = 0;
                for (int c = 0; c < 8; ++c)
                    sum += s.columnSums[bx * 8 + c];
                const std::int32_t dc = quantise(sum - 64 * 128, p.lumaDc);
                s.lumaRows[blockRow * outStride + bx] = rangeLimit(descale(dc * p.lumaQuant[0], 3));
            } else {
                forwardDct(plane + bx * 8, stride, p.lumaDivisors, block);
                std::uint8_t samples[2][2];
                inverseDct2x2(block, p.lumaQuant.data(), samples);
                for (int r = 0; r < 2; ++r)
                    for (int c = 0; c < 2; ++c)
                        s.lumaRows[(blockRow * 2 + r) * outStride + bx * 2 + c] = samples[r][c];
            }
        }
    }
    for (auto [half, rowsOut] : {std::pair{&s.smallCb, &s.cbRows}, std::pair{&s.smallCr, &s.crRows}}) {
        for (int bx = 0; bx < s.mcuColumns; ++bx) {
            forwardDct(half->data() + bx * 8, static_cast<std::size_t>(chromaWidth), p.chromaDivisors, block);
            if (scaleDenominator == 8) {
                std::uint8_t samples[2][2];
                inverseDct2x2(block, p.chromaQuant.data(), samples);
                for (int r = 0; r < 2; ++r)
                    for (int c = 0; c < 2; ++c)
                        (*rowsOut)[r * outStride + bx * 2 + c] = samples[r][c];
            } else {
                std::uint8_t samples[4][4];
                inverseDct4x4(block, p.chromaQuant.data(), samples);
                for (int r = 0; r < 4; ++r)
                    for (int c = 0; c < 4; ++c)
                        (*rowsOut)[r * outStride + bx * 4 + c] = samples[r][c];
            }
        }
    }

    const int firstOut = top / scaleDenominator;
    for (int r = 0; r < s.chromaOut && firstOut + r < s.outHeight; ++r) {
        std::uint8_t* dst = s.out.row(firstOut + r);
        const std::uint8_t* ly = &s.lumaRows[r * outStride];
        const std::uint8_t* lb = &s.cbRows[r * outStride];
        const std::uint8_t* lr = &s.crRows[r * outStride];
        for (int x = 0; x < s.outWidth; ++x) {
            const std::int32_t luma = ly[x];
            dst[3 * x] = clampSample(luma + colours.crToR[lr[x]]);
            dst[3 * x + 1] = clampSample(luma + ((colours.cbToG[lb[x]] + colours.crToG[lr[x]]) >> 16));
            dst[3 * x + 2] = clampSample(luma + colours.cbToB[lb[x]]);
        }
    }
}

void computeRoundTripWithoutStream(const Raster& rgb, int scaleDenominator, Raster& out)
{
    if (rgb.Format != PixelFormat::Pf24Bit)
        throw EngineError("Nothing to encode");
    RoundTripStrips strips(rgb.Width, rgb.Height, scaleDenominator, out);
    const std::uint8_t* rows[16];
    for (int top = 0; top < rgb.Height; top += 16) {
        const int count = std::min(16, rgb.Height - top);
        for (int r = 0; r < count; ++r)
            rows[r] = rgb.row(top + r);
        strips.add(rows, count);
    }
}

namespace {

// A picture that exercises every step: noise for large coefficients, flat
// saturated patches for the clamps, and sizes that leave partial blocks.
Raster checkPicture(int width, int height)
{
    Raster picture;
    picture.setSize(width, height, PixelFormat::Pf24Bit);
    std::uint32_t state = 12345;
    for (int yy = 0; yy < height; ++yy) {
        std::uint8_t* row = picture.row(yy);
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            const int patch = (x / 37 + yy / 29) % 4;
            for (int k = 0; k < 3; ++k) {
                const std::uint8_t noise = static_cast<std::uint8_t>(state >> (8 + 8 * k));
                const std::uint8_t smooth = static_cast<std::uint8_t>((x * (k + 1) + yy * (3 - k)) / 5);
                row[3 * x + k] = patch == 0 ? noise : patch == 1 ? smooth : patch == 2 ? (k == yy % 3 ? 255 : 0) : 255;
            }
        }
    }
    return picture;
}

bool agreesWithLibrary(int width, int height)
{
    try {
        const Raster picture = checkPicture(width, height);
        JpegStream stream;
        encodeJpegQuality90(picture, stream);
        Raster real;
        decodeJpeg(stream.bytes(), 0, 0, real);
        Raster computed;
        computeRoundTripWithoutStream(picture, chooseScaleDenominator(width, height, 0, 0), computed);
        return real.Format == computed.Format && real.Width == computed.Width && real.Height == computed.Height
            && real.Pixels == computed.Pixels;
    } catch (const EngineError&) {
        return false;
    }
}

} // namespace

bool roundTripWithoutStreamAvailable(int width, int height, int scaleDenominator)
{
    // The encoder refuses sides beyond its format's limit; leave that failure to it.
    if (width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
        return false;
    static bool eighthAgrees = false;
    static bool quarterAgrees = false;
    static std::once_flag checked;
    std::call_once(checked, [] {
        eighthAgrees = agreesWithLibrary(1041, 1013);
        quarterAgrees = agreesWithLibrary(617, 1003);
    });
    return scaleDenominator == 8 ? eighthAgrees : scaleDenominator == 4 ? quarterAgrees : false;
}

bool roundTripWithoutStream(const Raster& rgb, int scaleDenominator, Raster& out)
{
    if (rgb.Format != PixelFormat::Pf24Bit || !roundTripWithoutStreamAvailable(rgb.Width, rgb.Height, scaleDenominator))
        return false;
    computeRoundTripWithoutStream(rgb, scaleDenominator, out);
    return true;
}

} // namespace ferrovin
