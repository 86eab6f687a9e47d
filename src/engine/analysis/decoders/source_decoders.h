#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ferrovin {

struct Raster;

// Pictures claiming more pixels than this are refused before anything is
// allocated for them: a few bytes of header must not cost gigabytes.
// (The fuzzing build lowers both so that each input stays quick.)
#ifndef FERROVIN_MAX_PICTURE_PIXELS
#define FERROVIN_MAX_PICTURE_PIXELS (std::uint64_t{1} << 28)
#endif
#ifndef FERROVIN_MAX_RASTER_BYTES
#define FERROVIN_MAX_RASTER_BYTES (std::uint64_t{1} << 30)
#endif
inline constexpr std::uint64_t kMaxPicturePixels = FERROVIN_MAX_PICTURE_PIXELS;
// No single raster or pixel buffer of a decode may exceed this.
inline constexpr std::uint64_t kMaxRasterBytes = FERROVIN_MAX_RASTER_BYTES;

// Throws EngineError when width x height is empty, claims more than
// kMaxPicturePixels, or needs more than kMaxRasterBytes at bytesPerPixel.
void checkPictureSize(std::uint64_t width, std::uint64_t height, std::uint64_t bytesPerPixel);

using ByteSpan = std::span<const std::uint8_t>;

// Read position in a file held in memory, for the libraries' read callbacks.
struct MemoryReader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

// Each decoder turns a whole file held in memory into a 24-bit RGB raster,
// colours already resolved by its format's rules. All throw EngineError.
void decodeBmp(ByteSpan file, Raster& out);
void decodeGif(ByteSpan file, Raster& out);
void decodePng(ByteSpan file, Raster& out);

// Takes a picture's rows as they are decoded, sixteen at a time, top to bottom.
class RowSink {
public:
    virtual ~RowSink() = default;
    // The picture's size, before any row; false when the whole raster is wanted instead.
    virtual bool begin(int width, int height) = 0;
    // Fewer than sixteen rows only at the bottom.
    virtual void rows(const std::uint8_t* const* rows, int count) = 0;
};

// The same, except that plain 8-bit RGB files, whose rows need no colour
// work, go to `sink` when it accepts them; `out` is then left alone. Returns
// whether the rows went to the sink.
bool decodePng(ByteSpan file, Raster& out, RowSink& sink);
void decodeTiff(ByteSpan file, Raster& out);

} // namespace ferrovin
