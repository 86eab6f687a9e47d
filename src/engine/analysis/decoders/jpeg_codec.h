#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ferrovin {

struct Raster;

// One JPEG stream produced in memory; frees itself.
class JpegStream final {
public:
    JpegStream() = default;
    ~JpegStream();
    JpegStream(const JpegStream&) = delete;
    JpegStream& operator=(const JpegStream&) = delete;

    std::span<const std::uint8_t> bytes() const { return {m_data, m_size}; }

private:
    friend void encodeJpegQuality90(const Raster& rgb, JpegStream& out);
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

// Encodes a 24-bit raster the way every non-JPEG picture is prepared for the
// decode: library defaults, quality 90 with baseline tables, RGB input.
void encodeJpegQuality90(const Raster& rgb, JpegStream& out);

// The decode size bounds: pictures above 1000 (or the minimum size when that is
// larger) in both dimensions decode at 1/8, above 500 likewise at 1/4.
int chooseScaleDenominator(std::uint32_t width, std::uint32_t height, std::int32_t minPicWidth,
                           std::int32_t minPicHeight);

// The picture size a JPEG stream's header gives, before any reduction.
struct StreamSize {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
};

// Decodes a JPEG stream into out with the program's decoder settings: fast
// integer IDCT, block smoothing, scale from chooseScaleDenominator. One
// component gives an 8-bit raster with the library's 236-grey palette, three
// give 24 bits, four (CMYK, YCCK) give 32 bits with R = C*K/255 etc. and A = 255.
// Warnings are ignored; errors throw EngineError. `headerSize`, when given, gets
// the header's size as soon as it is read, so also when a later step fails.
void decodeJpeg(std::span<const std::uint8_t> stream, std::int32_t minPicWidth,
                std::int32_t minPicHeight, Raster& out, StreamSize* headerSize = nullptr);

} // namespace ferrovin
