// LoadPicture against a bare libjpeg-turbo scaled decode of the same stream.
// The loader's own work on a JPEG (reading the file, choosing the scale, the
// 128 x 128 stretch) should cost at most 10 % over the decode itself:
//   ratio = LoadPicture_Jpeg12MP / BareDecode_Jpeg12MP  (goal <= 1.10)
// For a PNG the loader also decodes the PNG and re-encodes it at quality 90;
// BareDecode_Png2MPStream decodes just that re-encoded stream, for scale.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <png.h>

#include "engine/analysis/picture_loading.h"
#include "engine/analysis/raster.h"
#include "engine/settings/settings.h"

namespace {

using ferrovin::Raster;

// A photo-like picture: smooth light with a little grain, so the JPEG is of a
// realistic size (a few MB at 12 MP) rather than all noise or all flat.
std::vector<std::uint8_t> makePicture(int width, int height)
{
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t state = 2463534242u;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const int grain = static_cast<int>(state & 15) - 8;
            std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            p[0] = static_cast<std::uint8_t>(std::clamp(x * 255 / width + grain, 0, 255));
            p[1] = static_cast<std::uint8_t>(std::clamp(y * 255 / height + grain, 0, 255));
            p[2] = static_cast<std::uint8_t>(std::clamp(((x / 40 + y / 40) % 2) * 120 + 60 + grain, 0, 255));
        }
    return rgb;
}

std::string encodeJpeg(const std::vector<std::uint8_t>& rgb, int width, int height)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<std::uint8_t*>(rgb.data()) + cinfo.next_scanline * width * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string bytes(reinterpret_cast<const char*>(out), size);
    std::free(out);
    return bytes;
}

void writePng(const std::string& path, const std::vector<std::uint8_t>& rgb, int width, int height)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, rgb.data() + static_cast<std::size_t>(y) * width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// The bare decode: stream already in memory, same parameters as the loader.
void bareDecode(const std::string& stream, int scaleDenominator, std::vector<std::uint8_t>& out)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned>(scaleDenominator);
    cinfo.dct_method = JDCT_IFAST;
    cinfo.do_block_smoothing = TRUE;
    cinfo.dither_mode = JDITHER_ORDERED;
    cinfo.two_pass_quantize = FALSE;
    jpeg_start_decompress(&cinfo);
    const std::size_t rowBytes = static_cast<std::size_t>(cinfo.output_width) * 3;
    out.resize(rowBytes * cinfo.output_height);
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(16, cinfo.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = out.data() + (first + i) * rowBytes;
        jpeg_read_scanlines(&cinfo, rows, count);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

struct Fixture {
    std::string folder;
    std::string jpegPath;
    std::string jpegStream;
    std::string pngPath;
    std::string pngStream; // the PNG's pixels encoded as the loader encodes them

    Fixture()
    {
        char pattern[] = "/tmp/ferrovin-bench-XXXXXX";
        folder = mkdtemp(pattern);
        const std::vector<std::uint8_t> photo = makePicture(4000, 3000);
        jpegStream = encodeJpeg(photo, 4000, 3000);
        jpegPath = folder + "/photo.jpg";
        std::ofstream(jpegPath, std::ios::binary) << jpegStream;
        const std::vector<std::uint8_t> shot = makePicture(1920, 1080);
        pngPath = folder + "/shot.png";
        writePng(pngPath, shot, 1920, 1080);
        pngStream = encodeJpeg(shot, 1920, 1080);
    }
    ~Fixture()
    {
        std::remove(jpegPath.c_str());
        std::remove(pngPath.c_str());
        ::rmdir(folder.c_str());
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void loadLoop(benchmark::State& state, const std::string& path)
{
    Raster full;
    Raster small;
    small.setSize(128, 128, ferrovin::PixelFormat::Pf24Bit);
    const ferrovin::Settings settings;
    for (auto _ : state) {
        ferrovin::LoadPicture(path, full, small, settings);
        benchmark::DoNotOptimize(small.Pixels.data());
    }
}

void LoadPicture_Jpeg12MP(benchmark::State& state)
{
    loadLoop(state, fixture().jpegPath);
    state.counters["file_bytes"] = static_cast<double>(fixture().jpegStream.size());
}

void BareDecode_Jpeg12MP(benchmark::State& state)
{
    std::vector<std::uint8_t> out;
    for (auto _ : state) {
        bareDecode(fixture().jpegStream, 8, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void LoadPicture_Png2MP(benchmark::State& state)
{
    loadLoop(state, fixture().pngPath);
}

void BareDecode_Png2MPStream(benchmark::State& state)
{
    std::vector<std::uint8_t> out;
    for (auto _ : state) {
        bareDecode(fixture().pngStream, 8, out);
        benchmark::DoNotOptimize(out.data());
    }
}

// Interleaved so that drifting machine load hits both sides alike.
BENCHMARK(BareDecode_Jpeg12MP)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LoadPicture_Jpeg12MP)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BareDecode_Png2MPStream)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(LoadPicture_Png2MP)->Unit(benchmark::kMillisecond)->MinTime(1.0);

} // namespace

BENCHMARK_MAIN();
