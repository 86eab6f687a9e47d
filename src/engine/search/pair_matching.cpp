#include "engine/search/pair_matching.h"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/files/file_identity.h"
#include "engine/search/orientations.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"

namespace ferrovin {

MatchingEnvironment DefaultMatchingEnvironment(const Settings& settings)
{
    MatchingEnvironment environment;
    environment.Analyse = [&settings](const std::string& path, AnalysisWorkspace& workspace,
                                      AnalysedPicture& out) {
        AnalysePicture(path, settings, workspace, out);
    };
    environment.FilesIdentical = [](const std::string& path1, const std::string& path2) {
        return FilesIdentical(path1, path2);
    };
    return environment;
}

double AspectRatio(std::int32_t height, std::int32_t width)
{
    const double larger = static_cast<double>(std::max(height, width));
    const double smaller = static_cast<double>(std::min(height, width));
    return larger / smaller;
}

bool AspectGatePasses(double ratio1, double ratio2)
{
    return std::max(ratio1, ratio2) / std::min(ratio1, ratio2) <= kAspectGate;
}

double ScoreFromCount(std::int32_t count)
{
    return static_cast<double>(count) * 100.0 / static_cast<double>(kWaveletSlots);
}

double SimilarityFromScore(double score)
{
    return std::clamp((score - 50.0) * 2.0, 1.0, 100.0);
}

std::string FilesCountText(std::int32_t analysed, std::int32_t total)
{
    return "Total pictures scanned: " + std::to_string(analysed) + " / " + std::to_string(total);
}

std::string DuplicatesCountText(std::int32_t pairs)
{
    return "Similar pictures found: " + std::to_string(pairs);
}

void ReportNotDecoded(SearchObserver& observer, const std::string& path, const AnalysedPicture& analysed)
{
    observer.passedOver({analysed.Unreadable ? PassedOver::Kind::UnreadableFile
                                             : PassedOver::Kind::UndecodablePicture,
                         path, analysed.Failure});
}

namespace {

// The current picture's quantised matrix as signs. Extraction never drops a
// kept coefficient, so its two lists give back exactly the +1 and -1 entries.
using SignGrid = std::array<std::array<std::int8_t, 128>, 128>;

void fillSignGrid(SignGrid& grid, const TWaveletCoefs& pos, const TWaveletCoefs& neg)
{
    for (auto& row : grid)
        row.fill(0);
    for (const TWaveletPoint& p : pos)
        if (p.X != 0 || p.Y != 0)
            grid[static_cast<std::size_t>(p.X)][static_cast<std::size_t>(p.Y)] = 1;
    for (const TWaveletPoint& p : neg)
        if (p.X != 0 || p.Y != 0)
            grid[static_cast<std::size_t>(p.X)][static_cast<std::size_t>(p.Y)] = -1;
}

// The current picture's signs in each of the seven other orientations.
void fillTurnedGrids(std::array<SignGrid, kTurnedOrientations>& grids, const TWaveletCoefs& pos,
                     const TWaveletCoefs& neg)
{
    const auto& maps = TurnedTokenMaps();
    for (int o = 0; o < kTurnedOrientations; ++o) {
        SignGrid& grid = grids[std::size_t(o)];
        for (auto& row : grid)
            row.fill(0);
        for (const auto* slots : {&pos, &neg}) {
            for (const TWaveletPoint& p : *slots) {
                if (p.X == 0 && p.Y == 0)
                    continue;
                const int token = (p.X * 128 + p.Y) * 2 + (slots == &neg ? 1 : 0);
                const int moved = maps[std::size_t(o)][std::size_t(token)];
                grid[std::size_t((moved >> 1) / 128)][std::size_t((moved >> 1) % 128)] = (moved & 1) ? -1 : 1;
            }
        }
    }
}

std::int32_t agreeingSlots(const SignGrid& grid, const TPicInfo& earlier)
{
    std::int32_t count = 0;
    for (const TWaveletPoint& p : earlier.WaveletCoefsPos)
        if ((p.X != 0 || p.Y != 0) && grid[static_cast<std::size_t>(p.X)][static_cast<std::size_t>(p.Y)] > 0)
            ++count;
    for (const TWaveletPoint& p : earlier.WaveletCoefsNeg)
        if ((p.X != 0 || p.Y != 0) && grid[static_cast<std::size_t>(p.X)][static_cast<std::size_t>(p.Y)] < 0)
            ++count;
    return count;
}

} // namespace

void MatchPictures(Catalogue& catalogue, const Settings& settings, SearchObserver& observer,
                   const MatchingEnvironment& environment)
{
    AnalysisWorkspace workspace;
    AnalysedPicture analysed;
    SignGrid grid{};
    const bool turned = settings.MatchTurnedAndMirrored && !settings.SearchOnlyIdentical;
    std::vector<std::array<SignGrid, kTurnedOrientations>> turnedGrids(turned ? 1 : 0);
    const std::int32_t n = catalogue.PicCapacity;
    for (std::int32_t k = 0; k < n; ++k) {
        if (StopTest(catalogue.SearchStopped, observer))
            return;
        catalogue.LastPicIndex = k;
        const std::string path = catalogue.FullPath(k);
        environment.Analyse(path, workspace, analysed);
        const SearchProgress counters{n, k + 1, n, catalogue.LastPairIndex + 1};
        if (!analysed.Decoded || !PassesSizeTest(analysed.Height, analysed.Width, settings)) {
            if (!analysed.Decoded)
                ReportNotDecoded(observer, path, analysed);
            observer.progress(counters);
            continue;
        }
        StoreAnalysis(catalogue, k, analysed, settings.SearchOnlyIdentical);
        const TPicInfo& current = catalogue.PicList[static_cast<std::size_t>(k)];
        if (!settings.SearchOnlyIdentical)
            fillSignGrid(grid, analysed.Pos, analysed.Neg);
        if (turned)
            fillTurnedGrids(turnedGrids[0], analysed.Pos, analysed.Neg);

        const double currentRatio = AspectRatio(current.Height, current.Width);
        for (std::int32_t i = k - 1; i >= 0; --i) {
            const TPicInfo& earlier = catalogue.PicList[static_cast<std::size_t>(i)];
            if (earlier.CCVStage != TCCVStage::Full)
                continue;
            if (!AspectGatePasses(AspectRatio(earlier.Height, earlier.Width), currentRatio))
                continue;
            double score = 0.0;
            if (earlier.PreBuffer == current.PreBuffer
                && environment.FilesIdentical(path, catalogue.FullPath(i))) {
                score = 100.0;
            } else if (!settings.SearchOnlyIdentical) {
                score = ScoreFromCount(agreeingSlots(grid, earlier));
                // The picture as it is comes first; otherwise the best of the
                // other orientations, if it agrees well enough.
                if (score < 50.0 && turned) {
                    std::int32_t best = 0;
                    for (const SignGrid& other : turnedGrids[0])
                        best = std::max(best, agreeingSlots(other, earlier));
                    if (best >= kTurnedPairingCount)
                        score = ScoreFromCount(best);
                }
            }
            if (score < 50.0)
                continue;
            catalogue.AddPair({i, k, SimilarityFromScore(score)});
            observer.duplicatesFoundText(DuplicatesCountText(catalogue.LastPairIndex + 1));
            break;
        }
        observer.filesCountText(FilesCountText(catalogue.LastPicIndex + 1, n));
        observer.progress({n, k + 1, n, catalogue.LastPairIndex + 1});
    }
    observer.filesCountText(FilesCountText(catalogue.LastPicIndex + 1, n));
}

} // namespace ferrovin
