// Damaged, hostile and concurrent input: every failure is an EngineError, and
// nothing else (crash, hang, huge allocation, cross-talk between threads) happens.
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tiffio.h>
#include <zlib.h>

#include "engine/analysis/picture_loading.h"
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

std::string errorOf(const std::string& path)
{
    try {
        load(path);
    } catch (const EngineError& e) {
        return e.what();
    }
    return "(loaded)";
}

// One valid file of each source format, from the same picture.
std::vector<std::string> writeAllFormats(const TempDir& dir, const Raster& picture)
{
    test::writeBmp24(dir.path() + "p.bmp", picture);
    test::writeGif(dir.path() + "p.gif", picture);
    test::writePng(dir.path() + "p.png", picture);
    test::writeTiff(dir.path() + "p.tif", picture);
    test::writeJpeg(dir.path() + "p.jpg", picture);
    return {"p.bmp", "p.gif", "p.png", "p.tif", "p.jpg"};
}

TEST(PictureLoadingRobustness, truncatedFilesFailExceptJpegWhichDecodesWhatIsThere)
{
    TempDir dir;
    const std::vector<std::string> names = writeAllFormats(dir, test::makeNoise(40, 30, 11));
    for (const std::string& name : names) {
        const std::string bytes = test::readFile(dir.path() + name);
        ASSERT_NO_THROW(load(dir.path() + name)) << name;
        for (std::size_t cut : {std::size_t{0}, std::size_t{5}, bytes.size() / 10,
                                bytes.size() / 2, bytes.size() * 9 / 10}) {
            const std::string path = dir.writeFile("cut_" + name, bytes.substr(0, cut));
            if (name == "p.jpg" && cut > bytes.size() / 4)
                EXPECT_NO_THROW(load(path)) << name << " cut at " << cut;
            else
                EXPECT_THROW(load(path), EngineError) << name << " cut at " << cut;
        }
    }
}

TEST(PictureLoadingRobustness, truncatedJpegFillsTheMissingPartWithFlatGrey)
{
    TempDir dir;
    const std::string bytes = test::encodeJpeg(test::makeNoise(64, 64, 2));
    const Loaded l = load(dir.writeFile("half.jpg", bytes.substr(0, bytes.size() / 2)));
    ASSERT_EQ(l.full.Height, 64);
    const std::uint8_t* bottom = l.full.row(63) + 63 * 3;
    EXPECT_NEAR(bottom[0], 128, 2);
    EXPECT_NEAR(bottom[1], 128, 2);
}

TEST(PictureLoadingRobustness, garbageWithAPictureExtensionFails)
{
    TempDir dir;
    std::string noise;
    std::uint32_t state = 12345;
    for (int i = 0; i < 5000; ++i) {
        state = state * 1103515245u + 12345u;
        noise.push_back(static_cast<char>(state >> 24));
    }
    for (const char* ext : {".bmp", ".gif", ".png", ".tif", ".tiff", ".jpg", ".jpeg"}) {
        EXPECT_THROW(load(dir.writeFile(std::string("noise") + ext, noise)), EngineError) << ext;
        EXPECT_THROW(load(dir.writeFile(std::string("empty") + ext, "")), EngineError) << ext;
        // A right signature followed by garbage.
        for (const std::string& magic : {std::string("BM"), std::string("GIF89a"),
                                        std::string("\x89PNG\r\n\x1A\n", 8),
                                        std::string("II*\0", 4), std::string("\xFF\xD8\xFF", 3)})
            EXPECT_THROW(load(dir.writeFile(std::string("magic") + ext, magic + noise)), EngineError)
                << ext;
    }
}

// ---- decompression bombs: a few header bytes claiming a vast picture ----

void putBigEndian(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

std::string pngClaiming(std::uint32_t width, std::uint32_t height)
{
    TempDir dir;
    test::writePng(dir.path() + "s.png", test::makeGradient(4, 4, 1));
    std::string bytes = test::readFile(dir.path() + "s.png");
    putBigEndian(bytes, 16, width);
    putBigEndian(bytes, 20, height);
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + 12), 17);
    putBigEndian(bytes, 29, static_cast<std::uint32_t>(crc));
    return bytes;
}

std::string gifClaiming(std::uint16_t width, std::uint16_t height)
{
    TempDir dir;
    test::writeGif(dir.path() + "s.gif", test::makeGradient(4, 4, 1));
    std::string bytes = test::readFile(dir.path() + "s.gif");
    bytes[6] = static_cast<char>(width & 0xFF);
    bytes[7] = static_cast<char>(width >> 8);
    bytes[8] = static_cast<char>(height & 0xFF);
    bytes[9] = static_cast<char>(height >> 8);
    return bytes;
}

std::string jpegClaiming(std::uint16_t width, std::uint16_t height)
{
    std::string bytes = test::encodeJpeg(test::makeGradient(16, 16, 1));
    const std::size_t sof = bytes.find("\xFF\xC0");
    bytes[sof + 5] = static_cast<char>(height >> 8);
    bytes[sof + 6] = static_cast<char>(height & 0xFF);
    bytes[sof + 7] = static_cast<char>(width >> 8);
    bytes[sof + 8] = static_cast<char>(width & 0xFF);
    return bytes;
}

std::string bmpClaiming(std::int32_t width, std::int32_t height)
{
    test::BmpSpec spec;
    spec.width = width;
    spec.height = height;
    spec.bitCount = 8;
    spec.compression = 1; // RLE: any size is allowed to be mostly missing
    spec.palette = {RgbColor{1, 2, 3}};
    spec.pixels = std::string("\x00\x01", 2);
    return test::buildBmp(spec);
}

std::string tiffClaiming(std::uint32_t width, std::uint32_t height)
{
    TempDir dir;
    const std::string path = dir.path() + "s.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    const std::uint8_t pixel[3] = {1, 2, 3};
    TIFFWriteRawStrip(tif, 0, const_cast<std::uint8_t*>(pixel), 3);
    TIFFClose(tif);
    return test::readFile(path);
}

TEST(PictureLoadingRobustness, picturesClaimingMoreThan2To28PixelsFailBeforeAllocating)
{
    TempDir dir;
    const struct {
        const char* name;
        std::string bytes;
    } bombs[] = {
        {"b.png", pngClaiming(20000, 20000)},
        {"w.png", pngClaiming(0x7FFFFFFF, 1)},
        {"b.gif", gifClaiming(65535, 65535)},
        {"b.jpg", jpegClaiming(65000, 65000)},
        {"e.jpg", jpegClaiming(16385, 16384)}, // 2^28 + 16384
        {"b.bmp", bmpClaiming(100000, 100000)},
        {"t.bmp", bmpClaiming(16384, -16385)},
        {"b.tif", tiffClaiming(100000, 100000)},
    };
    for (const auto& bomb : bombs)
        EXPECT_EQ(errorOf(dir.writeFile(bomb.name, bomb.bytes)), "Picture too large") << bomb.name;
}

TEST(PictureLoadingRobustness, picturesAtThePixelLimitStillLoad)
{
    // 16384 x 16384 is exactly 2^28 pixels; the JPEG decodes at 1/8.
    TempDir dir;
    const Loaded l = load(dir.writeFile("edge.jpg", jpegClaiming(16384, 16384)));
    EXPECT_EQ(l.full.Width, 2048);
    EXPECT_EQ(l.full.Height, 2048);
}

TEST(PictureLoadingRobustness, savedFuzzerFindingsFailCleanlyOrLoad)
{
    const std::filesystem::path folder = std::filesystem::path(FERROVIN_TEST_DATA) / "loading" / "fuzz";
    if (!std::filesystem::exists(folder))
        GTEST_SKIP() << "no saved findings";
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++seen;
        // A fresh thread starts with empty per-thread buffers, as the fuzzer did.
        std::thread([&] {
            try {
                const Loaded l = load(entry.path().string());
                EXPECT_EQ(l.small.Pixels.size(), 128u * 128u * 3u) << entry.path();
            } catch (const EngineError&) {
            }
        }).join();
    }
    EXPECT_GT(seen, 0);
}

TEST(PictureLoadingRobustness, concurrentLoadsGiveTheSameRastersAsOneAtATime)
{
    TempDir dir;
    std::vector<std::string> paths;
    for (std::uint32_t seed = 0; seed < 2; ++seed) {
        const std::string sub = "set" + std::to_string(seed) + "/";
        dir.makeDir(sub);
        const Raster picture = test::makeNoise(90 + static_cast<int>(seed), 70, seed);
        test::writeBmp24(dir.path() + sub + "p.bmp", picture);
        test::writeGif(dir.path() + sub + "p.gif", picture);
        test::writePng(dir.path() + sub + "p.png", picture);
        test::writeTiff(dir.path() + sub + "p.tif", picture);
        test::writeJpeg(dir.path() + sub + "p.jpg", picture);
        for (const char* name : {"p.bmp", "p.gif", "p.png", "p.tif", "p.jpg"})
            paths.push_back(dir.path() + sub + name);
        paths.push_back(dir.writeFile(sub + "bad.png", "not a picture"));
    }
    std::vector<std::vector<std::uint8_t>> expected;
    for (const std::string& path : paths) {
        try {
            expected.push_back(load(path).small.Pixels);
        } catch (const EngineError&) {
            expected.emplace_back();
        }
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            Raster full;
            Raster small;
            small.setSize(128, 128, PixelFormat::Pf24Bit);
            for (int round = 0; round < 5; ++round)
                for (std::size_t i = 0; i < paths.size(); ++i) {
                    const std::size_t k = (i + static_cast<std::size_t>(t) * 3) % paths.size();
                    std::vector<std::uint8_t> got;
                    try {
                        LoadPicture(paths[k], full, small, Settings{});
                        got = small.Pixels;
                    } catch (const EngineError&) {
                    }
                    if (got != expected[k])
                        ++mismatches[static_cast<std::size_t>(t)];
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
} // namespace ferrovin
