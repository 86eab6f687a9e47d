#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ferrovin {

// The user's options, named by their keys in Ferrovin.ini (section Main).
struct Settings {
    bool SearchJPG = true;            // catalogue *.jp*g
    bool SearchBMP = true;            // catalogue *.bmp
    bool SearchGIF = true;            // catalogue *.gif
    bool SearchPNG = true;            // catalogue *.png
    bool SearchTIFF = false;          // catalogue *.tif*
    bool SearchSimilar = true;        // carried through load and save; consulted by nothing
    bool MoveToRecycle = true;        // deletes go to the trash instead of unlinking
    bool DeleteWithoutAsking = false; // delete without a confirmation box
    bool SearchOnlyIdentical = false; // only byte-identical files pair
    bool AutoCheckUpdates = false;    // run the update check at start-up
    std::int32_t MinPicWidth = 100;   // pixels of the decoded raster; never negative
    std::int32_t MinPicHeight = 100;  // pixels of the decoded raster; never negative
    bool ScanSubfolders = true;       // walk subfolders; the window binds it to its check box
    // Also pair a picture with a turned (90, 180, 270 degrees) or mirrored copy
    // of an earlier one; off, every result is what it was without the option.
    bool MatchTurnedAndMirrored = false;

    friend bool operator==(const Settings&, const Settings&) = default;
};

inline constexpr const char* kSettingsFileName = "Ferrovin.ini";

// A number as the settings file and the settings dialog take it: an optional
// sign, then decimal digits or hex digits after "0x", "0X" or "$". Anything
// else, a number outside the 32-bit range included, is none.
std::optional<std::int32_t> ParseSettingsInteger(std::string_view text);

// Reads AppFolder + "Ferrovin.ini"; a missing or unreadable file gives the
// defaults, garbage gives the default key by key. Never throws.
Settings LoadSettings(const std::string& appFolder);

// Writes the thirteen keys in place, keeping every other line byte for byte.
// Throws EngineError("Unable to write to <path>") when the file cannot be written;
// an existing file is never left half-written.
void SaveSettings(const Settings& settings, const std::string& appFolder);

} // namespace ferrovin
