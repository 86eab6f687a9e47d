// The stream-free round trip must give the library's bytes exactly.
#include <cstdint>
#include <random>

#include <gtest/gtest.h>

#include "engine/analysis/decoders/jpeg_codec.h"
#include "engine/analysis/decoders/jpeg_round_trip.h"
#include "engine/analysis/raster.h"

namespace ferrovin {
namespace {

// Bands of noise (large coefficients of every frequency), saturated and
// extreme flat colours (the clamps), and gradients, at varying band widths.
Raster mixedPicture(int width, int height, unsigned seed)
{
    Raster picture;
    picture.setSize(width, height, PixelFormat::Pf24Bit);
    std::mt19937 rng(seed);
    const int band = 5 + static_cast<int>(seed % 40);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = picture.row(y);
        for (int x = 0; x < width; ++x) {
            const int kind = (x / band + y / (band + 3)) % 5;
            for (int k = 0; k < 3; ++k) {
                std::uint8_t v = 0;
                switch (kind) {
                case 0: v = static_cast<std::uint8_t>(rng()); break;
                case 1: v = k == (x + y) % 3 ? 255 : 0; break;
                case 2: v = static_cast<std::uint8_t>((x * (k + 1) + y * 2) & 255); break;
                case 3: v = (x / 3 + y / 2) % 2 ? 255 : 0; break;
                default: v = static_cast<std::uint8_t>(seed * 37 * (k + 1)); break;
                }
                row[3 * x + k] = v;
            }
        }
    }
    return picture;
}

TEST(JpegRoundTrip, givesTheLibrarysBytesAtOneEighthAndOneQuarter)
{
    struct Case {
        int width, height, scale;
    };
    // Sizes leave every kind of partial block and macroblock at the edges.
    const Case cases[] = {
        {1001, 1001, 8}, {1009, 1031, 8}, {1024, 1040, 8}, {1100, 1003, 8}, {1015, 1010, 8},
        {501, 501, 4},   {777, 1000, 4},  {1003, 613, 4},  {640, 512, 4},   {1000, 999, 4},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        const Raster picture = mixedPicture(c.width, c.height, seed++);
        ASSERT_EQ(chooseScaleDenominator(c.width, c.height, 0, 0), c.scale);
        JpegStream stream;
        encodeJpegQuality90(picture, stream);
        Raster real;
        decodeJpeg(stream.bytes(), 0, 0, real);
        Raster computed;
        computeRoundTripWithoutStream(picture, c.scale, computed);
        ASSERT_EQ(computed.Width, real.Width);
        ASSERT_EQ(computed.Height, real.Height);
        ASSERT_EQ(computed.Format, real.Format);
        EXPECT_TRUE(computed.Pixels == real.Pixels);
    }
}

TEST(JpegRoundTrip, leavesOtherScalesAndOversizedSidesToTheLibrary)
{
    const Raster picture = mixedPicture(40, 30, 7);
    Raster out;
    out.setSize(1, 1, PixelFormat::Pf24Bit);
    for (const int scale : {1, 2})
        EXPECT_FALSE(roundTripWithoutStream(picture, scale, out));
    EXPECT_FALSE(roundTripWithoutStream(mixedPicture(65501, 1, 3), 8, out));
    EXPECT_EQ(out.Width, 1);

    // This library passes the once-per-process comparison at both scales.
    for (const int scale : {4, 8}) {
        ASSERT_TRUE(roundTripWithoutStream(picture, scale, out));
        Raster direct;
        computeRoundTripWithoutStream(picture, scale, direct);
        EXPECT_EQ(out.Width, 40 / scale);
        EXPECT_EQ(out.Height, (30 + scale - 1) / scale);
        EXPECT_TRUE(out.Pixels == direct.Pixels);
    }
}

} // namespace
} // namespace ferrovin
