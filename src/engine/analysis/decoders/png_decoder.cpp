#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <png.h>

#include "engine/analysis/decoders/source_decoders.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"

// PNG through libpng, with the colour rules applied by hand: high byte of
// 16-bit samples, the file's own gamma, compositing onto black. libpng's
// errors longjmp back into the plain-data functions marked below.

namespace ferrovin {

namespace {

struct PngSession {
    png_structp png = nullptr;
    png_infop info = nullptr;
    MemoryReader reader{};
    char message[128] = {};

    PngSession() = default;
    ~PngSession() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
    PngSession(const PngSession&) = delete;
    PngSession& operator=(const PngSession&) = delete;
};

void pngError(png_structp png, png_const_charp text)
{
    auto* s = static_cast<PngSession*>(png_get_error_ptr(png));
    std::snprintf(s->message, sizeof s->message, "%s", text ? text : "PNG error");
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

void readFromMemory(png_structp png, png_bytep out, png_size_t length)
{
    auto* r = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (r->size - r->pos < length)
        png_error(png, "Read past end of file");
    if (length == 0)
        return;
    std::memcpy(out, r->data + r->pos, length);
    r->pos += length;
}

// What the header tells us, read between libpng calls.
struct PngLayout {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int interlace = 0;
    int channels = 0; // after stripping to 8 bits and unpacking
    int passes = 1;
    png_colorp palette = nullptr;
    int paletteSize = 0;
    png_bytep trans = nullptr;
    int transCount = 0;
};

bool readInfo(PngSession& s, PngLayout& l)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_set_read_fn(s.png, &s.reader, readFromMemory);
    png_set_user_limits(s.png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(s.png, s.info);
    png_get_IHDR(s.png, s.info, &l.width, &l.height, &l.bitDepth, &l.colorType, &l.interlace,
                 nullptr, nullptr);
    return true;
}

// Only after the size check: libpng allocates its row buffers here.
bool prepareRows(PngSession& s, PngLayout& l)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    if (l.colorType == PNG_COLOR_TYPE_PALETTE) {
        png_get_PLTE(s.png, s.info, &l.palette, &l.paletteSize);
        png_get_tRNS(s.png, s.info, &l.trans, &l.transCount, nullptr);
    }
    if (l.bitDepth == 16)
        png_set_strip_16(s.png); // keeps the high byte
    if (l.bitDepth < 8)
        png_set_packing(s.png); // one byte per sample, value unscaled
    l.passes = png_set_interlace_handling(s.png);
    png_read_update_info(s.png, s.info);
    l.channels = png_get_channels(s.png, s.info);
    return true;
}

bool readRows(PngSession& s, png_bytepp rows, png_uint_32 count)
{
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_read_rows(s.png, rows, nullptr, count);
    return true;
}

// The first gAMA chunk's value, looked up in the file itself: libpng reports a
// substitute when an sRGB chunk is present. 0 when there is none before the
// palette or the image data.
std::uint32_t fileGamma(ByteSpan f)
{
    std::size_t pos = 8;
    while (f.size() >= 12 && pos <= f.size() - 12) {
        const std::uint32_t length = (std::uint32_t{f[pos]} << 24) | (f[pos + 1] << 16)
                                     | (f[pos + 2] << 8) | f[pos + 3];
        const char* type = reinterpret_cast<const char*>(f.data() + pos + 4);
        if (std::memcmp(type, "PLTE", 4) == 0 || std::memcmp(type, "IDAT", 4) == 0)
            return 0;
        if (std::memcmp(type, "gAMA", 4) == 0) {
            if (length != 4 || f.size() - pos < 12 + 4)
                return 0;
            const std::size_t v = pos + 8;
            return (std::uint32_t{f[v]} << 24) | (f[v + 1] << 16) | (f[v + 2] << 8) | f[v + 3];
        }
        if (f.size() - pos - 12 < length)
            return 0;
        pos += 12 + std::size_t{length};
    }
    return 0;
}

using Lut = std::array<std::uint8_t, 256>;

Lut gammaTable(std::uint32_t gamma)
{
    Lut lut;
    for (int i = 0; i < 256; ++i)
        lut[i] = static_cast<std::uint8_t>(i);
    if (gamma == 0)
        return lut;
    const double exponent = 1.0 / (2.2 * static_cast<double>(gamma) / 100000.0);
    for (int i = 0; i < 256; ++i) {
        const double v = std::nearbyint(255.0 * std::pow(static_cast<double>(i) / 255.0, exponent));
        lut[i] = static_cast<std::uint8_t>(v < 0.0 ? 0.0 : v > 255.0 ? 255.0 : v);
    }
    return lut;
}

std::uint8_t composite(std::uint8_t c, std::uint8_t a)
{
    return static_cast<std::uint8_t>((unsigned{c} * a + 127) / 255);
}

constexpr int kStripRows = 16;

// The whole raster into `out`, or the rows to `sink` when it takes them.
bool decodeToRasterOrSink(ByteSpan file, Raster& out, RowSink* sink)
{
    if (file.size() < 8 || png_sig_cmp(file.data(), 0, 8) != 0)
        throw EngineError("Invalid PNG file");
    PngSession s;
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, pngError, pngWarning);
    if (!s.png)
        throw EngineError("Out of memory");
    s.info = png_create_info_struct(s.png);
    if (!s.info)
        throw EngineError("Out of memory");
    s.reader = MemoryReader{file.data(), file.size(), 0};

    PngLayout l;
    if (!readInfo(s, l))
        throw EngineError(s.message);
    checkPictureSize(l.width, l.height, 3);
    if (!prepareRows(s, l))
        throw EngineError(s.message);
    if (l.channels < 1 || l.channels > 4)
        throw EngineError("Unsupported PNG layout");

    const Lut gamma = gammaTable(fileGamma(file));
    bool plainGamma = true;
    for (int i = 0; i < 256; ++i)
        plainGamma = plainGamma && gamma[i] == i;
    // 8-bit RGB with nothing to correct is already the raster: rows go straight
    // in, or strip by strip to the sink.
    if (l.colorType == PNG_COLOR_TYPE_RGB && l.channels == 3 && plainGamma) {
        if (sink != nullptr && l.passes == 1 && sink->begin(static_cast<int>(l.width), static_cast<int>(l.height))) {
            const std::size_t rowBytes = std::size_t{l.width} * 3;
            std::vector<std::uint8_t> strip(rowBytes * kStripRows);
            png_bytep rows[kStripRows];
            for (int r = 0; r < kStripRows; ++r)
                rows[r] = strip.data() + rowBytes * static_cast<std::size_t>(r);
            for (png_uint_32 top = 0; top < l.height; top += kStripRows) {
                const auto count = std::min<png_uint_32>(kStripRows, l.height - top);
                if (!readRows(s, rows, count))
                    throw EngineError(s.message);
                sink->rows(rows, static_cast<int>(count));
            }
            return true;
        }
        out.setSize(static_cast<int>(l.width), static_cast<int>(l.height), PixelFormat::Pf24Bit);
        out.PaletteSize = 0;
        std::vector<png_bytep> rows(l.height);
        for (png_uint_32 y = 0; y < l.height; ++y)
            rows[y] = out.row(static_cast<int>(y));
        for (int pass = 0; pass < l.passes; ++pass)
            if (!readRows(s, rows.data(), l.height))
                throw EngineError(s.message);
        return false;
    }

    // Interlaced pictures need every pass's rows kept; others go one row at a time.
    const std::size_t rowBytes = std::size_t{l.width} * l.channels;
    const std::size_t keptRows = l.passes > 1 ? l.height : 1;
    checkPictureSize(l.width, keptRows, l.channels);
    std::vector<std::uint8_t> native(rowBytes * keptRows);
    if (l.passes > 1) {
        std::vector<png_bytep> rows(l.height);
        for (png_uint_32 y = 0; y < l.height; ++y)
            rows[y] = native.data() + y * rowBytes;
        for (int pass = 0; pass < l.passes; ++pass)
            if (!readRows(s, rows.data(), l.height))
                throw EngineError(s.message);
    }

    const Lut* scale = nullptr;
    Lut lowDepth{};
    if (l.colorType != PNG_COLOR_TYPE_PALETTE && l.bitDepth < 8) {
        const unsigned factor = l.bitDepth == 1 ? 255 : l.bitDepth == 2 ? 85 : 17;
        for (unsigned i = 0; i < 256; ++i)
            lowDepth[i] = static_cast<std::uint8_t>(i * factor);
        scale = &lowDepth;
    }

    // Palette entries through gamma, with their alpha when tRNS holds a partial value.
    std::array<RgbColor, 256> palette{};
    std::array<std::uint8_t, 256> paletteAlpha;
    paletteAlpha.fill(255);
    bool paletteBlend = false;
    if (l.colorType == PNG_COLOR_TYPE_PALETTE) {
        for (int i = 0; i < l.paletteSize && i < 256; ++i)
            palette[i] = RgbColor{gamma[l.palette[i].red], gamma[l.palette[i].green],
                                  gamma[l.palette[i].blue]};
        for (int i = 0; i < l.transCount && i < 256; ++i) {
            paletteAlpha[i] = l.trans[i];
            if (l.trans[i] != 0 && l.trans[i] != 255)
                paletteBlend = true;
        }
        if (paletteBlend)
            for (int i = 0; i < 256; ++i)
                palette[i] = RgbColor{composite(palette[i].R, paletteAlpha[i]),
                                      composite(palette[i].G, paletteAlpha[i]),
                                      composite(palette[i].B, paletteAlpha[i])};
        // Indices past the palette stay black.
        for (int i = l.paletteSize; i < 256; ++i)
            palette[i] = RgbColor{};
    }

    out.setSize(static_cast<int>(l.width), static_cast<int>(l.height), PixelFormat::Pf24Bit);
    out.PaletteSize = 0;
    for (png_uint_32 y = 0; y < l.height; ++y) {
        std::uint8_t* src;
        if (l.passes > 1) {
            src = native.data() + y * rowBytes;
        } else {
            src = native.data();
            png_bytep row = src;
            if (!readRows(s, &row, 1))
                throw EngineError(s.message);
        }
        std::uint8_t* dst = out.row(static_cast<int>(y));
        for (png_uint_32 x = 0; x < l.width; ++x, dst += 3) {
            const std::uint8_t* p = src + std::size_t{x} * l.channels;
            switch (l.colorType) {
            case PNG_COLOR_TYPE_PALETTE: {
                const RgbColor c = palette[p[0]];
                dst[0] = c.R;
                dst[1] = c.G;
                dst[2] = c.B;
                break;
            }
            case PNG_COLOR_TYPE_GRAY: {
                const std::uint8_t g = gamma[scale ? (*scale)[p[0]] : p[0]];
                dst[0] = dst[1] = dst[2] = g;
                break;
            }
            case PNG_COLOR_TYPE_GRAY_ALPHA: {
                const std::uint8_t g = composite(gamma[p[0]], p[1]);
                dst[0] = dst[1] = dst[2] = g;
                break;
            }
            case PNG_COLOR_TYPE_RGB:
                dst[0] = gamma[p[0]];
                dst[1] = gamma[p[1]];
                dst[2] = gamma[p[2]];
                break;
            default: // RGBA
                dst[0] = composite(gamma[p[0]], p[3]);
                dst[1] = composite(gamma[p[1]], p[3]);
                dst[2] = composite(gamma[p[2]], p[3]);
                break;
            }
        }
    }
    // The rest of the file (checksums, trailing chunks) is not read: a damaged
    // tail after complete image data does not cost the picture.
    return false;
}

} // namespace

void decodePng(ByteSpan file, Raster& out)
{
    decodeToRasterOrSink(file, out, nullptr);
}

bool decodePng(ByteSpan file, Raster& out, RowSink& sink)
{
    return decodeToRasterOrSink(file, out, &sink);
}

} // namespace ferrovin
