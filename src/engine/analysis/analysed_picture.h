#pragma once

#include <cstdint>
#include <string>

#include "engine/catalogue/catalogue.h"

namespace ferrovin {

struct Settings;

// What matching needs of one picture, produced independently of every other
// picture so that several threads can work ahead of the matcher.
struct AnalysedPicture {
    bool Decoded = false;        // LoadPicture succeeded
    std::int32_t Height = 0;     // of the decoded (possibly reduced) full raster
    std::int32_t Width = 0;
    TPreBuffer PreBuffer{};      // first 256 bytes of the file
    std::int64_t FileSize = -1;  // bytes, taken with the head; -1 when unknown
    TWaveletCoefs Pos{};         // kept +1 positions; all (0, 0) when only identity counts
    TWaveletCoefs Neg{};         // kept -1 positions
    // Why Decoded is false: the file could not be read (Failure is the strerror
    // text) or did not decode (Failure is the decoder's message).
    bool Unreadable = false;
    std::string Failure;
    // True when the failure need not recur for the same bytes (memory ran short).
    bool Transient = false;
    // The size in the header of the stream the JPEG decode read, before any
    // reduction; 0 when the decode did not get that far. With the minimum
    // picture sizes it chose the reduction.
    std::uint32_t StreamWidth = 0;
    std::uint32_t StreamHeight = 0;

    friend bool operator==(const AnalysedPicture&, const AnalysedPicture&) = default;
};

// The size bound of matching: height first, then width, each at least 5.
// Analysis stops before the file head and the signature below it.
bool PassesSizeTest(std::int32_t height, std::int32_t width, const Settings& settings);

} // namespace ferrovin
