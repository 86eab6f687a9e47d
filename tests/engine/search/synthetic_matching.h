#pragma once

// In-memory pictures for matcher tests: a catalogue of made-up names, analyses
// looked up by name, and an identity table instead of file contents.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/catalogue/catalogue.h"
#include "engine/search/analysis_pipeline.h"
#include "engine/search/pair_matching.h"
#include "engine/search/search_observer.h"

namespace ferrovin::test {

struct SyntheticPicture {
    AnalysedPicture Analysis;
    std::int32_t Content = -1;  // files with equal Content >= 0 hold the same bytes
};

// A signature of the given kept positions (flat index X * 128 + Y) and signs,
// laid out as extraction lays it out: row-major, positives and negatives apart.
inline void setSignature(AnalysedPicture& picture, std::vector<std::pair<int, bool>> kept)
{
    std::sort(kept.begin(), kept.end());
    picture.Pos = {};
    picture.Neg = {};
    std::size_t pos = 0;
    std::size_t neg = 0;
    for (const auto& [position, negative] : kept) {
        const TWaveletPoint point{position / 128, position % 128};
        if (negative)
            picture.Neg[neg++] = point;
        else
            picture.Pos[pos++] = point;
    }
}

// `count` distinct non-zero positions with random signs.
inline std::vector<std::pair<int, bool>> randomKept(std::mt19937& rng, int count)
{
    std::vector<int> positions(128 * 128 - 1);
    for (int i = 0; i < static_cast<int>(positions.size()); ++i)
        positions[static_cast<std::size_t>(i)] = i + 1;
    std::vector<std::pair<int, bool>> kept;
    for (int i = 0; i < count; ++i) {
        std::uniform_int_distribution<int> pick(i, static_cast<int>(positions.size()) - 1);
        std::swap(positions[static_cast<std::size_t>(i)], positions[static_cast<std::size_t>(pick(rng))]);
        kept.emplace_back(positions[static_cast<std::size_t>(i)], (rng() & 1) != 0);
    }
    return kept;
}

// `base` with `moved` positions replaced by fresh ones and `flipped` signs flipped.
inline std::vector<std::pair<int, bool>> variantOf(std::vector<std::pair<int, bool>> base,
                                                   std::mt19937& rng, int moved, int flipped)
{
    std::shuffle(base.begin(), base.end(), rng);
    std::vector<bool> used(128 * 128, false);
    for (const auto& entry : base)
        used[static_cast<std::size_t>(entry.first)] = true;
    std::uniform_int_distribution<int> anyPosition(1, 128 * 128 - 1);
    for (int i = 0; i < moved && i < static_cast<int>(base.size()); ++i) {
        int position = anyPosition(rng);
        while (used[static_cast<std::size_t>(position)])
            position = anyPosition(rng);
        used[static_cast<std::size_t>(position)] = true;
        base[static_cast<std::size_t>(i)].first = position;
    }
    for (int i = moved; i < moved + flipped && i < static_cast<int>(base.size()); ++i)
        base[static_cast<std::size_t>(i)].second = !base[static_cast<std::size_t>(i)].second;
    return base;
}

// A signature that agrees with `base` in exactly `shared` slots (position and sign).
inline std::vector<std::pair<int, bool>> sharingWith(const std::vector<std::pair<int, bool>>& base,
                                                     int shared, std::mt19937& rng)
{
    const int total = static_cast<int>(base.size());
    return variantOf(base, rng, total - shared, 0);
}

// A catalogue whose picture k is named "/syn/<k>" and the environment that
// answers for those names.
class SyntheticLibrary {
public:
    std::vector<SyntheticPicture> Pictures;

    SyntheticPicture& add(std::int32_t height, std::int32_t width)
    {
        SyntheticPicture& picture = Pictures.emplace_back();
        picture.Analysis.Decoded = true;
        picture.Analysis.Height = height;
        picture.Analysis.Width = width;
        // Distinct heads unless a test says otherwise.
        const auto id = static_cast<std::uint32_t>(Pictures.size());
        for (int b = 0; b < 4; ++b)
            picture.Analysis.PreBuffer[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(id >> (8 * b));
        return picture;
    }

    void fillCatalogue(Catalogue& catalogue) const
    {
        catalogue.Reset(static_cast<std::int32_t>(std::max<std::size_t>(Pictures.size() + 1000, 2000)));
        catalogue.RegisterFolder("/syn/");
        for (std::size_t k = 0; k < Pictures.size(); ++k) {
            TPicInfo& info = catalogue.CataloguePicture();
            info.FileName = std::to_string(k);
            info.PathInd = 0;
            info.Size = 1;
        }
        catalogue.TrimAfterScan();
        catalogue.AllocatePairs(2000);
        catalogue.SearchStopped = false;
    }

    MatchingEnvironment environment() const
    {
        MatchingEnvironment environment;
        environment.Analyse = [this](const std::string& path, AnalysisWorkspace&, AnalysedPicture& out) {
            const std::size_t k = indexOf(path);
            out = Pictures[k].Analysis;
            // Sizes agree for equal contents and often for different ones too,
            // so the size filter of identity checks meets both cases.
            if (out.FileSize < 0) {
                const std::size_t key = Pictures[k].Content >= 0 ? static_cast<std::size_t>(Pictures[k].Content) : k;
                out.FileSize = 1000 + static_cast<std::int64_t>(key % 3);
            }
        };
        environment.FilesIdentical = [this](const std::string& path1, const std::string& path2) {
            const std::size_t a = indexOf(path1);
            const std::size_t b = indexOf(path2);
            return a != b && Pictures[a].Content >= 0 && Pictures[a].Content == Pictures[b].Content;
        };
        return environment;
    }

private:
    static std::size_t indexOf(const std::string& path)
    {
        return static_cast<std::size_t>(std::stoul(path.substr(path.rfind('/') + 1)));
    }
};

// Records every text and can ask for a stop once `stopAfter` pictures were analysed.
class RecordingObserver final : public SearchObserver {
public:
    std::vector<std::string> Texts;
    std::int32_t StopAfter = -1;
    std::int32_t Analysed = 0;

    void filesCountText(const std::string& text) override { Texts.push_back(text); }
    void duplicatesFoundText(const std::string& text) override { Texts.push_back(text); }
    void progress(const SearchProgress& counters) override { Analysed = counters.analysed; }
    bool stopRequested() override { return StopAfter >= 0 && Analysed >= StopAfter; }
};

inline std::vector<TPicturePair> pairsOf(const Catalogue& catalogue)
{
    return {catalogue.PicturePairs.begin(), catalogue.PicturePairs.begin() + (catalogue.LastPairIndex + 1)};
}

} // namespace ferrovin::test
