#pragma once

#include <cstdint>
#include <memory>

namespace ferrovin {

struct Raster;

// What encodeJpegQuality90 followed by decodeJpeg gives for a 24-bit raster
// that decodes at 1/4 or 1/8, worked out without writing the stream. At those
// scales the decoder reads only a few coefficients of each block, so only the
// encoder's steps that feed them are repeated, in the library's own integer
// arithmetic: colour conversion, 2x2 chroma averaging, the slow integer DCT,
// quantisation by reciprocals, the reduced inverse DCTs and the colour tables.
//
// Returns false and leaves `out` alone when it cannot promise the library's
// bytes: another scale, a size the encoder refuses, or a library whose
// parameters or results differ (checked once per process against a real round
// trip). The caller then takes the real round trip.
bool roundTripWithoutStream(const Raster& rgb, int scaleDenominator, Raster& out);

// The same arithmetic without the once-per-process check, for tests that
// compare it with the library directly. Requires a 24-bit raster and a scale
// of 4 or 8.
void computeRoundTripWithoutStream(const Raster& rgb, int scaleDenominator, Raster& out);

// Whether roundTripWithoutStream would take a 24-bit picture of this size and scale.
bool roundTripWithoutStreamAvailable(int width, int height, int scaleDenominator);

// The same round trip fed as a decoder produces the rows, sixteen at a time,
// so that the whole picture is never held: a 4-megapixel raster written and
// read back costs more in memory traffic than the arithmetic on it.
class RoundTripStrips final {
public:
    // Sizes `out` for the result; throws EngineError as computeRoundTripWithoutStream does.
    RoundTripStrips(int width, int height, int scaleDenominator, Raster& out);
    ~RoundTripStrips();
    RoundTripStrips(const RoundTripStrips&) = delete;
    RoundTripStrips& operator=(const RoundTripStrips&) = delete;

    // The next sixteen rows of 24-bit pixels, top to bottom; fewer only at the bottom.
    void add(const std::uint8_t* const* rows, int count);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace ferrovin
