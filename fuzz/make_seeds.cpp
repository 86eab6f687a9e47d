// Writes a small seed corpus for the loader fuzzers: make_seeds <folder>
// creates <folder>/{bmp,jpg,gif,png,tif}/ with valid pictures of each route.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/picture_writers.h"

using namespace ferrovin;
using namespace ferrovin::test;

namespace {

void save(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<RgbColor> greys(int count)
{
    std::vector<RgbColor> colors;
    for (int i = 0; i < count; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 255 / (count > 1 ? count - 1 : 1));
        colors.push_back(RgbColor{v, static_cast<std::uint8_t>(255 - v), 77});
    }
    return colors;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const std::string root = std::string(argv[1]) + "/";
    for (const char* route : {"bmp", "jpg", "gif", "png", "tif"})
        ::mkdir((root + route).c_str(), 0755);

    const Raster pictures[] = {makeGradient(1, 1, 1), makeGradient(7, 5, 2), makeNoise(9, 13, 3),
                               makeGradient(33, 17, 4)};
    int n = 0;
    for (const Raster& p : pictures) {
        const std::string name = "/seed" + std::to_string(n++);
        writeBmp24(root + "bmp" + name + ".bmp", p);
        writeJpeg(root + "jpg" + name + ".jpg", p, 50 + n * 10);
        writeJpegGrey(root + "jpg" + name + "g.jpg", p);
        writeGif(root + "gif" + name + ".gif", p);
        writePng(root + "png" + name + ".png", p);
        writeTiff(root + "tif" + name + ".tif", p);
    }
    Raster cmyk;
    cmyk.setSize(8, 8, PixelFormat::Pf32Bit);
    for (std::size_t i = 0; i < cmyk.Pixels.size(); ++i)
        cmyk.Pixels[i] = static_cast<std::uint8_t>(i * 13);
    writeJpegCmyk(root + "jpg/cmyk.jpg", cmyk);

    // BMP variants: palettes, RLE, bit fields, top-down, the short header.
    BmpSpec b;
    b.width = 5;
    b.height = 3;
    b.bitCount = 8;
    b.palette = greys(4);
    b.colorsUsed = 4;
    b.pixels = std::string("\x00\x01\x02\x03\x01\x00\x00\x00" "\x03\x02\x01\x00\x02\x00\x00\x00"
                           "\x01\x01\x01\x01\x01\x00\x00\x00", 24);
    save(root + "bmp/pal8.bmp", buildBmp(b));
    b.height = -3;
    save(root + "bmp/pal8_topdown.bmp", buildBmp(b));
    b.height = 3;
    b.compression = 1;
    b.pixels = std::string("\x03\x01\x00\x03\x02\x03\x00\x00\x00\x02\x01\x02\x00\x00\x02\x00\x00\x01", 18);
    save(root + "bmp/rle8.bmp", buildBmp(b));
    b.bitCount = 4;
    b.compression = 2;
    b.pixels = std::string("\x05\x12\x00\x00\x00\x03\x12\x30\x00\x00\x00\x01", 12);
    save(root + "bmp/rle4.bmp", buildBmp(b));
    b.bitCount = 1;
    b.compression = 0;
    b.palette = greys(2);
    b.colorsUsed = 0;
    b.pixels = std::string("\xA8\x00\x00\x00\x50\x00\x00\x00\xF8\x00\x00\x00", 12);
    save(root + "bmp/pal1.bmp", buildBmp(b));
    b.headerSize = 12;
    save(root + "bmp/core.bmp", buildBmp(b));
    BmpSpec f;
    f.width = 2;
    f.height = 2;
    f.bitCount = 16;
    f.compression = 3;
    f.masks = {0xF800, 0x07E0, 0x001F};
    f.pixels = std::string("\x1F\x00\xE0\x07\x00\xF8\xFF\xFF", 8);
    save(root + "bmp/rgb565.bmp", buildBmp(f));
    f.headerSize = 124;
    save(root + "bmp/rgb565_v5.bmp", buildBmp(f));

    // PNG variants: palette with partial transparency, 16-bit grey with gamma, interlaced.
    PngSpec pal;
    pal.width = 4;
    pal.height = 2;
    pal.colorType = 3;
    pal.bitDepth = 2;
    pal.palette = greys(3);
    pal.trans = {0, 128};
    pal.rows = {0x1B, 0xE4};
    writePngSpec(root + "png/palette.png", pal);
    PngSpec grey;
    grey.width = 3;
    grey.height = 3;
    grey.colorType = 0;
    grey.bitDepth = 16;
    grey.gamma = 100000;
    grey.interlaced = true;
    for (int i = 0; i < 9; ++i) {
        grey.rows.push_back(static_cast<std::uint8_t>(i * 30));
        grey.rows.push_back(0xFF);
    }
    writePngSpec(root + "png/grey16_gamma.png", grey);

    // GIF variants: transparency, no global table, interlace, an offset frame.
    GifSpec g;
    g.screenWidth = 6;
    g.screenHeight = 9;
    g.globalColors = greys(4);
    g.background = 2;
    g.transparent = 1;
    g.left = 1;
    g.top = 1;
    g.width = 4;
    g.height = 7;
    g.interlaced = true;
    for (int i = 0; i < 28; ++i)
        g.indices.push_back(static_cast<std::uint8_t>(i % 4));
    g.secondFrame = true;
    writeGifSpec(root + "gif/interlaced.gif", g);
    g.globalColors.clear();
    g.localColors = greys(4);
    g.interlaced = false;
    writeGifSpec(root + "gif/local_only.gif", g);
    return 0;
}
