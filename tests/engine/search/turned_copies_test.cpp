// Turned and mirrored copies of a photo-like picture, written as real files,
// pair with their original only when MatchTurnedAndMirrored is on.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/search/search_observer.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"
#include "support/picture_writers.h"
#include "support/temp_dir.h"

namespace ferrovin::test {
namespace {

// Soft shading under a few solid shapes placed off-centre, so that no turn
// or mirror of it looks like itself.
Raster photoLike(int width, int height, std::uint32_t seed)
{
    Raster raster = makeGradient(width, height, seed);
    std::mt19937 rng(seed);
    for (int shape = 0; shape < 7; ++shape) {
        const int w = width / 8 + int(rng() % unsigned(width / 4));
        const int h = height / 8 + int(rng() % unsigned(height / 4));
        const int left = int(rng() % unsigned(width - w));
        const int top = int(rng() % unsigned(height / 2 + (shape % 2) * (height / 2 - h)));
        const std::uint8_t colour[3] = {std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())};
        for (int y = top; y < top + h && y < height; ++y)
            for (int x = left; x < left + w; ++x)
                for (int c = 0; c < 3; ++c)
                    raster.row(y)[x * 3 + c] = colour[c];
    }
    return raster;
}

// Bit 0 mirrors left-right, bit 1 top-bottom, bit 2 swaps the axes (last).
Raster oriented(const Raster& source, int orientation)
{
    const bool swap = (orientation & 4) != 0;
    Raster out;
    out.setSize(swap ? source.Height : source.Width, swap ? source.Width : source.Height, PixelFormat::Pf24Bit);
    for (int y = 0; y < source.Height; ++y) {
        for (int x = 0; x < source.Width; ++x) {
            int tx = (orientation & 1) ? source.Width - 1 - x : x;
            int ty = (orientation & 2) ? source.Height - 1 - y : y;
            if (swap)
                std::swap(tx, ty);
            for (int c = 0; c < 3; ++c)
                out.row(ty)[tx * 3 + c] = source.row(y)[x * 3 + c];
        }
    }
    return out;
}

// The JPEG with an Exif block whose orientation tag says "turn 90 degrees to
// view", as cameras write it; the stored pixels are what the search sees.
std::string withOrientationTag(const std::string& jpeg)
{
    const std::string tiff = std::string("II*\0\x08\0\0\0", 8) + std::string("\x01\0", 2)  // one entry
        + std::string("\x12\x01\x03\0\x01\0\0\0\x06\0\0\0", 12)  // Orientation, SHORT, 1, 6
        + std::string("\0\0\0\0", 4);
    const std::string body = std::string("Exif\0\0", 6) + tiff;
    const std::size_t length = body.size() + 2;
    const std::string segment = std::string("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xFF) + body;
    return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

std::vector<TPicturePair> search(const TempDir& dir, bool turned)
{
    Settings settings;
    settings.MatchTurnedAndMirrored = turned;
    Catalogue catalogue;
    SearchObserver quiet;
    RunSearch(catalogue, settings, {dir.path()}, quiet);
    return {catalogue.PicturePairs.begin(), catalogue.PicturePairs.begin() + (catalogue.LastPairIndex + 1)};
}

TEST(TurnedCopies, pairWithTheirOriginalOnlyWithTheOption)
{
    const Raster original = photoLike(400, 300, 5);
    // 90 and 270 degrees are a mirror plus a swap; 180 is both mirrors.
    const struct {
        const char* what;
        int orientation;
        bool tagged;
    } copies[] = {{"turned 90", 5, false},       {"turned 180", 3, false}, {"turned 270", 6, false},
                  {"mirrored left-right", 1, false}, {"mirrored top-bottom", 2, false},
                  {"transposed", 4, false},       {"stored turned with a tag", 5, true}};
    for (const auto& copy : copies) {
        SCOPED_TRACE(copy.what);
        TempDir dir;
        writeJpeg(dir.path() + "a.jpg", original, 92);
        const std::string turned = encodeJpeg(oriented(original, copy.orientation), 80);
        dir.writeFile("b.jpg", copy.tagged ? withOrientationTag(turned) : turned);
        // Unrelated pictures of both shapes never pair, with the option or without.
        writeJpeg(dir.path() + "c.jpg", photoLike(400, 300, 77), 90);
        writeJpeg(dir.path() + "d.jpg", oriented(photoLike(400, 300, 78), 5), 90);
        EXPECT_EQ(search(dir, false), std::vector<TPicturePair>{});
        const std::vector<TPicturePair> pairs = search(dir, true);
        ASSERT_EQ(pairs.size(), 1u);
        EXPECT_EQ(pairs[0].PicIndex1, 0);
        EXPECT_EQ(pairs[0].PicIndex2, 1);
        EXPECT_GE(pairs[0].Similarity, (150 * 0.4 - 50) * 2);
    }
}

} // namespace
} // namespace ferrovin::test
