// Exact pixels of the source decoders, before the JPEG step blurs them.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include "engine/analysis/decoders/source_decoders.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"
#include "support/picture_writers.h"
#include "support/temp_dir.h"

namespace ferrovin {
namespace {

using test::BmpSpec;
using test::GifSpec;
using test::PngSpec;
using test::TempDir;

constexpr RgbColor kBlack{0, 0, 0};
constexpr RgbColor kWhite{255, 255, 255};
constexpr RgbColor kRed{255, 0, 0};
constexpr RgbColor kGreen{0, 255, 0};
constexpr RgbColor kBlue{0, 0, 255};
constexpr RgbColor kGrey{128, 128, 128};

ByteSpan span(const std::string& bytes)
{
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// Rows top to bottom, as the raster holds them.
std::vector<std::vector<RgbColor>> pixels(const Raster& r)
{
    EXPECT_EQ(r.Format, PixelFormat::Pf24Bit);
    std::vector<std::vector<RgbColor>> rows;
    for (int y = 0; y < r.Height; ++y) {
        rows.emplace_back();
        for (int x = 0; x < r.Width; ++x) {
            const std::uint8_t* p = r.row(y) + x * 3;
            rows.back().push_back(RgbColor{p[0], p[1], p[2]});
        }
    }
    return rows;
}

using Rows = std::vector<std::vector<RgbColor>>;

Raster bmp(const BmpSpec& spec)
{
    Raster r;
    const std::string bytes = test::buildBmp(spec);
    decodeBmp(span(bytes), r);
    return r;
}

BmpSpec paletted(std::uint16_t bits, std::int32_t width, std::int32_t height, std::string data)
{
    BmpSpec s;
    s.bitCount = bits;
    s.width = width;
    s.height = height;
    s.palette = {kRed, kGreen, kBlue, kGrey};
    s.colorsUsed = 4;
    s.pixels = std::move(data);
    return s;
}

TEST(BmpDecoding, palettedPicturesMapIndicesBottomUpOrTopDown)
{
    // 8 bits, 3 x 2, rows padded to 4 bytes; the first stored row is the bottom one.
    const std::string data("\x00\x01\x02\x00" "\x03\x00\x07\x00", 8);
    EXPECT_EQ(pixels(bmp(paletted(8, 3, 2, data))),
              (Rows{{kGrey, kRed, kBlack}, {kRed, kGreen, kBlue}}));
    EXPECT_EQ(pixels(bmp(paletted(8, 3, -2, data))),
              (Rows{{kRed, kGreen, kBlue}, {kGrey, kRed, kBlack}})); // index 7: past the palette
    // 4 bits: high nibble first. 1 bit: most significant bit first.
    EXPECT_EQ(pixels(bmp(paletted(4, 3, 1, std::string("\x12\x30\x00\x00", 4)))),
              (Rows{{kGreen, kBlue, kGrey}}));
    BmpSpec one = paletted(1, 9, 1, std::string("\xA0\x80\x00\x00", 4));
    one.palette = {kBlack, kWhite};
    one.colorsUsed = 0;
    EXPECT_EQ(pixels(bmp(one)), (Rows{{kWhite, kBlack, kWhite, kBlack, kBlack, kBlack, kBlack,
                                       kBlack, kWhite}}));
    // The short header stores 3-byte palette entries.
    one.headerSize = 12;
    EXPECT_EQ(pixels(bmp(one))[0][0], kWhite);
}

TEST(BmpDecoding, paletteSizeFollowsColorsUsedAndStopsAtThePixelData)
{
    BmpSpec s = paletted(8, 4, 1, std::string("\x00\x01\x02\x03", 4));
    s.colorsUsed = 2; // entries 2 and 3 are not part of the palette
    s.palette = {kRed, kGreen};
    EXPECT_EQ(pixels(bmp(s)), (Rows{{kRed, kGreen, kBlack, kBlack}}));
    s.colorsUsed = 256; // not below 2^8: the full 256 entries, of which 2 precede the data
    EXPECT_EQ(pixels(bmp(s)), (Rows{{kRed, kGreen, kBlack, kBlack}}));
    s.colorsUsed = 0;
    s.palette = {kRed, kGreen, kBlue, kGrey};
    s.pixelOffset = 14 + 40 + 4 * 2; // pixel data overlaps entries 2 and 3
    s.pixels = std::string("\x00\x01\x02\x03", 4) + std::string(8, '\0');
    const Rows rows = pixels(bmp(s));
    EXPECT_EQ(rows[0][1], kGreen);
    EXPECT_EQ(rows[0][2], kBlack);
}

TEST(BmpDecoding, rleFillsRunsAbsoluteRunsDeltasAndLeavesTheRestAtEntryZero)
{
    // RLE8, 6 x 3, stored bottom line first: a run of 2 x index 1, an absolute run
    // of 3 (one pad byte), end of line; 9 x index 2 clipped to 6, end of line;
    // delta (+1, 0), 1 x index 3; the data then stops without an end-of-bitmap.
    BmpSpec s = paletted(8, 6, 3,
                         std::string("\x02\x01" "\x00\x03\x02\x03\x00\x00" "\x00\x00"
                                     "\x09\x02" "\x00\x00" "\x00\x02\x01\x00" "\x01\x03", 20));
    s.compression = 1;
    EXPECT_EQ(pixels(bmp(s)), (Rows{{kRed, kGrey, kRed, kRed, kRed, kRed},
                                    {kBlue, kBlue, kBlue, kBlue, kBlue, kBlue},
                                    {kGreen, kGreen, kBlue, kGrey, kRed, kRed}}));

    // RLE4, 4 x 3: alternating nibbles, a delta (+1, +1), an absolute run of 3
    // clipped to 1, end of bitmap (the run after it is never read).
    BmpSpec four = paletted(4, 4, 3,
                            std::string("\x02\x12" "\x00\x02\x01\x01" "\x00\x03\x33\x30"
                                        "\x00\x01" "\x05\x33", 14));
    four.compression = 2;
    EXPECT_EQ(pixels(bmp(four)), (Rows{{kRed, kRed, kRed, kRed},
                                       {kRed, kRed, kRed, kGrey},
                                       {kGreen, kBlue, kRed, kRed}}));

    s.height = -3;
    EXPECT_THROW(bmp(s), EngineError) << "top-down RLE";
    s.height = 3;
    s.pixels = std::string("\x02\x01\x00\x05\x01", 5); // absolute run of 5 with 1 byte left
    EXPECT_THROW(bmp(s), EngineError);
}

TEST(BmpDecoding, directColourFormatsExpandTheirChannels)
{
    // 16 bits 5-5-5: 0x7FFF white, 0x0421 is 1,1,1 -> 8; 0x4210 is 16,16,16 -> 132.
    BmpSpec s;
    s.bitCount = 16;
    s.width = 3;
    s.pixels = std::string("\xFF\x7F\x21\x04\x10\x42\x00\x00", 8);
    EXPECT_EQ(pixels(bmp(s)), (Rows{{kWhite, RgbColor{8, 8, 8}, RgbColor{132, 132, 132}}}));
    // 5-6-5 through bit fields: green 1 -> 4, 32 -> 130.
    s.compression = 3;
    s.masks = {0xF800, 0x07E0, 0x001F};
    s.pixels = std::string("\x20\x00\x00\x04\x1F\xF8\x00\x00", 8);
    EXPECT_EQ(pixels(bmp(s)), (Rows{{RgbColor{0, 4, 0}, RgbColor{0, 130, 0}, RgbColor{255, 0, 255}}}));
    s.masks = {0x7C00, 0x03E0, 0x001F};
    s.pixels = std::string("\xFF\x7F\x21\x04\x10\x42\x00\x00", 8);
    EXPECT_EQ(pixels(bmp(s))[0][1], (RgbColor{8, 8, 8}));
    s.masks = {0x0F00, 0x00F0, 0x000F}; // 4-4-4 is refused
    EXPECT_THROW(bmp(s), EngineError);

    // 24 and 32 bits store B, G, R; the fourth byte is dropped.
    BmpSpec t;
    t.width = 2;
    t.pixels = std::string("\x01\x02\x03\x04\x05\x06\x00\x00", 8);
    EXPECT_EQ(pixels(bmp(t)), (Rows{{RgbColor{3, 2, 1}, RgbColor{6, 5, 4}}}));
    t.bitCount = 32;
    t.pixels = std::string("\x01\x02\x03\x80\x04\x05\x06\xFF", 8);
    EXPECT_EQ(pixels(bmp(t)), (Rows{{RgbColor{3, 2, 1}, RgbColor{6, 5, 4}}}));
    for (std::uint32_t size : {52u, 56u, 108u, 124u}) {
        t.headerSize = size;
        t.compression = 3;
        t.masks = {0xFF0000, 0xFF00, 0xFF};
        EXPECT_EQ(pixels(bmp(t))[0][1], (RgbColor{6, 5, 4})) << size;
        t.masks = {0xFF, 0xFF00, 0xFF0000};
        EXPECT_THROW(bmp(t), EngineError) << size;
    }
}

TEST(BmpDecoding, refusesWhatItCannotReadFully)
{
    BmpSpec s;
    s.width = 2;
    s.height = 2;
    s.pixels = std::string(8 + 6, '\x10'); // the last row needs no padding
    EXPECT_NO_THROW(bmp(s));
    s.pixels.pop_back();
    EXPECT_THROW(bmp(s), EngineError) << "one byte short";

    const struct {
        const char* what;
        void (*change)(BmpSpec&);
    } bad[] = {
        {"header size 64", [](BmpSpec& b) { b.headerSize = 64; }},
        {"zero width", [](BmpSpec& b) { b.width = 0; }},
        {"zero height", [](BmpSpec& b) { b.height = 0; }},
        {"bit count 2", [](BmpSpec& b) { b.bitCount = 2; }},
        {"RLE8 on 24 bits", [](BmpSpec& b) { b.compression = 1; }},
        {"JPEG inside", [](BmpSpec& b) { b.compression = 4; }},
        {"bit fields on 24 bits", [](BmpSpec& b) { b.compression = 3; }},
        {"claims 2^28 + 1 pixels", [](BmpSpec& b) { b.width = 16385; b.height = 16384; b.compression = 1; b.bitCount = 8; }},
    };
    for (const auto& c : bad) {
        BmpSpec changed = s;
        changed.pixels = std::string(14, '\x10');
        c.change(changed);
        EXPECT_THROW(bmp(changed), EngineError) << c.what;
    }
    BmpSpec far = s;
    far.pixelOffset = 4000;
    std::string cut = test::buildBmp(far);
    cut.resize(200);
    Raster r;
    EXPECT_THROW(decodeBmp(span(cut), r), EngineError) << "pixel data past the end";
    std::string notBmp = test::buildBmp(s);
    notBmp[1] = 'A';
    EXPECT_THROW(decodeBmp(span(notBmp), r), EngineError);
}

// ---- GIF ----

Raster gif(const GifSpec& spec)
{
    TempDir dir;
    test::writeGifSpec(dir.path() + "g.gif", spec);
    const std::string bytes = test::readFile(dir.path() + "g.gif");
    Raster r;
    decodeGif(span(bytes), r);
    return r;
}

GifSpec smallGif()
{
    GifSpec g;
    g.screenWidth = 4;
    g.screenHeight = 3;
    g.globalColors = {kRed, kGreen, kBlue, kGrey};
    g.background = 2;
    g.left = 1;
    g.top = 1;
    g.width = 2;
    g.height = 2;
    g.indices = {0, 1, 3, 1};
    return g;
}

TEST(GifDecoding, firstFrameIsDrawnOnTheLogicalScreenOverTheBackground)
{
    GifSpec g = smallGif();
    EXPECT_EQ(pixels(gif(g)), (Rows{{kBlue, kBlue, kBlue, kBlue},
                                    {kBlue, kRed, kGreen, kBlue},
                                    {kBlue, kGrey, kGreen, kBlue}}));
    // Transparent pixels show the background; a second frame changes nothing.
    g.transparent = 1;
    g.secondFrame = true;
    EXPECT_EQ(pixels(gif(g)), (Rows{{kBlue, kBlue, kBlue, kBlue},
                                    {kBlue, kRed, kBlue, kBlue},
                                    {kBlue, kGrey, kBlue, kBlue}}));
    // A background index past the global table gives white.
    g.background = 9;
    EXPECT_EQ(pixels(gif(g))[0][0], kWhite);
    // Frame parts beyond the screen are clipped.
    g.left = 3;
    g.top = 2;
    EXPECT_EQ(pixels(gif(g))[2][3], kRed);
}

TEST(GifDecoding, withoutGlobalTableTheBackgroundIsWhiteAndTheLocalTableColours)
{
    GifSpec g = smallGif();
    g.localColors = g.globalColors;
    g.globalColors.clear();
    g.transparent = 3;
    EXPECT_EQ(pixels(gif(g)), (Rows{{kWhite, kWhite, kWhite, kWhite},
                                    {kWhite, kRed, kGreen, kWhite},
                                    {kWhite, kWhite, kGreen, kWhite}}));
    // No colour table at all: one 1 x 1 frame, code size 2: clear, 0, end.
    const std::string bare("GIF89a\x01\x00\x01\x00\x00\x00\x00"
                           "\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00"
                           "\x02\x02\x44\x01\x00\x3B", 30);
    Raster r;
    EXPECT_THROW(decodeGif(span(bare), r), EngineError);
    std::string withTable = bare;
    withTable[10] = '\x80'; // a global table of 2 entries, black and white
    withTable.insert(13, std::string("\x00\x00\x00\xFF\xFF\xFF", 6));
    decodeGif(span(withTable), r);
    EXPECT_EQ(pixels(r), (Rows{{kBlack}}));
    // A zero-sized logical screen fails.
    std::string empty = withTable;
    empty[6] = '\0';
    EXPECT_THROW(decodeGif(span(empty), r), EngineError);
}

TEST(GifDecoding, interlacedFramesComeOutInRowOrder)
{
    GifSpec g;
    g.screenWidth = 1;
    g.screenHeight = 10;
    g.width = 1;
    g.height = 10;
    g.interlaced = true;
    for (int i = 0; i < 10; ++i)
        g.globalColors.push_back(RgbColor{static_cast<std::uint8_t>(i * 20), 0, 0});
    for (int i = 0; i < 10; ++i)
        g.indices.push_back(static_cast<std::uint8_t>(i));
    const Rows rows = pixels(gif(g));
    for (int y = 0; y < 10; ++y)
        EXPECT_EQ(rows[y][0].R, y * 20) << y;
}

// ---- PNG ----

Raster png(const PngSpec& spec)
{
    TempDir dir;
    test::writePngSpec(dir.path() + "p.png", spec);
    const std::string bytes = test::readFile(dir.path() + "p.png");
    Raster r;
    decodePng(span(bytes), r);
    return r;
}

TEST(PngDecoding, sixteenBitSamplesKeepTheHighByteThenTakeTheFilesGamma)
{
    // Samples 0x00FF, 0x01FF, 0x40FF, 0x80FF, 0xC8FF, 0xFEFF, 0xFFFF: high bytes
    // 0, 1, 64, 128, 200, 254, 255, whatever the low byte would round to.
    PngSpec p;
    p.width = 7;
    p.colorType = PNG_COLOR_TYPE_GRAY;
    p.bitDepth = 16;
    for (int high : {0, 1, 64, 128, 200, 254, 255}) {
        p.rows.push_back(static_cast<std::uint8_t>(high));
        p.rows.push_back(0xFF);
    }
    // round(255 * (i / 255) ^ (1 / (2.2 * g / 100000))), worked out separately.
    const struct {
        std::uint32_t gamma;
        bool srgb;
        std::vector<int> expected;
    } cases[] = {
        {0, false, {0, 1, 64, 128, 200, 254, 255}},
        {100000, false, {0, 21, 136, 186, 228, 255, 255}},
        {220000, false, {0, 81, 192, 221, 243, 255, 255}},
        {50000, false, {0, 2, 73, 136, 204, 254, 255}},
        // An sRGB chunk does not replace the file's own gamma value.
        {100000, true, {0, 21, 136, 186, 228, 255, 255}},
    };
    for (const auto& c : cases) {
        p.gamma = c.gamma;
        p.srgb = c.srgb;
        const Rows rows = pixels(png(p));
        for (std::size_t x = 0; x < c.expected.size(); ++x) {
            EXPECT_EQ(rows[0][x].R, c.expected[x]) << "gamma " << c.gamma << " x " << x;
            EXPECT_EQ(rows[0][x].B, c.expected[x]);
        }
    }
}

TEST(PngDecoding, alphaIsCompositedOntoBlackAfterGamma)
{
    PngSpec p;
    p.width = 3;
    p.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    p.rows = {200, 100, 50, 128, 255, 255, 255, 0, 10, 20, 30, 255};
    // (c * a + 127) div 255
    EXPECT_EQ(pixels(png(p)), (Rows{{RgbColor{100, 50, 25}, kBlack, RgbColor{10, 20, 30}}}));
    p.gamma = 100000; // 128 -> 186, then (186 * 128 + 127) div 255 = 93
    p.width = 1;
    p.rows = {128, 128, 128, 128};
    EXPECT_EQ(pixels(png(p))[0][0], (RgbColor{93, 93, 93}));
    PngSpec ga;
    ga.width = 2;
    ga.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
    ga.rows = {200, 128, 90, 255};
    EXPECT_EQ(pixels(png(ga)), (Rows{{RgbColor{100, 100, 100}, RgbColor{90, 90, 90}}}));
}

TEST(PngDecoding, paletteTransparencyCountsOnlyWithPartialValues)
{
    PngSpec p;
    p.width = 4;
    p.colorType = PNG_COLOR_TYPE_PALETTE;
    p.palette = {RgbColor{200, 100, 50}, kGreen, kBlue};
    p.rows = {0, 1, 2, 3}; // index 3 lies past the palette
    p.trans = {0, 255};
    EXPECT_EQ(pixels(png(p)), (Rows{{RgbColor{200, 100, 50}, kGreen, kBlue, kBlack}}));
    p.trans = {128, 0};
    EXPECT_EQ(pixels(png(p)), (Rows{{RgbColor{100, 50, 25}, kBlack, kBlue, kBlack}}));

    // A single transparent colour (grey or RGB) is ignored.
    PngSpec rgb;
    rgb.width = 1;
    rgb.rows = {7, 8, 9};
    rgb.trans = {7, 8, 9};
    EXPECT_EQ(pixels(png(rgb))[0][0], (RgbColor{7, 8, 9}));
}

TEST(PngDecoding, lowBitDepthGreyScalesToEightBitsAndInterlaceChangesNothing)
{
    const struct {
        int depth;
        std::uint8_t packed;
        std::vector<int> expected;
    } cases[] = {
        {1, 0xA0, {255, 0, 255}},
        {2, 0x6C, {85, 170, 255}},
        {4, 0x3C, {51, 204}},
    };
    for (const auto& c : cases) {
        PngSpec p;
        p.width = static_cast<std::uint32_t>(c.expected.size());
        p.colorType = PNG_COLOR_TYPE_GRAY;
        p.bitDepth = c.depth;
        p.rows = {c.packed};
        const Rows rows = pixels(png(p));
        for (std::size_t x = 0; x < c.expected.size(); ++x)
            EXPECT_EQ(rows[0][x].G, c.expected[x]) << c.depth << " bits, x " << x;
    }

    PngSpec p;
    p.width = 9;
    p.height = 11;
    for (int i = 0; i < 9 * 11 * 3; ++i)
        p.rows.push_back(static_cast<std::uint8_t>(i * 7));
    const Raster plain = png(p);
    p.interlaced = true;
    EXPECT_EQ(png(p).Pixels, plain.Pixels);
}

// ---- TIFF ----

struct TiffSpec {
    std::uint32_t width = 2;
    std::uint32_t height = 2;
    int samples = 3;
    int extra = EXTRASAMPLE_UNASSALPHA;
    int orientation = ORIENTATION_TOPLEFT;
    int compression = COMPRESSION_NONE;
    std::vector<std::uint8_t> data;
};

std::string tiffBytes(const TiffSpec& spec)
{
    TempDir dir;
    const std::string path = dir.path() + "t.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, spec.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, spec.height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spec.samples);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, spec.orientation);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, spec.compression);
    if (spec.samples == 4) {
        const std::uint16_t extra = static_cast<std::uint16_t>(spec.extra);
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    const std::size_t rowBytes = spec.width * spec.samples;
    for (std::uint32_t y = 0; y < spec.height; ++y)
        TIFFWriteScanline(tif, const_cast<std::uint8_t*>(spec.data.data() + y * rowBytes), y, 0);
    TIFFClose(tif);
    return test::readFile(path);
}

Raster tiff(const std::string& bytes)
{
    Raster r;
    decodeTiff(span(bytes), r);
    return r;
}

TEST(TiffDecoding, rowsComeInStoredOrderWhateverTheOrientationTag)
{
    TiffSpec t;
    t.data = {255, 0, 0, 0, 255, 0, 0, 0, 255, 128, 128, 128};
    const Rows stored{{kRed, kGreen}, {kBlue, kGrey}};
    for (int orientation : {ORIENTATION_TOPLEFT, ORIENTATION_BOTLEFT, ORIENTATION_BOTRIGHT,
                            ORIENTATION_TOPRIGHT}) {
        t.orientation = orientation;
        EXPECT_EQ(pixels(tiff(tiffBytes(t))), stored) << "orientation " << orientation;
    }
}

TEST(TiffDecoding, unassociatedAlphaIsPremultipliedOnceAssociatedKept)
{
    TiffSpec t;
    t.width = 2;
    t.height = 1;
    t.samples = 4;
    t.data = {200, 100, 50, 128, 90, 80, 70, 0};
    EXPECT_EQ(pixels(tiff(tiffBytes(t))), (Rows{{RgbColor{100, 50, 25}, kBlack}}));
    t.extra = EXTRASAMPLE_ASSOCALPHA;
    EXPECT_EQ(pixels(tiff(tiffBytes(t))), (Rows{{RgbColor{200, 100, 50}, RgbColor{90, 80, 70}}}));
}

TEST(TiffDecoding, damagedStripOrDirectoryFailsThePicture)
{
    TiffSpec t;
    t.width = 64;
    t.height = 8;
    t.compression = COMPRESSION_ADOBE_DEFLATE;
    for (int i = 0; i < 64 * 8 * 3; ++i)
        t.data.push_back(static_cast<std::uint8_t>(i * 5));
    const std::string bytes = tiffBytes(t);
    EXPECT_NO_THROW(tiff(bytes));
    // libtiff writes the strips first, from offset 8: spoil the first one.
    std::string spoilt = bytes;
    for (int i = 8; i < 14; ++i)
        spoilt[i] = '\xFF';
    EXPECT_THROW(tiff(spoilt), EngineError);
    // The first directory's offset points past the end of the file.
    std::string lost = bytes;
    lost[6] = '\x7F';
    EXPECT_THROW(tiff(lost), EngineError);
    EXPECT_THROW(tiff(bytes.substr(0, bytes.size() / 2)), EngineError);
}

} // namespace
} // namespace ferrovin
