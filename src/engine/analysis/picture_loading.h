#pragma once

#include <string>

namespace ferrovin {

struct Raster;
struct Settings;
struct StreamSize;

// Decodes one picture file through one JPEG decode: a JPEG file from its own
// bytes, every other format re-encoded at quality 90 first. Large pictures are
// reduced to 1/8 or 1/4 inside the JPEG decoder (bounds raised by the minimum
// picture size settings). FullRaster gets the decoded picture, SmallRaster the
// whole picture stretched nearest-neighbour onto 128 x 128, 24 bits per pixel.
// Both rasters are the caller's and are reused across calls. Any failure throws
// EngineError, with systemError() set when the file could not be read; the
// rasters are then unspecified. `streamSize`, when given, gets the size the
// JPEG decode found before reducing (left alone when it got no header).
void LoadPicture(const std::string& FileName, Raster& FullRaster, Raster& SmallRaster,
                 const Settings& settings, StreamSize* streamSize = nullptr);

} // namespace ferrovin
