#include "engine/analysis/decoders/jpeg_codec.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jpeglib.h>

#include "engine/analysis/decoders/source_decoders.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"

// libjpeg reports errors through error_exit, which must not return. It
// longjmps back into the small functions below that called setjmp; those hold
// only plain data, so no C++ destructor is ever skipped. The sessions that own
// the library objects live in the callers' frames and clean up by RAII.

namespace ferrovin {

namespace {

// Progressive streams can carry any number of scans, each a full pass over the
// coefficients; real files have a few dozen.
constexpr int kMaxScans = 500;

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void errorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// For failures of our own making inside library callbacks.
[[noreturn]] void failInside(j_common_ptr cinfo, const char* text)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "%s", text);
    std::longjmp(err->jump, 1);
}

void silentOutput(j_common_ptr) {}
void silentEmit(j_common_ptr, int) {}

void limitScans(j_common_ptr cinfo)
{
    if (cinfo->is_decompressor
        && reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans)
        failInside(cinfo, "JPEG has too many scans");
}

void installErrorManager(ErrorManager& err, jpeg_error_mgr*& slot)
{
    slot = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = silentOutput;
    err.pub.emit_message = silentEmit;
    err.message[0] = '\0';
}

[[noreturn]] void throwJpegError(const ErrorManager& err)
{
    throw EngineError(err.message[0] ? std::string(err.message) : std::string("JPEG error"));
}

// ---- decoding ----

struct DecodeSession {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_progress_mgr progress;
    bool created = false;

    DecodeSession()
    {
        std::memset(&cinfo, 0, sizeof cinfo);
        installErrorManager(err, cinfo.err);
        progress.progress_monitor = limitScans;
    }
    ~DecodeSession()
    {
        if (created)
            jpeg_destroy_decompress(&cinfo);
    }
    DecodeSession(const DecodeSession&) = delete;
    DecodeSession& operator=(const DecodeSession&) = delete;
};

bool readHeader(DecodeSession& s, const std::uint8_t* data, std::size_t size)
{
    if (setjmp(s.err.jump))
        return false;
    s.created = true; // the struct is zeroed, so destroying a half-made one is safe
    jpeg_create_decompress(&s.cinfo);
    s.cinfo.progress = &s.progress;
    // Large progressive pictures keep all coefficients in memory; beyond this
    // the library fails instead of allocating.
    s.cinfo.mem->max_memory_to_use = static_cast<long>(kMaxRasterBytes);
    jpeg_mem_src(&s.cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&s.cinfo, TRUE);
    return true;
}

bool computeOutputSize(DecodeSession& s)
{
    if (setjmp(s.err.jump))
        return false;
    jpeg_calc_output_dimensions(&s.cinfo);
    return true;
}

bool decodeRows(DecodeSession& s, std::uint8_t* pixels, std::size_t rowBytes, RgbColor* palette,
                int* paletteSize)
{
    if (setjmp(s.err.jump))
        return false;
    jpeg_start_decompress(&s.cinfo);
    if (s.cinfo.quantize_colors) {
        const int count = std::min(s.cinfo.actual_number_of_colors, 256);
        for (int i = 0; i < count; ++i) {
            const JSAMPLE level = s.cinfo.colormap[0][i];
            palette[i] = RgbColor{level, level, level};
        }
        *paletteSize = count;
    }
    constexpr int kBatch = 16;
    JSAMPROW rows[kBatch];
    while (s.cinfo.output_scanline < s.cinfo.output_height) {
        const JDIMENSION first = s.cinfo.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(kBatch, s.cinfo.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = pixels + (first + i) * rowBytes;
        if (jpeg_read_scanlines(&s.cinfo, rows, count) == 0) {
            std::snprintf(s.err.message, sizeof s.err.message, "JPEG decoder stalled");
            return false;
        }
    }
    jpeg_finish_decompress(&s.cinfo);
    return true;
}

// ---- encoding ----

struct CompressSession {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    jpeg_destination_mgr dest;
    std::uint8_t* buffer = nullptr;
    std::size_t capacity = 0;
    std::size_t size = 0;
    bool created = false;

    CompressSession()
    {
        std::memset(&cinfo, 0, sizeof cinfo);
        installErrorManager(err, cinfo.err);
    }
    ~CompressSession()
    {
        if (created)
            jpeg_destroy_compress(&cinfo);
        std::free(buffer);
    }
    CompressSession(const CompressSession&) = delete;
    CompressSession& operator=(const CompressSession&) = delete;
};

CompressSession& sessionOf(j_compress_ptr cinfo)
{
    return *static_cast<CompressSession*>(cinfo->client_data);
}

void initDestination(j_compress_ptr cinfo)
{
    CompressSession& s = sessionOf(cinfo);
    s.dest.next_output_byte = s.buffer;
    s.dest.free_in_buffer = s.capacity;
}

// Called with the buffer full: grow it and carry on after the old end.
boolean growDestination(j_compress_ptr cinfo)
{
    CompressSession& s = sessionOf(cinfo);
    const std::size_t grown = s.capacity * 2;
    auto* bigger = static_cast<std::uint8_t*>(std::realloc(s.buffer, grown));
    if (!bigger)
        failInside(reinterpret_cast<j_common_ptr>(cinfo), "Out of memory");
    s.buffer = bigger;
    s.dest.next_output_byte = bigger + s.capacity;
    s.dest.free_in_buffer = grown - s.capacity;
    s.capacity = grown;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    CompressSession& s = sessionOf(cinfo);
    s.size = s.capacity - s.dest.free_in_buffer;
}

bool encodeRows(CompressSession& s, const Raster& rgb)
{
    if (setjmp(s.err.jump))
        return false;
    s.created = true;
    jpeg_create_compress(&s.cinfo);
    s.cinfo.client_data = &s;
    s.dest.init_destination = initDestination;
    s.dest.empty_output_buffer = growDestination;
    s.dest.term_destination = termDestination;
    s.cinfo.dest = &s.dest;
    s.cinfo.image_width = static_cast<JDIMENSION>(rgb.Width);
    s.cinfo.image_height = static_cast<JDIMENSION>(rgb.Height);
    s.cinfo.input_components = 3;
    s.cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&s.cinfo);
    jpeg_set_quality(&s.cinfo, 90, TRUE);
    jpeg_start_compress(&s.cinfo, TRUE);
    constexpr int kBatch = 16;
    JSAMPROW rows[kBatch];
    const std::size_t rowBytes = rgb.rowBytes();
    auto* pixels = const_cast<std::uint8_t*>(rgb.Pixels.data());
    while (s.cinfo.next_scanline < s.cinfo.image_height) {
        const JDIMENSION first = s.cinfo.next_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(kBatch, s.cinfo.image_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = pixels + (first + i) * rowBytes;
        jpeg_write_scanlines(&s.cinfo, rows, count);
    }
    jpeg_finish_compress(&s.cinfo);
    return true;
}

} // namespace

JpegStream::~JpegStream()
{
    std::free(m_data);
}

void encodeJpegQuality90(const Raster& rgb, JpegStream& out)
{
    if (rgb.Format != PixelFormat::Pf24Bit || rgb.Width <= 0 || rgb.Height <= 0)
        throw EngineError("Nothing to encode");
    CompressSession s;
    // A quality-90 stream is mostly well under a quarter of the raw size.
    s.capacity = std::max<std::size_t>(rgb.Pixels.size() / 4, 65536);
    s.buffer = static_cast<std::uint8_t*>(std::malloc(s.capacity));
    if (!s.buffer)
        throw EngineError("Out of memory");
    if (!encodeRows(s, rgb))
        throwJpegError(s.err);
    std::free(out.m_data);
    out.m_data = s.buffer;
    out.m_size = s.size;
    s.buffer = nullptr;
}

int chooseScaleDenominator(std::uint32_t width, std::uint32_t height, std::int32_t minPicWidth,
                           std::int32_t minPicHeight)
{
    const std::int64_t h = height;
    const std::int64_t w = width;
    if (h > std::max<std::int64_t>(minPicHeight, 1000) && w > std::max<std::int64_t>(minPicWidth, 1000))
        return 8;
    if (h > std::max<std::int64_t>(minPicHeight, 500) && w > std::max<std::int64_t>(minPicWidth, 500))
        return 4;
    return 1;
}

void decodeJpeg(std::span<const std::uint8_t> stream, std::int32_t minPicWidth,
                std::int32_t minPicHeight, Raster& out, StreamSize* headerSize)
{
    DecodeSession s;
    if (!readHeader(s, stream.data(), stream.size()))
        throwJpegError(s.err);
    jpeg_decompress_struct& cinfo = s.cinfo;
    if (headerSize != nullptr)
        *headerSize = {cinfo.image_width, cinfo.image_height};
    checkPictureSize(cinfo.image_width, cinfo.image_height, 1);

    PixelFormat format;
    switch (cinfo.num_components) {
    case 1:
        format = PixelFormat::Pf8Bit;
        cinfo.quantize_colors = TRUE;
        cinfo.desired_number_of_colors = 236;
        break;
    case 3:
        format = PixelFormat::Pf24Bit;
        break;
    case 4:
        format = PixelFormat::Pf32Bit;
        break;
    default:
        throw EngineError("Unsupported JPEG colour format");
    }
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned>(
        chooseScaleDenominator(cinfo.image_width, cinfo.image_height, minPicWidth, minPicHeight));
    cinfo.dct_method = JDCT_IFAST;
    cinfo.two_pass_quantize = FALSE;
    cinfo.dither_mode = JDITHER_ORDERED;
    cinfo.do_block_smoothing = TRUE;
    if (!computeOutputSize(s))
        throwJpegError(s.err);
    const int expectedComponents = format == PixelFormat::Pf8Bit ? 1 : Raster::bytesPerPixel(format);
    if (cinfo.output_components != expectedComponents)
        throw EngineError("Unsupported JPEG colour format");
    checkPictureSize(cinfo.output_width, cinfo.output_height, Raster::bytesPerPixel(format));

    out.setSize(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), format);
    out.PaletteSize = 0;
    if (!decodeRows(s, out.Pixels.data(), out.rowBytes(), out.Palette.data(), &out.PaletteSize))
        throwJpegError(s.err);

    if (format == PixelFormat::Pf32Bit) {
        // CMYK as the library delivers it (Adobe files come inverted); in place.
        std::uint8_t* p = out.Pixels.data();
        std::uint8_t* const end = p + out.Pixels.size();
        for (; p != end; p += 4) {
            const unsigned k = p[3];
            p[0] = static_cast<std::uint8_t>(p[0] * k / 255);
            p[1] = static_cast<std::uint8_t>(p[1] * k / 255);
            p[2] = static_cast<std::uint8_t>(p[2] * k / 255);
            p[3] = 255;
        }
    }
}

} // namespace ferrovin
