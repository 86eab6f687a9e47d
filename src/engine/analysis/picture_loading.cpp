#include "engine/analysis/picture_loading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/analysis/decoders/source_decoders.h"
#include "engine/analysis/decoders/jpeg_codec.h"
#include "engine/analysis/decoders/jpeg_round_trip.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"
#include "engine/settings/settings.h"

namespace ferrovin {

namespace {

constexpr int kSmallSide = 128;
// Buffers kept between calls on one thread are dropped when a picture made
// them larger than this, so one huge file does not pin its memory.
constexpr std::size_t kKeepBufferBytes = std::size_t{64} << 20;

enum class Route { Jpeg, Bmp, Gif, Png, Tiff };

// The text from the last "." after the last "/", dot included.
std::string extensionOf(const std::string& fileName)
{
    const std::size_t slash = fileName.rfind('/');
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return fileName.substr(dot);
}

Route routeFor(const std::string& extension)
{
    std::string upper = extension;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (upper == ".JPG" || upper == ".JPEG")
        return Route::Jpeg;
    if (upper == ".BMP")
        return Route::Bmp;
    if (upper == ".GIF")
        return Route::Gif;
    if (upper == ".PNG")
        return Route::Png;
    if (upper == ".TIF" || upper == ".TIFF")
        return Route::Tiff;
    const std::string written = extension.empty() ? extension : extension.substr(1);
    throw EngineError("Unknown picture file extension (." + written + ")");
}

class FileDescriptor final {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

[[noreturn]] void throwFileError(const std::string& fileName, int error)
{
    throw EngineError("Cannot open file \"" + fileName + "\". " + std::strerror(error), error);
}

// A file's bytes, in storage that is not cleared before it is overwritten:
// a vector would zero up to the whole file each time a larger one comes.
struct FileBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t capacity = 0;
    std::size_t size = 0;
};

void readWholeFile(const std::string& fileName, FileBytes& bytes)
{
    FileDescriptor fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throwFileError(fileName, errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throwFileError(fileName, errno);
    if (!S_ISREG(info.st_mode))
        throwFileError(fileName, EISDIR);
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > kMaxRasterBytes)
        throw EngineError("Picture file too large");
    if (size > bytes.capacity) {
        bytes = FileBytes{};  // the old storage goes before the new one comes
        bytes.data.reset(new std::uint8_t[static_cast<std::size_t>(size)]);
        bytes.capacity = static_cast<std::size_t>(size);
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd.get(), bytes.data.get() + done, static_cast<std::size_t>(size) - done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwFileError(fileName, errno);
        }
        if (got == 0)
            break; // the file shrank meanwhile: decode what is there
        done += static_cast<std::size_t>(got);
    }
    bytes.size = done;
}

// Per-thread scratch reused from picture to picture.
struct Scratch {
    FileBytes fileBytes;
    Raster source;

    void trim()
    {
        if (fileBytes.capacity > kKeepBufferBytes)
            fileBytes = FileBytes{};
        if (source.Pixels.capacity() > kKeepBufferBytes)
            std::vector<std::uint8_t>().swap(source.Pixels);
    }
};

class ScratchLease final {
public:
    explicit ScratchLease(Scratch& scratch) : m_scratch(scratch) {}
    ~ScratchLease() { m_scratch.trim(); }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;

private:
    Scratch& m_scratch;
};

// Nearest neighbour onto 128 x 128: column x takes source column x*W/128,
// row y takes source row y*H/128.
void stretchToSmall(const Raster& full, Raster& small)
{
    small.setSize(kSmallSide, kSmallSide, PixelFormat::Pf24Bit);
    small.PaletteSize = 0;
    const int bpp = Raster::bytesPerPixel(full.Format);
    std::array<std::size_t, kSmallSide> columnOffset;
    for (int x = 0; x < kSmallSide; ++x)
        columnOffset[x] = static_cast<std::size_t>(std::int64_t{x} * full.Width / kSmallSide) * bpp;
    for (int y = 0; y < kSmallSide; ++y) {
        const auto sourceRow = static_cast<int>(std::int64_t{y} * full.Height / kSmallSide);
        const std::uint8_t* src = full.row(sourceRow);
        std::uint8_t* dst = small.row(y);
        for (int x = 0; x < kSmallSide; ++x, dst += 3) {
            const std::uint8_t* p = src + columnOffset[x];
            if (full.Format == PixelFormat::Pf8Bit) {
                const RgbColor c = *p < full.PaletteSize ? full.Palette[*p] : RgbColor{};
                dst[0] = c.R;
                dst[1] = c.G;
                dst[2] = c.B;
            } else {
                dst[0] = p[0];
                dst[1] = p[1];
                dst[2] = p[2];
            }
        }
    }
}

// Hands a PNG's rows straight to the stream-free round trip when it applies,
// so that the full-size picture is never held.
class RoundTripSink final : public RowSink {
public:
    RoundTripSink(const Settings& settings, Raster& out) : m_settings(settings), m_out(out) {}

    bool begin(int width, int height) override
    {
        const int denominator = chooseScaleDenominator(static_cast<std::uint32_t>(width),
                                                       static_cast<std::uint32_t>(height),
                                                       m_settings.MinPicWidth, m_settings.MinPicHeight);
        if (!roundTripWithoutStreamAvailable(width, height, denominator))
            return false;
        m_strips.emplace(width, height, denominator, m_out);
        Size = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
        return true;
    }

    void rows(const std::uint8_t* const* rows, int count) override { m_strips->add(rows, count); }

    StreamSize Size;

private:
    const Settings& m_settings;
    Raster& m_out;
    std::optional<RoundTripStrips> m_strips;
};

} // namespace

void LoadPicture(const std::string& FileName, Raster& FullRaster, Raster& SmallRaster,
                 const Settings& settings, StreamSize* streamSize)
{
    const Route route = routeFor(extensionOf(FileName));

    thread_local Scratch scratch;
    ScratchLease lease(scratch);
    readWholeFile(FileName, scratch.fileBytes);
    const ByteSpan file(scratch.fileBytes.data.get(), scratch.fileBytes.size);

    if (route == Route::Jpeg) {
        decodeJpeg(file, settings.MinPicWidth, settings.MinPicHeight, FullRaster, streamSize);
    } else {
        switch (route) {
        case Route::Bmp:
            decodeBmp(file, scratch.source);
            break;
        case Route::Gif:
            decodeGif(file, scratch.source);
            break;
        case Route::Png: {
            RoundTripSink sink(settings, FullRaster);
            if (decodePng(file, scratch.source, sink)) {
                if (streamSize != nullptr)
                    *streamSize = sink.Size;
                stretchToSmall(FullRaster, SmallRaster);
                return;
            }
            break;
        }
        default:
            decodeTiff(file, scratch.source);
            break;
        }
        const Raster& source = scratch.source;
        const int denominator = chooseScaleDenominator(static_cast<std::uint32_t>(source.Width),
                                                       static_cast<std::uint32_t>(source.Height),
                                                       settings.MinPicWidth, settings.MinPicHeight);
        if (roundTripWithoutStream(source, denominator, FullRaster)) {
            if (streamSize != nullptr)
                *streamSize = {static_cast<std::uint32_t>(source.Width), static_cast<std::uint32_t>(source.Height)};
        } else {
            JpegStream stream;
            encodeJpegQuality90(source, stream);
            decodeJpeg(stream.bytes(), settings.MinPicWidth, settings.MinPicHeight, FullRaster, streamSize);
        }
    }
    stretchToSmall(FullRaster, SmallRaster);
}

} // namespace ferrovin
