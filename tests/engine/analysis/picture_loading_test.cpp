#include "engine/analysis/picture_loading.h"

#include <cstdio>
#include <csetjmp>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "engine/analysis/raster.h"
#include "engine/engine_error.h"
#include "engine/settings/settings.h"
#include "support/loaded_picture.h"
#include "support/picture_writers.h"
#include "support/temp_dir.h"

namespace ferrovin {
namespace {

using test::TempDir;

using test::Loaded;
using test::load;

RgbColor pixelOf(const Raster& r, int x, int y)
{
    const int bpp = Raster::bytesPerPixel(r.Format);
    const std::uint8_t* p = r.row(y) + static_cast<std::size_t>(x) * bpp;
    if (r.Format == PixelFormat::Pf8Bit)
        return r.Palette[*p];
    return RgbColor{p[0], p[1], p[2]};
}

// Every small-raster pixel must be the full-raster pixel its grid cell maps to.
void expectNearestNeighbourStretch(const Loaded& l)
{
    ASSERT_EQ(l.small.Width, 128);
    ASSERT_EQ(l.small.Height, 128);
    ASSERT_EQ(l.small.Format, PixelFormat::Pf24Bit);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x)
            ASSERT_EQ(pixelOf(l.small, x, y),
                      pixelOf(l.full, static_cast<int>(std::int64_t{x} * l.full.Width / 128),
                              static_cast<int>(std::int64_t{y} * l.full.Height / 128)))
                << "at " << x << "," << y;
}

// A small real JPEG whose frame header is made to claim another size. The
// missing scan data decodes as flat grey, which is all a size test needs.
std::string jpegClaimingSize(int width, int height)
{
    std::string bytes = test::encodeJpeg(test::makeGradient(16, 16, 7));
    const std::size_t sof = bytes.find("\xFF\xC0");
    EXPECT_NE(sof, std::string::npos);
    bytes[sof + 5] = static_cast<char>(height >> 8);
    bytes[sof + 6] = static_cast<char>(height & 0xFF);
    bytes[sof + 7] = static_cast<char>(width >> 8);
    bytes[sof + 8] = static_cast<char>(width & 0xFF);
    return bytes;
}

TEST(PictureLoading, decodesLargePicturesAtTheScaleTheirSizeCallsFor)
{
    struct Case {
        int width, height, minWidth, minHeight, expectWidth, expectHeight;
    };
    const Case cases[] = {
        {4000, 3000, 100, 100, 500, 375},    // 1/8
        {1001, 1001, 100, 100, 126, 126},    // 1/8, rounded up
        {1000, 1001, 100, 100, 250, 251},    // width at the bound: 1/4
        {2000, 1000, 100, 100, 500, 250},    // height at the bound: 1/4
        {501, 501, 100, 100, 126, 126},      // 1/4
        {501, 500, 100, 100, 501, 500},      // height at the 1/4 bound: full size
        {500, 4000, 100, 100, 500, 4000},    // width above neither bound
        {3000, 3000, 2000, 2000, 375, 375},  // raised bounds, same scale
        {2001, 2001, 2000, 2000, 251, 251},  // just above raised bounds
        {2000, 2001, 2000, 2000, 2000, 2001}, // at the raised width bound: full size
        {1500, 1500, 2000, 100, 1500, 1500}, // a raised width bound blocks both scales
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.writeFile("p.jpg", jpegClaimingSize(c.width, c.height));
        Settings settings;
        settings.MinPicWidth = c.minWidth;
        settings.MinPicHeight = c.minHeight;
        const Loaded l = load(path, settings);
        EXPECT_EQ(l.full.Width, c.expectWidth) << c.width << "x" << c.height;
        EXPECT_EQ(l.full.Height, c.expectHeight) << c.width << "x" << c.height;
        EXPECT_EQ(l.full.Format, PixelFormat::Pf24Bit);
    }
}

TEST(PictureLoading, decodesARealLargePictureAtOneEighth)
{
    TempDir dir;
    const Raster picture = test::makeGradient(1601, 1203, 3);
    test::writeJpeg(dir.path() + "big.jpg", picture);
    const Loaded l = load(dir.path() + "big.jpg");
    EXPECT_EQ(l.full.Width, 201);
    EXPECT_EQ(l.full.Height, 151);
    // A smooth picture survives the reduction: the corner keeps its colour.
    const RgbColor corner = pixelOf(l.full, 200, 150);
    const std::uint8_t* original = picture.row(1202) + 1600 * 3;
    EXPECT_NEAR(corner.R, original[0], 12);
    EXPECT_NEAR(corner.G, original[1], 12);
    expectNearestNeighbourStretch(l);
}

TEST(PictureLoading, stretchesEveryPictureNearestNeighbourOntoTheSmallRaster)
{
    TempDir dir;
    const struct {
        int width, height;
    } sizes[] = {{20, 30}, {1, 1}, {300, 77}, {128, 128}, {1001, 1001}};
    for (const auto& size : sizes) {
        const std::string path = dir.path() + "s.jpg";
        test::writeJpeg(path, test::makeNoise(size.width, size.height, 9));
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        expectNearestNeighbourStretch(load(path));
    }
}

TEST(PictureLoading, reusedRastersTakeEachPictureWhole)
{
    TempDir dir;
    test::writeJpeg(dir.path() + "big.jpg", test::makeNoise(300, 200, 1));
    test::writeJpegGrey(dir.path() + "grey.jpg", test::makeGradient(40, 30, 2));
    test::writeJpeg(dir.path() + "small.jpg", test::makeNoise(30, 20, 3));
    Raster full;
    Raster small;
    small.setSize(128, 128, PixelFormat::Pf24Bit);
    for (const char* name : {"big.jpg", "grey.jpg", "small.jpg"})
        LoadPicture(dir.path() + name, full, small, Settings{});
    const Loaded fresh = load(dir.path() + "small.jpg");
    EXPECT_EQ(full.Width, 30);
    EXPECT_EQ(full.Height, 20);
    EXPECT_EQ(full.Format, PixelFormat::Pf24Bit);
    EXPECT_EQ(full.Pixels, fresh.full.Pixels);
    EXPECT_EQ(small.Pixels, fresh.small.Pixels);
}

TEST(PictureLoading, bmpAndItsPngCopyGiveIdenticalRasters)
{
    // Full size, and large ones whose PNG rows go strip by strip into the
    // round trip (bottom strips of 15 and 9 rows) while the BMP's are held whole.
    for (const auto& [width, height] : {std::pair{61, 47}, std::pair{1033, 1017}, std::pair{700, 603}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        TempDir dir;
        const Raster picture = test::makeNoise(width, height, 5);
        test::writeBmp24(dir.path() + "a.bmp", picture);
        test::writePng(dir.path() + "a.png", picture);
        test::writeTiff(dir.path() + "a.tif", picture);
        const Loaded bmp = load(dir.path() + "a.bmp");
        const Loaded png = load(dir.path() + "a.png");
        const Loaded tif = load(dir.path() + "a.tif");
        EXPECT_EQ(bmp.full.Width, png.full.Width);
        EXPECT_EQ(bmp.full.Pixels, png.full.Pixels);
        EXPECT_EQ(bmp.small.Pixels, png.small.Pixels);
        EXPECT_EQ(bmp.full.Pixels, tif.full.Pixels);
        // Cut short inside the image data: a plain failure, not a partial picture.
        const std::string bytes = test::readFile(dir.path() + "a.png");
        EXPECT_THROW(load(dir.writeFile("cut.png", bytes.substr(0, bytes.size() / 2))), EngineError);
    }
}

TEST(PictureLoading, nonJpegPicturesGoThroughOneQuality90Encoding)
{
    // The BMP route must equal decoding the quality-90 JPEG of the same pixels.
    TempDir dir;
    const Raster picture = test::makeGradient(700, 600, 4);
    test::writeBmp24(dir.path() + "a.bmp", picture);
    test::writeJpeg(dir.path() + "a.jpg", picture, 90);
    const Loaded bmp = load(dir.path() + "a.bmp");
    const Loaded jpg = load(dir.path() + "a.jpg");
    EXPECT_EQ(bmp.full.Width, 175);
    EXPECT_EQ(bmp.full.Pixels, jpg.full.Pixels);
    EXPECT_EQ(bmp.small.Pixels, jpg.small.Pixels);
}

TEST(PictureLoading, fullyTransparentPngGivesAnAllBlackSmallRaster)
{
    TempDir dir;
    Raster rgba;
    rgba.setSize(50, 40, PixelFormat::Pf32Bit);
    for (std::size_t i = 0; i < rgba.Pixels.size(); i += 4) {
        rgba.Pixels[i] = 250;
        rgba.Pixels[i + 1] = 120;
        rgba.Pixels[i + 2] = 30;
        rgba.Pixels[i + 3] = 0;
    }
    test::writePng(dir.path() + "clear.png", rgba);
    const Loaded l = load(dir.path() + "clear.png");
    for (std::uint8_t v : l.small.Pixels)
        ASSERT_EQ(v, 0);
}

TEST(PictureLoading, greyJpegGivesAn8BitRasterWithTheQuantiserGreyPalette)
{
    TempDir dir;
    test::writeJpegGrey(dir.path() + "g.jpg", test::makeGradient(256, 64, 0));
    const Loaded l = load(dir.path() + "g.jpg");
    ASSERT_EQ(l.full.Format, PixelFormat::Pf8Bit);
    EXPECT_EQ(l.full.Width, 256);
    ASSERT_EQ(l.full.PaletteSize, 236);
    // 236 evenly spread levels from black to white, each a grey.
    for (int i = 0; i < 236; ++i) {
        const RgbColor c = l.full.Palette[i];
        EXPECT_EQ(c.R, c.G);
        EXPECT_EQ(c.R, c.B);
        EXPECT_EQ(c.R, (i * 255 + 117) / 235) << i;
    }
    for (std::size_t i = 0; i < l.small.Pixels.size(); i += 3) {
        ASSERT_EQ(l.small.Pixels[i], l.small.Pixels[i + 1]);
        ASSERT_EQ(l.small.Pixels[i], l.small.Pixels[i + 2]);
    }
    expectNearestNeighbourStretch(l);
}

// The library's own CMYK output for a stream, decoded the way the loader decodes.
std::vector<std::uint8_t> referenceCmyk(const std::string& bytes)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_IFAST;
    cinfo.do_block_smoothing = TRUE;
    jpeg_start_decompress(&cinfo);
    std::vector<std::uint8_t> out(cinfo.output_width * cinfo.output_height * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.data() + cinfo.output_scanline * cinfo.output_width * 4;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return out;
}

TEST(PictureLoading, cmykJpegBecomesRgbScaledByBlack)
{
    TempDir dir;
    Raster cmyk;
    cmyk.setSize(24, 16, PixelFormat::Pf32Bit);
    for (std::size_t i = 0; i < cmyk.Pixels.size(); ++i)
        cmyk.Pixels[i] = static_cast<std::uint8_t>((i * 37 + (i % 4) * 50) & 0xFF);
    const std::string path = dir.path() + "c.jpg";
    test::writeJpegCmyk(path, cmyk);
    const Loaded l = load(path);
    ASSERT_EQ(l.full.Format, PixelFormat::Pf32Bit);
    const std::vector<std::uint8_t> stored = referenceCmyk(test::readFile(path));
    ASSERT_EQ(stored.size(), l.full.Pixels.size());
    for (std::size_t i = 0; i < stored.size(); i += 4) {
        const unsigned k = stored[i + 3];
        ASSERT_EQ(l.full.Pixels[i], stored[i] * k / 255) << i;
        ASSERT_EQ(l.full.Pixels[i + 1], stored[i + 1] * k / 255) << i;
        ASSERT_EQ(l.full.Pixels[i + 2], stored[i + 2] * k / 255) << i;
        ASSERT_EQ(l.full.Pixels[i + 3], 255);
    }
    expectNearestNeighbourStretch(l);
}

TEST(PictureLoading, picksTheDecoderByExtensionOnly)
{
    TempDir dir;
    const Raster picture = test::makeGradient(20, 20, 1);
    test::writeJpeg(dir.path() + "real.jpg", picture);
    test::writePng(dir.path() + "real.png", picture);
    const std::string jpegBytes = test::readFile(dir.path() + "real.jpg");
    const std::string pngBytes = test::readFile(dir.path() + "real.png");

    // Extensions are matched without regard to case and only after the last "/".
    for (const char* name : {"a.JPG", "b.Jpeg", "c.jpeg", "dir.png/d.jpg"}) {
        dir.makeDir("dir.png");
        dir.writeFile(name, jpegBytes);
        EXPECT_NO_THROW(load(dir.path() + name)) << name;
    }
    EXPECT_THROW(load(dir.writeFile("jpeg.png", jpegBytes)), EngineError);
    EXPECT_THROW(load(dir.writeFile("png.jpg", pngBytes)), EngineError);
    EXPECT_THROW(load(dir.writeFile("png.bmp", pngBytes)), EngineError);
    EXPECT_THROW(load(dir.writeFile("png.gif", pngBytes)), EngineError);
    EXPECT_THROW(load(dir.writeFile("png.tif", pngBytes)), EngineError);
}

TEST(PictureLoading, unknownExtensionsFailWithTheExtensionAsWritten)
{
    TempDir dir;
    const std::string jpegBytes = test::encodeJpeg(test::makeGradient(8, 8, 1));
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        {"a.tifx", "Unknown picture file extension (.tifx)"},
        {"a.JPE", "Unknown picture file extension (.JPE)"},
        {"a.jpg.bak", "Unknown picture file extension (.bak)"},
        {"noextension", "Unknown picture file extension (.)"},
        {"dot.d/noext", "Unknown picture file extension (.)"},
    };
    dir.makeDir("dot.d");
    for (const auto& c : cases) {
        const std::string path = dir.writeFile(c.name, jpegBytes);
        try {
            load(path);
            ADD_FAILURE() << c.name << " loaded";
        } catch (const EngineError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(PictureLoading, missingFileFails)
{
    TempDir dir;
    EXPECT_THROW(load(dir.path() + "absent.jpg"), EngineError);
    dir.makeDir("folder.png");
    EXPECT_THROW(load(dir.path() + "folder.png"), EngineError);
}

} // namespace
} // namespace ferrovin
