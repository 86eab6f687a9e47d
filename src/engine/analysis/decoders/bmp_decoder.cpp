#include <array>
#include <cstdint>

#include "engine/analysis/decoders/source_decoders.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"

// The program's own BMP reader. Everything is read from the bytes in memory
// with explicit bounds checks; whatever is not understood fails.

namespace ferrovin {

namespace {

enum Compression : std::uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3 };

[[noreturn]] void fail(const char* why)
{
    throw EngineError(std::string("Invalid bitmap: ") + why);
}

std::uint32_t u16(ByteSpan f, std::size_t at)
{
    return f[at] | (f[at + 1] << 8);
}

std::uint32_t u32(ByteSpan f, std::size_t at)
{
    return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (std::uint32_t{f[at + 3]} << 24);
}

std::uint8_t expand5(std::uint32_t v)
{
    return static_cast<std::uint8_t>((v << 3) | (v >> 2));
}

std::uint8_t expand6(std::uint32_t v)
{
    return static_cast<std::uint8_t>((v << 2) | (v >> 4));
}

struct BmpHeader {
    std::uint32_t pixelOffset = 0;
    std::uint32_t headerSize = 0;
    std::int64_t width = 0;
    std::int64_t height = 0; // negative: top-down
    std::uint32_t bitCount = 0;
    std::uint32_t compression = kRgb;
    std::uint32_t colorsUsed = 0;
    std::uint32_t redMask = 0, greenMask = 0, blueMask = 0;
    std::size_t paletteAt = 0;
    std::size_t paletteEntryBytes = 4;
};

BmpHeader readHeader(ByteSpan f)
{
    BmpHeader h;
    if (f.size() < 18 || f[0] != 'B' || f[1] != 'M')
        fail("not a bitmap");
    h.pixelOffset = u32(f, 10);
    h.headerSize = u32(f, 14);
    switch (h.headerSize) {
    case 12: case 40: case 52: case 56: case 108: case 124:
        break;
    default:
        fail("unsupported header");
    }
    if (f.size() < 14 + std::size_t{h.headerSize})
        fail("truncated header");
    if (h.headerSize == 12) {
        h.width = u16(f, 18);
        h.height = u16(f, 20);
        h.bitCount = u16(f, 24);
        h.paletteEntryBytes = 3;
    } else {
        h.width = static_cast<std::int32_t>(u32(f, 18));
        h.height = static_cast<std::int32_t>(u32(f, 22));
        h.bitCount = u16(f, 28);
        h.compression = u32(f, 30);
        h.colorsUsed = u32(f, 46);
    }
    h.paletteAt = 14 + std::size_t{h.headerSize};
    if (h.compression == kBitFields) {
        constexpr std::size_t masksAt = 54; // right after the 40-byte part
        if (h.headerSize == 40) {
            // The three masks follow the header, ahead of any palette.
            if (f.size() < 66)
                fail("truncated bit fields");
            h.paletteAt = 66;
        }
        h.redMask = u32(f, masksAt);
        h.greenMask = u32(f, masksAt + 4);
        h.blueMask = u32(f, masksAt + 8);
    }
    return h;
}

// The palette: biClrUsed entries when that is below 2^bpp, else 2^bpp; entries
// not lying wholly before the pixel data stay unread, and reading them gives black.
struct Palette {
    std::array<RgbColor, 256> colors{};
    std::size_t size = 0;
    RgbColor at(std::size_t index) const { return index < size ? colors[index] : RgbColor{}; }
};

Palette readPalette(ByteSpan f, const BmpHeader& h)
{
    Palette p;
    const std::size_t full = std::size_t{1} << h.bitCount;
    const std::size_t wanted = h.colorsUsed > 0 && h.colorsUsed < full ? h.colorsUsed : full;
    const std::size_t limit = std::min<std::size_t>(h.pixelOffset, f.size());
    for (std::size_t i = 0; i < wanted; ++i) {
        const std::size_t at = h.paletteAt + i * h.paletteEntryBytes;
        if (at + h.paletteEntryBytes > limit)
            break;
        p.colors[i] = RgbColor{f[at + 2], f[at + 1], f[at]};
        p.size = i + 1;
    }
    return p;
}

void decodeRle(ByteSpan f, const BmpHeader& h, const Palette& palette, Raster& out)
{
    const int width = out.Width;
    const int height = out.Height;
    // Pixels never written take palette entry 0.
    const RgbColor fill = palette.at(0);
    for (std::size_t i = 0; i < out.Pixels.size(); i += 3) {
        out.Pixels[i] = fill.R;
        out.Pixels[i + 1] = fill.G;
        out.Pixels[i + 2] = fill.B;
    }
    const bool four = h.compression == kRle4;
    std::size_t pos = h.pixelOffset;
    const std::size_t end = f.size();
    int x = 0;
    int line = 0; // counted from the bottom, as RLE bitmaps are stored
    auto put = [&](std::size_t index) {
        if (x < width && line < height) {
            const RgbColor c = palette.at(index);
            std::uint8_t* p = out.row(height - 1 - line) + std::size_t(x) * 3;
            p[0] = c.R;
            p[1] = c.G;
            p[2] = c.B;
        }
        ++x;
    };
    auto need = [&](std::size_t bytes) {
        if (end - pos < bytes)
            fail("RLE data ends inside a command");
    };
    // Data that simply stops between commands is accepted like an end-of-bitmap.
    while (pos + 2 <= end && line < height) {
        const unsigned count = f[pos];
        const unsigned value = f[pos + 1];
        pos += 2;
        if (count > 0) {
            for (unsigned i = 0; i < count && x < width; ++i)
                put(four ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
            continue;
        }
        switch (value) {
        case 0: // end of line
            x = 0;
            ++line;
            break;
        case 1: // end of bitmap
            return;
        case 2: // delta
            need(2);
            x += f[pos];
            line += f[pos + 1];
            pos += 2;
            break;
        default: { // absolute run, padded to a 16-bit boundary
            const std::size_t bytes = four ? (value + 1) / 2 : value;
            need(bytes);
            for (unsigned i = 0; i < value; ++i) {
                const std::uint8_t b = f[pos + (four ? i / 2 : i)];
                if (x < width)
                    put(four ? ((i & 1) ? (b & 0x0F) : (b >> 4)) : b);
            }
            pos += bytes + (bytes & 1);
            break;
        }
        }
    }
}

// The last row needs no padding.
bool holdsAllRows(ByteSpan f, const BmpHeader& h, std::uint64_t width, std::uint64_t height)
{
    const std::uint64_t bits = h.bitCount;
    const std::uint64_t stride = ((width * bits + 31) / 32) * 4;
    const std::uint64_t lastRow = (width * bits + 7) / 8;
    return h.pixelOffset <= f.size() && f.size() - h.pixelOffset >= stride * (height - 1) + lastRow;
}

void decodeUncompressed(ByteSpan f, const BmpHeader& h, const Palette& palette, bool topDown,
                        Raster& out)
{
    const std::size_t width = static_cast<std::size_t>(out.Width);
    const std::size_t height = static_cast<std::size_t>(out.Height);
    const std::size_t bits = h.bitCount;
    const std::size_t stride = ((width * bits + 31) / 32) * 4;

    bool is565 = false;
    if (h.compression == kBitFields) {
        if (bits == 16 && h.redMask == 0xF800 && h.greenMask == 0x07E0 && h.blueMask == 0x001F)
            is565 = true;
        else if (bits == 16 && h.redMask == 0x7C00 && h.greenMask == 0x03E0 && h.blueMask == 0x001F)
            is565 = false;
        else if (!(bits == 32 && h.redMask == 0xFF0000 && h.greenMask == 0xFF00 && h.blueMask == 0xFF))
            fail("unsupported bit fields");
    }

    for (std::size_t fileRow = 0; fileRow < height; ++fileRow) {
        const std::uint8_t* src = f.data() + h.pixelOffset + fileRow * stride;
        std::uint8_t* dst = out.row(static_cast<int>(topDown ? fileRow : height - 1 - fileRow));
        for (std::size_t x = 0; x < width; ++x, dst += 3) {
            RgbColor c;
            switch (bits) {
            case 1:
                c = palette.at((src[x / 8] >> (7 - x % 8)) & 1);
                break;
            case 4:
                c = palette.at((src[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F);
                break;
            case 8:
                c = palette.at(src[x]);
                break;
            case 16: {
                const std::uint32_t v = src[2 * x] | (src[2 * x + 1] << 8);
                if (is565)
                    c = RgbColor{expand5((v >> 11) & 31), expand6((v >> 5) & 63), expand5(v & 31)};
                else
                    c = RgbColor{expand5((v >> 10) & 31), expand5((v >> 5) & 31), expand5(v & 31)};
                break;
            }
            case 24:
                c = RgbColor{src[3 * x + 2], src[3 * x + 1], src[3 * x]};
                break;
            default: // 32: B, G, R and an ignored fourth byte
                c = RgbColor{src[4 * x + 2], src[4 * x + 1], src[4 * x]};
                break;
            }
            dst[0] = c.R;
            dst[1] = c.G;
            dst[2] = c.B;
        }
    }
}

} // namespace

void decodeBmp(ByteSpan f, Raster& out)
{
    const BmpHeader h = readHeader(f);
    const std::uint32_t bits = h.bitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        fail("unsupported bit count");
    switch (h.compression) {
    case kRgb:
        break;
    case kRle8:
        if (bits != 8)
            fail("RLE8 needs 8 bits");
        break;
    case kRle4:
        if (bits != 4)
            fail("RLE4 needs 4 bits");
        break;
    case kBitFields:
        if (bits != 16 && bits != 32)
            fail("bit fields need 16 or 32 bits");
        break;
    default:
        fail("unsupported compression");
    }
    const bool topDown = h.height < 0;
    const std::int64_t height = topDown ? -h.height : h.height;
    if (h.width <= 0 || height <= 0)
        fail("no pixels");
    if (h.pixelOffset > f.size())
        fail("pixel data missing");
    checkPictureSize(static_cast<std::uint64_t>(h.width), static_cast<std::uint64_t>(height), 3);

    const bool rle = h.compression == kRle8 || h.compression == kRle4;
    if (rle && topDown)
        fail("top-down RLE");
    // Checked before the raster exists: a short file must not cost a huge allocation.
    if (!rle && !holdsAllRows(f, h, static_cast<std::uint64_t>(h.width), static_cast<std::uint64_t>(height)))
        fail("pixel data ends early");
    const Palette palette = bits <= 8 ? readPalette(f, h) : Palette{};
    out.setSize(static_cast<int>(h.width), static_cast<int>(height), PixelFormat::Pf24Bit);
    out.PaletteSize = 0;
    if (rle) {
        decodeRle(f, h, palette, out);
    } else {
        decodeUncompressed(f, h, palette, topDown, out);
    }
}

} // namespace ferrovin
