#pragma once

// Both rasters LoadPicture fills, the small one prepared at 128 x 128 as the
// matcher prepares it.

#include <string>

#include "engine/analysis/picture_loading.h"
#include "engine/analysis/raster.h"
#include "engine/settings/settings.h"

namespace ferrovin::test {

struct Loaded {
    Raster full;
    Raster small;
};

inline Loaded load(const std::string& path, const Settings& settings = Settings{})
{
    Loaded result;
    result.small.setSize(128, 128, PixelFormat::Pf24Bit);
    LoadPicture(path, result.full, result.small, settings);
    return result;
}

} // namespace ferrovin::test
