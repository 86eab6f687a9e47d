#include "engine/analysis/decoders/source_decoders.h"

#include "engine/engine_error.h"

namespace ferrovin {

void checkPictureSize(std::uint64_t width, std::uint64_t height, std::uint64_t bytesPerPixel)
{
    if (width == 0 || height == 0)
        throw EngineError("Picture has no pixels");
    // Both factors fit in 32 bits for every format read, so the product cannot wrap.
    if (width > 0xFFFFFFFFu || height > 0xFFFFFFFFu || width * height > kMaxPicturePixels)
        throw EngineError("Picture too large");
    if (width * height * bytesPerPixel > kMaxRasterBytes)
        throw EngineError("Picture too large");
}

} // namespace ferrovin
