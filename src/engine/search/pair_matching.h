#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/catalogue/catalogue.h"
#include "engine/search/analysis_pipeline.h"

namespace ferrovin {

struct Settings;
class SearchObserver;

// How matching reaches picture files. The defaults decode and compare real
// files; tests put in-memory pictures and an identity table in their place.
struct MatchingEnvironment {
    // Called with a full path; must be safe to call from several threads at once
    // (each call with its own workspace).
    std::function<void(const std::string& path, AnalysisWorkspace&, AnalysedPicture&)> Analyse;
    // Byte-for-byte comparison of two files; the indexed matcher may call it
    // from several matching threads at once.
    std::function<bool(const std::string& path1, const std::string& path2)> FilesIdentical;
};

// Real files through LoadPicture, ReadPreBuffer, the signature and FilesIdentical.
// `settings` must outlive the returned environment.
MatchingEnvironment DefaultMatchingEnvironment(const Settings& settings);

inline constexpr double kAspectGate = 1.5;
inline constexpr std::int32_t kPairingCount = 125;  // agreeing slots that give score 50
// Agreeing slots a turned or mirrored orientation needs (MatchTurnedAndMirrored):
// higher, since the best of seven orientations of unrelated photos reaches 133.
inline constexpr std::int32_t kTurnedPairingCount = 150;

// Larger side over smaller side, in plain double arithmetic.
double AspectRatio(std::int32_t height, std::int32_t width);
// True when two pictures are close enough in shape to be compared at all.
bool AspectGatePasses(double ratio1, double ratio2);
// (score - 50) * 2, clamped to 1 ... 100.
double SimilarityFromScore(double score);
// Score of `count` agreeing slots: count * 100 / 250.
double ScoreFromCount(std::int32_t count);

std::string FilesCountText(std::int32_t analysed, std::int32_t total);
// Tells the observer why the picture at `path` was passed over; for pictures
// whose analysis did not decode them (not for those below the size bound).
void ReportNotDecoded(SearchObserver& observer, const std::string& path, const AnalysedPicture& analysed);
std::string DuplicatesCountText(std::int32_t pairs);

// The plain matcher: every picture in catalogue order, compared with every
// earlier analysed picture, newest first, the first match winning. Quadratic,
// single-threaded and kept as the reference for the indexed matcher.
void MatchPictures(Catalogue& catalogue, const Settings& settings, SearchObserver& observer,
                   const MatchingEnvironment& environment);

} // namespace ferrovin
