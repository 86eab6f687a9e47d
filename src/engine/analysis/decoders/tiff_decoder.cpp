#include <cstring>
#include <mutex>
#include <string>

#include <tiffio.h>

#include "engine/analysis/decoders/source_decoders.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"

// TIFF through libtiff's RGBA interface, first page only, read from memory.

namespace ferrovin {

namespace {

struct MemoryFile {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

tmsize_t readProc(thandle_t h, void* out, tmsize_t length)
{
    auto* f = static_cast<MemoryFile*>(h);
    if (length <= 0 || f->pos >= f->size)
        return 0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), f->size - f->pos);
    std::memcpy(out, f->data + f->pos, n);
    f->pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t seekProc(thandle_t h, toff_t offset, int whence)
{
    auto* f = static_cast<MemoryFile*>(h);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = f->pos;
    else if (whence == SEEK_END)
        base = f->size;
    const std::uint64_t target = base + offset;
    if (target < base)
        return static_cast<toff_t>(-1);
    // Seeking past the end is allowed; reads there return nothing.
    f->pos = static_cast<std::size_t>(std::min<std::uint64_t>(target, SIZE_MAX));
    return target;
}

int closeProc(thandle_t)
{
    return 0;
}

toff_t sizeProc(thandle_t h)
{
    return static_cast<MemoryFile*>(h)->size;
}

int mapProc(thandle_t h, void** base, toff_t* size)
{
    auto* f = static_cast<MemoryFile*>(h);
    *base = const_cast<std::uint8_t*>(f->data);
    *size = f->size;
    return 1;
}

void unmapProc(thandle_t, void*, toff_t) {}

// libtiff's handlers are process-wide; they are set once, to nothing, before
// the first open, and never touched again.
void silenceLibtiff()
{
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

class TiffHandle final {
public:
    explicit TiffHandle(MemoryFile& file)
        : m_tif(TIFFClientOpen("picture", "r", &file, readProc, writeProc, seekProc, closeProc,
                               sizeProc, mapProc, unmapProc))
    {
        if (!m_tif)
            throw EngineError("Invalid TIFF file");
    }
    ~TiffHandle() { TIFFClose(m_tif); }
    TiffHandle(const TiffHandle&) = delete;
    TiffHandle& operator=(const TiffHandle&) = delete;
    TIFF* get() const { return m_tif; }

private:
    TIFF* m_tif;
};

class RgbaImage final {
public:
    explicit RgbaImage(TIFF* tif)
    {
        char message[1024] = {};
        if (!TIFFRGBAImageOK(tif, message) || !TIFFRGBAImageBegin(&m_img, tif, 1, message))
            throw EngineError(std::string("Unsupported TIFF: ") + message);
    }
    ~RgbaImage() { TIFFRGBAImageEnd(&m_img); }
    RgbaImage(const RgbaImage&) = delete;
    RgbaImage& operator=(const RgbaImage&) = delete;
    TIFFRGBAImage& get() { return m_img; }

private:
    TIFFRGBAImage m_img{};
};

} // namespace

void decodeTiff(ByteSpan file, Raster& out)
{
    silenceLibtiff();
    MemoryFile memory{file.data(), file.size(), 0};
    TiffHandle tif(memory);
    RgbaImage image(tif.get());
    TIFFRGBAImage& img = image.get();
    const std::uint32_t width = img.width;
    const std::uint32_t height = img.height;
    checkPictureSize(width, height, 4);

    // Asking for the file's own orientation keeps rows in stored order.
    img.req_orientation = img.orientation;
    out.setSize(static_cast<int>(width), static_cast<int>(height), PixelFormat::Pf32Bit);
    out.PaletteSize = 0;
    static_assert(alignof(std::max_align_t) >= alignof(std::uint32_t));
    auto* packed = reinterpret_cast<std::uint32_t*>(out.Pixels.data());
    if (!TIFFRGBAImageGet(&img, packed, width, height))
        throw EngineError("TIFF read error");

    // Packed ABGR words to R, G, B bytes in place (forward: 3 <= 4). Alpha is
    // dropped: the library already premultiplied unassociated alpha.
    std::uint8_t* dst = out.Pixels.data();
    const std::size_t count = std::size_t{width} * height;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word;
        std::memcpy(&word, out.Pixels.data() + i * 4, 4);
        dst[i * 3] = static_cast<std::uint8_t>(TIFFGetR(word));
        dst[i * 3 + 1] = static_cast<std::uint8_t>(TIFFGetG(word));
        dst[i * 3 + 2] = static_cast<std::uint8_t>(TIFFGetB(word));
    }
    out.setSize(static_cast<int>(width), static_cast<int>(height), PixelFormat::Pf24Bit);
}

} // namespace ferrovin
