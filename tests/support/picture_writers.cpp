#include "support/picture_writers.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace ferrovin::test {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path)
{
    throw std::runtime_error(what + ": " + path);
}

void writeBytes(const std::string& path, const void* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out)
        fail("cannot write", path);
}

void requireFormat(const Raster& raster, PixelFormat format, const char* who)
{
    if (raster.Format != format || raster.Width <= 0 || raster.Height <= 0)
        throw std::runtime_error(std::string(who) + ": unsupported raster");
}

struct JpegErrorJump {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegErrorJump*>(cinfo->err)->jump, 1);
}

void jpegSilent(j_common_ptr) {}

// Encodes with every object the C library owns released before returning, so
// the longjmp never crosses a destructor: only PODs live in this frame.
bool encodeJpegRaw(const Raster& raster, int components, J_COLOR_SPACE space, int quality,
                   unsigned char** out, unsigned long* outSize)
{
    jpeg_compress_struct cinfo;
    JpegErrorJump err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = jpegErrorExit;
    err.pub.output_message = jpegSilent;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, outSize);
    cinfo.image_width = static_cast<JDIMENSION>(raster.Width);
    cinfo.image_height = static_cast<JDIMENSION>(raster.Height);
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const int srcBpp = Raster::bytesPerPixel(raster.Format);
    std::vector<unsigned char> line(static_cast<std::size_t>(raster.Width) * components);
    while (cinfo.next_scanline < cinfo.image_height) {
        const std::uint8_t* src = raster.row(static_cast<int>(cinfo.next_scanline));
        if (components == 1) {
            for (int x = 0; x < raster.Width; ++x)
                line[x] = src[x * srcBpp];
        } else {
            std::copy(src, src + line.size(), line.begin());
        }
        JSAMPROW row = line.data();
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

std::string encodeJpegAs(const Raster& raster, int components, J_COLOR_SPACE space, int quality)
{
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const bool ok = encodeJpegRaw(raster, components, space, quality, &out, &size);
    std::string bytes;
    if (ok)
        bytes.assign(reinterpret_cast<const char*>(out), size);
    std::free(out);
    if (!ok)
        throw std::runtime_error("JPEG encoding failed");
    return bytes;
}

void pngErrorFn(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void pngWarningFn(png_structp, png_const_charp) {}

void put16(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

std::uint32_t nextRandom(std::uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

} // namespace

std::string encodeJpeg(const Raster& raster, int quality)
{
    requireFormat(raster, PixelFormat::Pf24Bit, "encodeJpeg");
    return encodeJpegAs(raster, 3, JCS_RGB, quality);
}

void writeJpeg(const std::string& path, const Raster& raster, int quality)
{
    const std::string bytes = encodeJpeg(raster, quality);
    writeBytes(path, bytes.data(), bytes.size());
}

void writeJpegGrey(const std::string& path, const Raster& raster, int quality)
{
    requireFormat(raster, PixelFormat::Pf24Bit, "writeJpegGrey");
    const std::string bytes = encodeJpegAs(raster, 1, JCS_GRAYSCALE, quality);
    writeBytes(path, bytes.data(), bytes.size());
}

void writeJpegCmyk(const std::string& path, const Raster& raster, int quality)
{
    requireFormat(raster, PixelFormat::Pf32Bit, "writeJpegCmyk");
    const std::string bytes = encodeJpegAs(raster, 4, JCS_CMYK, quality);
    writeBytes(path, bytes.data(), bytes.size());
}

void writePng(const std::string& path, const Raster& raster)
{
    if (raster.Format == PixelFormat::Pf8Bit || raster.Width <= 0 || raster.Height <= 0)
        throw std::runtime_error("writePng: unsupported raster");
    PngSpec spec;
    spec.width = static_cast<std::uint32_t>(raster.Width);
    spec.height = static_cast<std::uint32_t>(raster.Height);
    spec.colorType = raster.Format == PixelFormat::Pf32Bit ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    spec.rows.assign(raster.Pixels.begin(), raster.Pixels.begin() + static_cast<std::ptrdiff_t>(raster.rowBytes() * spec.height));
    writePngSpec(path, spec);
}

void writeBmp24(const std::string& path, const Raster& raster)
{
    requireFormat(raster, PixelFormat::Pf24Bit, "writeBmp24");
    const std::uint32_t stride = (static_cast<std::uint32_t>(raster.Width) * 3 + 3) & ~3u;
    const std::uint32_t imageSize = stride * static_cast<std::uint32_t>(raster.Height);
    std::vector<std::uint8_t> b;
    b.reserve(54 + imageSize);
    b.push_back('B');
    b.push_back('M');
    put32(b, 54 + imageSize);
    put32(b, 0);
    put32(b, 54);
    put32(b, 40);
    put32(b, static_cast<std::uint32_t>(raster.Width));
    put32(b, static_cast<std::uint32_t>(raster.Height)); // bottom-up
    put16(b, 1);
    put16(b, 24);
    put32(b, 0); // BI_RGB
    put32(b, imageSize);
    put32(b, 2835);
    put32(b, 2835);
    put32(b, 0);
    put32(b, 0);
    for (int y = raster.Height - 1; y >= 0; --y) {
        const std::uint8_t* src = raster.row(y);
        for (int x = 0; x < raster.Width; ++x) {
            b.push_back(src[x * 3 + 2]);
            b.push_back(src[x * 3 + 1]);
            b.push_back(src[x * 3]);
        }
        for (std::uint32_t pad = static_cast<std::uint32_t>(raster.Width) * 3; pad < stride; ++pad)
            b.push_back(0);
    }
    writeBytes(path, b.data(), b.size());
}

void writeGif(const std::string& path, const Raster& raster)
{
    requireFormat(raster, PixelFormat::Pf24Bit, "writeGif");
    const std::size_t count = static_cast<std::size_t>(raster.Width) * raster.Height;
    std::vector<GifByteType> indices(count);
    std::vector<GifColorType> colours;
    std::map<std::uint32_t, int> seen;
    bool quantise = false;
    for (std::size_t i = 0; i < count && !quantise; ++i) {
        const std::uint8_t* p = raster.Pixels.data() + i * 3;
        const std::uint32_t key = (p[0] << 16) | (p[1] << 8) | p[2];
        auto it = seen.find(key);
        if (it == seen.end()) {
            if (colours.size() == 256) {
                quantise = true;
                break;
            }
            it = seen.emplace(key, static_cast<int>(colours.size())).first;
            colours.push_back(GifColorType{p[0], p[1], p[2]});
        }
        indices[i] = static_cast<GifByteType>(it->second);
    }
    if (quantise) {
        // 3-3-2 bits: a fixed palette whose entry i holds i's bits spread to 8 bits.
        colours.resize(256);
        for (int i = 0; i < 256; ++i)
            colours[i] = GifColorType{static_cast<GifByteType>((i >> 5) * 255 / 7),
                                      static_cast<GifByteType>(((i >> 2) & 7) * 255 / 7),
                                      static_cast<GifByteType>((i & 3) * 255 / 3)};
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* p = raster.Pixels.data() + i * 3;
            indices[i] = static_cast<GifByteType>((p[0] & 0xE0) | ((p[1] >> 3) & 0x1C) | (p[2] >> 6));
        }
    }
    int bits = 1;
    while ((1u << bits) < colours.size())
        ++bits;
    colours.resize(std::size_t{1} << bits, GifColorType{0, 0, 0});

    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    if (!gif)
        fail("cannot create", path);
    ColorMapObject* map = GifMakeMapObject(1 << bits, colours.data());
    bool ok = map && EGifPutScreenDesc(gif, raster.Width, raster.Height, bits, 0, map) == GIF_OK
              && EGifPutImageDesc(gif, 0, 0, raster.Width, raster.Height, false, nullptr) == GIF_OK;
    for (int y = 0; ok && y < raster.Height; ++y)
        ok = EGifPutLine(gif, indices.data() + static_cast<std::size_t>(y) * raster.Width,
                         raster.Width) == GIF_OK;
    GifFreeMapObject(map);
    if (EGifCloseFile(gif, &error) != GIF_OK)
        ok = false;
    if (!ok)
        fail("GIF writing failed", path);
}

void writeTiff(const std::string& path, const Raster& raster)
{
    requireFormat(raster, PixelFormat::Pf24Bit, "writeTiff");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        fail("cannot create", path);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(raster.Width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(raster.Height));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    bool ok = true;
    std::vector<std::uint8_t> line(raster.rowBytes());
    for (int y = 0; ok && y < raster.Height; ++y) {
        std::copy(raster.row(y), raster.row(y) + line.size(), line.begin());
        ok = TIFFWriteScanline(tif, line.data(), static_cast<std::uint32_t>(y), 0) == 1;
    }
    TIFFClose(tif);
    if (!ok)
        fail("TIFF writing failed", path);
}

std::string buildBmp(const BmpSpec& spec)
{
    std::vector<std::uint8_t> b;
    const bool core = spec.headerSize == 12;
    const std::size_t masksBytes = spec.compression == 3 && spec.headerSize == 40 ? 12 : 0;
    const std::size_t paletteBytes = spec.palette.size() * (core ? 3 : 4);
    const std::uint32_t offset = spec.pixelOffset.value_or(
        static_cast<std::uint32_t>(14 + spec.headerSize + masksBytes + paletteBytes));
    b.push_back('B');
    b.push_back('M');
    put32(b, static_cast<std::uint32_t>(offset + spec.pixels.size()));
    put32(b, 0);
    put32(b, offset);
    put32(b, spec.headerSize);
    if (core) {
        put16(b, static_cast<std::uint32_t>(spec.width));
        put16(b, static_cast<std::uint32_t>(spec.height));
        put16(b, 1);
        put16(b, spec.bitCount);
    } else {
        put32(b, static_cast<std::uint32_t>(spec.width));
        put32(b, static_cast<std::uint32_t>(spec.height));
        put16(b, 1);
        put16(b, spec.bitCount);
        put32(b, spec.compression);
        put32(b, static_cast<std::uint32_t>(spec.pixels.size()));
        put32(b, 2835);
        put32(b, 2835);
        put32(b, spec.colorsUsed);
        put32(b, 0);
        // Longer headers: masks (meaningful with bit fields), then zeros.
        for (std::size_t at = 40; at < spec.headerSize; at += 4)
            put32(b, at < 52 ? spec.masks[(at - 40) / 4] : 0);
        if (masksBytes)
            for (std::uint32_t m : spec.masks)
                put32(b, m);
    }
    for (const RgbColor& c : spec.palette) {
        b.push_back(c.B);
        b.push_back(c.G);
        b.push_back(c.R);
        if (!core)
            b.push_back(0);
    }
    while (b.size() < offset)
        b.push_back(0);
    b.resize(offset);
    b.insert(b.end(), spec.pixels.begin(), spec.pixels.end());
    return std::string(b.begin(), b.end());
}

namespace {

bool writePngSpecRaw(FILE* file, const PngSpec& spec)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngErrorFn,
                                              pngWarningFn);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, spec.width, spec.height, spec.bitDepth, spec.colorType,
                 spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (spec.gamma)
        png_set_gAMA_fixed(png, info, static_cast<png_fixed_point>(spec.gamma));
    std::vector<png_color> palette;
    for (const RgbColor& c : spec.palette)
        palette.push_back(png_color{c.R, c.G, c.B});
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (!spec.trans.empty()) {
        if (spec.colorType == PNG_COLOR_TYPE_PALETTE) {
            png_set_tRNS(png, info, spec.trans.data(), static_cast<int>(spec.trans.size()), nullptr);
        } else {
            png_color_16 colour{};
            colour.gray = spec.trans[0];
            colour.red = spec.trans[0];
            colour.green = spec.trans.size() > 1 ? spec.trans[1] : 0;
            colour.blue = spec.trans.size() > 2 ? spec.trans[2] : 0;
            png_set_tRNS(png, info, nullptr, 0, &colour);
        }
    }
    // The sRGB chunk goes in raw, after gAMA: libpng would refuse a gamma that
    // does not match it, and such files exist.
    png_write_info_before_PLTE(png, info);
    if (spec.srgb) {
        const png_byte intent = 0;
        png_write_chunk(png, reinterpret_cast<png_const_bytep>("sRGB"), &intent, 1);
    }
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    for (int pass = 0; pass < passes; ++pass)
        for (std::uint32_t y = 0; y < spec.height; ++y)
            png_write_row(png, spec.rows.data() + y * rowBytes);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

ColorMapObject* makeMap(const std::vector<RgbColor>& colors)
{
    int size = 2;
    while (size < static_cast<int>(colors.size()))
        size *= 2;
    std::vector<GifColorType> entries(static_cast<std::size_t>(size), GifColorType{0, 0, 0});
    for (std::size_t i = 0; i < colors.size(); ++i)
        entries[i] = GifColorType{colors[i].R, colors[i].G, colors[i].B};
    return GifMakeMapObject(size, entries.data());
}

} // namespace

void writePngSpec(const std::string& path, const PngSpec& spec)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        fail("cannot create", path);
    const bool ok = writePngSpecRaw(file, spec);
    const bool closed = std::fclose(file) == 0;
    if (!ok || !closed)
        fail("PNG writing failed", path);
}

void writeGifSpec(const std::string& path, const GifSpec& spec)
{
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    if (!gif)
        fail("cannot create", path);
    ColorMapObject* global = spec.globalColors.empty() ? nullptr : makeMap(spec.globalColors);
    ColorMapObject* local = spec.localColors.empty() ? nullptr : makeMap(spec.localColors);
    bool ok = EGifPutScreenDesc(gif, spec.screenWidth, spec.screenHeight, 8, spec.background,
                                global) == GIF_OK;
    if (ok && spec.transparent) {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
        gcb.DelayTime = 0;
        gcb.TransparentColor = *spec.transparent;
        GifByteType block[4];
        EGifGCBToExtension(&gcb, block);
        ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) == GIF_OK;
    }
    ok = ok && EGifPutImageDesc(gif, spec.left, spec.top, spec.width, spec.height,
                                spec.interlaced, local) == GIF_OK;
    std::vector<int> order;
    if (spec.interlaced) {
        const int start[] = {0, 4, 2, 1};
        const int step[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = start[pass]; y < spec.height; y += step[pass])
                order.push_back(y);
    } else {
        for (int y = 0; y < spec.height; ++y)
            order.push_back(y);
    }
    std::vector<GifPixelType> line(static_cast<std::size_t>(spec.width));
    for (int y : order) {
        if (!ok)
            break;
        std::copy(spec.indices.begin() + static_cast<std::ptrdiff_t>(y) * spec.width,
                  spec.indices.begin() + static_cast<std::ptrdiff_t>(y + 1) * spec.width,
                  line.begin());
        ok = EGifPutLine(gif, line.data(), spec.width) == GIF_OK;
    }
    if (ok && spec.secondFrame) {
        ok = EGifPutImageDesc(gif, 0, 0, spec.width, spec.height, false, local) == GIF_OK;
        std::fill(line.begin(), line.end(), GifPixelType{0});
        for (int y = 0; ok && y < spec.height; ++y)
            ok = EGifPutLine(gif, line.data(), spec.width) == GIF_OK;
    }
    GifFreeMapObject(global);
    GifFreeMapObject(local);
    if (EGifCloseFile(gif, &error) != GIF_OK)
        ok = false;
    if (!ok)
        fail("GIF writing failed", path);
}

Raster makeGradient(int width, int height, std::uint32_t seed)
{
    Raster raster;
    raster.setSize(width, height, PixelFormat::Pf24Bit);
    const int phase = static_cast<int>(seed % 97);
    const int slant = static_cast<int>(seed % 5) + 1;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* p = raster.row(y);
        for (int x = 0; x < width; ++x) {
            p[x * 3] = static_cast<std::uint8_t>((x * 255) / (width > 1 ? width - 1 : 1) + phase);
            p[x * 3 + 1] = static_cast<std::uint8_t>((y * 255) / (height > 1 ? height - 1 : 1));
            p[x * 3 + 2] = static_cast<std::uint8_t>(((x + slant * y) * 2 + phase * 3) & 0xFF);
        }
    }
    return raster;
}

Raster makeNoise(int width, int height, std::uint32_t seed)
{
    Raster raster;
    raster.setSize(width, height, PixelFormat::Pf24Bit);
    std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    if (state == 0)
        state = 1;
    for (auto& byte : raster.Pixels)
        byte = static_cast<std::uint8_t>(nextRandom(state) >> 24);
    return raster;
}

} // namespace ferrovin::test
