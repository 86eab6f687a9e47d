// The indexed matcher and the threaded analysis must give exactly the plain
// loop's pairs: same partners, same order, same similarity, same texts.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "engine/search/fast_matcher.h"
#include "engine/search/orientations.h"
#include "engine/search/pair_matching.h"
#include "engine/settings/settings.h"
#include "synthetic_matching.h"

namespace ferrovin::test {
namespace {

struct RunResult {
    std::vector<TPicturePair> Pairs;
    std::vector<std::string> Texts;
    std::int32_t LastPicIndex = 0;
    std::vector<TCCVStage> Stages;
};

RunResult run(const SyntheticLibrary& library, const Settings& settings, int threads,
              std::int32_t stopAfter = -1)
{
    Catalogue catalogue;
    library.fillCatalogue(catalogue);
    RecordingObserver observer;
    observer.StopAfter = stopAfter;
    const MatchingEnvironment environment = library.environment();
    if (threads == 0)
        MatchPictures(catalogue, settings, observer, environment);
    else
        MatchPicturesFast(catalogue, settings, observer, environment, threads);
    RunResult result{pairsOf(catalogue), observer.Texts, catalogue.LastPicIndex, {}};
    for (const TPicInfo& info : catalogue.PicList)
        result.Stages.push_back(info.CCVStage);
    return result;
}

// Shapes on both sides of the 1.5 gate, including the pairs whose quotient is
// 1.5 only in exact arithmetic.
const std::pair<int, int> kShapes[] = {{100, 100}, {100, 150}, {150, 100}, {100, 151},
                                       {105, 102}, {315, 204}, {105, 100}, {315, 200},
                                       {400, 300}, {300, 400}, {120, 180}};

void setClusterHead(AnalysedPicture& picture, std::size_t cluster)
{
    picture.PreBuffer = {};
    picture.PreBuffer[0] = static_cast<std::uint8_t>(cluster);
    picture.PreBuffer[1] = static_cast<std::uint8_t>(cluster >> 8);
    picture.PreBuffer[200] = 0xCC;
}

SyntheticLibrary makeLibrary(std::uint32_t seed, int count)
{
    std::mt19937 rng(seed);
    SyntheticLibrary library;
    std::vector<std::vector<std::pair<int, bool>>> clusters;
    std::vector<int> contentOfCluster;
    int nextContent = 0;
    for (int k = 0; k < count; ++k) {
        const auto& shape = kShapes[rng() % std::size(kShapes)];
        SyntheticPicture& picture = library.add(shape.first, shape.second);
        const unsigned kind = rng() % 100;
        if (kind < 3) {
            picture.Analysis.Decoded = false;
            continue;
        }
        if (kind < 5) {
            picture.Analysis.Width = 4;  // below the size bound
        }
        if (clusters.empty() || kind < 35) {
            // A new cluster; a short signature now and then.
            const int kept = rng() % 10 == 0 ? 120 + static_cast<int>(rng() % 20) : 250;
            clusters.push_back(randomKept(rng, kept));
            contentOfCluster.push_back(nextContent++);
            setSignature(picture.Analysis, clusters.back());
            picture.Content = contentOfCluster.back();
            setClusterHead(picture.Analysis, clusters.size() - 1);
            continue;
        }
        const std::size_t cluster = rng() % clusters.size();
        const unsigned variant = rng() % 10;
        if (variant < 2) {
            // Byte-identical copy of the cluster's file.
            setSignature(picture.Analysis, clusters[cluster]);
            picture.Content = contentOfCluster[cluster];
            setClusterHead(picture.Analysis, cluster);
        } else if (variant < 4) {
            // Same head, different bytes; the signature may still pair it.
            setSignature(picture.Analysis, variantOf(clusters[cluster], rng, 60, 10));
            setClusterHead(picture.Analysis, cluster);
        } else {
            // Near the 125-slot threshold from both sides.
            const int moved = 40 + static_cast<int>(rng() % 60);
            const int flipped = static_cast<int>(rng() % 12);
            setSignature(picture.Analysis, variantOf(clusters[cluster], rng, moved, flipped));
        }
    }
    return library;
}

TEST(MatcherEquivalence, indexedMatcherGivesThePlainLoopsPairs)
{
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        const SyntheticLibrary library = makeLibrary(seed, 1200);
        for (bool onlyIdentical : {false, true}) {
            Settings settings;
            settings.SearchOnlyIdentical = onlyIdentical;
            const RunResult plain = run(library, settings, 0);
            const RunResult fast = run(library, settings, 1);
            EXPECT_GT(plain.Pairs.size(), 20u) << "seed " << seed;
            EXPECT_EQ(plain.Pairs, fast.Pairs) << "seed " << seed << " identical only " << onlyIdentical;
            EXPECT_EQ(plain.Texts, fast.Texts) << "seed " << seed;
            EXPECT_EQ(plain.LastPicIndex, fast.LastPicIndex);
            EXPECT_EQ(plain.Stages, fast.Stages);
        }
    }
}

// The indexed matcher driven directly with a chosen block size, skipping the
// pictures the search would skip.
std::vector<TPicturePair> indexedPairs(const SyntheticLibrary& library, const Settings& settings,
                                       std::int32_t blockSize)
{
    const auto& pictures = library.Pictures;
    Catalogue catalogue;
    library.fillCatalogue(catalogue);
    FastMatcher matcher(
        catalogue, settings.SearchOnlyIdentical,
        [&pictures](std::int32_t earlier, std::int32_t current) {
            const std::int32_t content = pictures[static_cast<std::size_t>(earlier)].Content;
            return content >= 0 && content == pictures[static_cast<std::size_t>(current)].Content;
        },
        blockSize, settings.MatchTurnedAndMirrored);
    std::vector<TPicturePair> pairs;
    for (std::int32_t k = 0; k < static_cast<std::int32_t>(pictures.size()); ++k) {
        const AnalysedPicture& picture = pictures[static_cast<std::size_t>(k)].Analysis;
        if (!picture.Decoded || !PassesSizeTest(picture.Height, picture.Width, settings))
            continue;
        const FastMatcher::Match match = matcher.findPartner(k, picture);
        if (match.Earlier >= 0)
            pairs.push_back({match.Earlier, k, match.Similarity});
        StoreAnalysis(catalogue, k, picture, settings.SearchOnlyIdentical);
        matcher.add(k, picture);
    }
    return pairs;
}

TEST(MatcherEquivalence, blockEdgesDoNotChangeThePairs)
{
    // Small blocks put partners, identical copies and their heads-alike
    // neighbours on every side of a block edge; sizes around a block cover a
    // newest block that is full, nearly empty or just one picture.
    for (std::uint32_t seed : {21u, 22u}) {
        const SyntheticLibrary library = makeLibrary(seed, 900);
        const Settings settings;
        const RunResult plain = run(library, settings, 0);
        for (std::int32_t blockSize : {16, 48, 112, 128, 144, 4096})
            EXPECT_EQ(plain.Pairs, indexedPairs(library, settings, blockSize))
                << "seed " << seed << " block " << blockSize;
    }
    for (int count : {127, 128, 129}) {
        const SyntheticLibrary library = makeLibrary(23, count);
        EXPECT_EQ(run(library, Settings{}, 0).Pairs, indexedPairs(library, Settings{}, 128)) << count << " pictures";
    }
}

// Originals and copies of them in every orientation, moved so far that they
// agree in about 120 to 190 slots: both thresholds are met and missed from
// both sides, and a copy often matches one orientation of several originals.
SyntheticLibrary makeTurnedLibrary(std::uint32_t seed, int count)
{
    std::mt19937 rng(seed);
    SyntheticLibrary library;
    std::vector<std::vector<std::pair<int, bool>>> originals;
    for (int k = 0; k < count; ++k) {
        const auto& shape = kShapes[rng() % std::size(kShapes)];
        SyntheticPicture& picture = library.add(shape.first, shape.second);
        if (originals.empty() || rng() % 3 == 0) {
            originals.push_back(randomKept(rng, 250));
            setSignature(picture.Analysis, originals.back());
            picture.Content = static_cast<std::int32_t>(originals.size() - 1);
            setClusterHead(picture.Analysis, originals.size() - 1);
            continue;
        }
        const std::size_t original = rng() % originals.size();
        if (rng() % 12 == 0) {
            // A byte-identical copy: identity still comes first.
            setSignature(picture.Analysis, originals[original]);
            picture.Content = static_cast<std::int32_t>(original);
            setClusterHead(picture.Analysis, original);
            continue;
        }
        std::vector<std::pair<int, bool>> turned = originals[original];
        if (const unsigned o = rng() % 8; o != 0) {
            for (auto& [position, negative] : turned) {
                const int moved = TurnedTokenMaps()[o - 1][std::size_t(position * 2 + (negative ? 1 : 0))];
                position = moved >> 1;
                negative = (moved & 1) != 0;
            }
        }
        setSignature(picture.Analysis,
                     variantOf(turned, rng, 60 + static_cast<int>(rng() % 70), static_cast<int>(rng() % 6)));
    }
    return library;
}

TEST(MatcherEquivalence, turnedAndMirroredCopiesPairAlikeInBothMatchers)
{
    for (std::uint32_t seed : {31u, 32u}) {
        const SyntheticLibrary library = makeTurnedLibrary(seed, 450);
        Settings settings;
        const RunResult without = run(library, settings, 0);
        settings.MatchTurnedAndMirrored = true;
        const RunResult plain = run(library, settings, 0);
        EXPECT_GT(plain.Pairs.size(), without.Pairs.size() + 30) << "seed " << seed;
        for (int threads : {1, 2, 5}) {
            const RunResult fast = run(library, settings, threads);
            EXPECT_EQ(plain.Pairs, fast.Pairs) << "seed " << seed << ", " << threads << " threads";
            EXPECT_EQ(plain.Texts, fast.Texts) << "seed " << seed;
        }
        for (std::int32_t blockSize : {16, 112, 4096})
            EXPECT_EQ(plain.Pairs, indexedPairs(library, settings, blockSize)) << "block " << blockSize;
        for (std::int32_t stopAfter : {1, 300})
            EXPECT_EQ(run(library, settings, 0, stopAfter).Pairs, run(library, settings, 2, stopAfter).Pairs);
        // Only identical files pair with identical-only, whatever the option says.
        settings.SearchOnlyIdentical = true;
        EXPECT_EQ(run(library, settings, 0).Pairs, run(library, settings, 1).Pairs);
    }
}

// Each orientation is its own inverse or another one's, maps tokens one to
// one, and keeps the scaling coefficient's row and column where they are.
TEST(Orientations, mapsArePermutationsClosedUnderInverse)
{
    EXPECT_EQ(FlipIndex(0), 0);
    EXPECT_EQ(FlipIndex(1), 1);
    EXPECT_EQ(FlipIndex(2), 3);
    EXPECT_EQ(FlipIndex(3), 2);
    EXPECT_EQ(FlipIndex(4), 7);
    EXPECT_EQ(FlipIndex(127), 64);
    const auto& maps = TurnedTokenMaps();
    for (int o = 0; o < kTurnedOrientations; ++o) {
        std::vector<bool> hit(kOrientationTokens, false);
        for (int token = 0; token < kOrientationTokens; ++token)
            hit[maps[std::size_t(o)][std::size_t(token)]] = true;
        EXPECT_EQ(std::count(hit.begin(), hit.end(), true), kOrientationTokens) << o;
        bool hasInverse = false;
        for (int u = 0; u < kTurnedOrientations && !hasInverse; ++u) {
            bool inverse = true;
            for (int token = 0; token < kOrientationTokens && inverse; token += 7)
                inverse = maps[std::size_t(u)][maps[std::size_t(o)][std::size_t(token)]] == token;
            hasInverse = inverse;
        }
        EXPECT_TRUE(hasInverse) << o;
    }
}

// Signatures drawn as photographs keep theirs: coarse positions (small row
// plus column) are kept by most pictures with mostly one sign, so unrelated
// pictures share many tokens. Copies are made of the last few pictures, so
// that pictures searched side by side pair with each other, often with
// several of them (copies of copies).
SyntheticLibrary makePhotoLikeLibrary(std::uint32_t seed, int count)
{
    std::mt19937 rng(seed);
    std::vector<double> weight(128 * 128);
    for (int p = 1; p < 128 * 128; ++p)
        weight[std::size_t(p)] = 1.0 / std::pow(1.0 + p / 128 + p % 128, 1.5);
    std::discrete_distribution<int> position(weight.begin(), weight.end());
    SyntheticLibrary library;
    std::vector<std::vector<std::pair<int, bool>>> kept;
    for (int k = 0; k < count; ++k) {
        const auto& shape = kShapes[rng() % std::size(kShapes)];
        SyntheticPicture& picture = library.add(shape.first, shape.second);
        const unsigned kind = rng() % 100;
        const std::size_t source = kept.empty() ? 0 : kept.size() - 1 - rng() % std::min<std::size_t>(kept.size(), 20);
        if (kind < 2 && !kept.empty()) {
            // A byte-identical copy of a recent picture.
            kept.push_back(kept[source]);
            picture.Content = library.Pictures[source].Content >= 0 ? library.Pictures[source].Content : k;
            library.Pictures[source].Content = picture.Content;
            picture.Analysis.PreBuffer = library.Pictures[source].Analysis.PreBuffer;
        } else if (kind < 10 && !kept.empty()) {
            kept.push_back(variantOf(kept[source], rng, 20 + static_cast<int>(rng() % 120), static_cast<int>(rng() % 8)));
        } else {
            std::vector<bool> used(128 * 128, false);
            std::vector<std::pair<int, bool>> fresh;
            while (fresh.size() < 250) {
                const int p = position(rng);
                if (!used[std::size_t(p)]) {
                    used[std::size_t(p)] = true;
                    // The sign a position mostly has, now and then the other.
                    fresh.emplace_back(p, ((p * 2654435761u) >> 7 & 1) != (rng() % 5 == 0));
                }
            }
            kept.push_back(std::move(fresh));
        }
        setSignature(picture.Analysis, kept.back());
        if (kind >= 98)
            picture.Analysis.Decoded = false;
    }
    return library;
}

TEST(MatcherEquivalence, everyThreadCountGivesThePlainLoopsPairs)
{
    const std::pair<const char*, SyntheticLibrary> libraries[] = {{"clusters", makeLibrary(7, 1500)},
                                                                  {"photo-like", makePhotoLikeLibrary(8, 1500)}};
    for (const auto& [name, library] : libraries) {
        for (std::int32_t stopAfter : {-1, 700}) {
            Settings settings;
            // Identical files only, once: batch members must then pair by identity alone.
            settings.SearchOnlyIdentical = stopAfter > 0;
            const RunResult plain = run(library, settings, 0, stopAfter);
            EXPECT_GT(plain.Pairs.size(), stopAfter < 0 ? 60u : 5u) << name;
            for (int threads : {1, 2, 5}) {
                const RunResult fast = run(library, settings, threads, stopAfter);
                EXPECT_EQ(plain.Pairs, fast.Pairs) << name << ", " << threads << " threads, stop " << stopAfter;
                EXPECT_EQ(plain.Texts, fast.Texts) << name << ", " << threads << " threads";
                EXPECT_EQ(plain.LastPicIndex, fast.LastPicIndex) << name << ", " << threads << " threads";
                EXPECT_EQ(plain.Stages, fast.Stages) << name << ", " << threads << " threads";
            }
        }
    }
}

TEST(MatcherEquivalence, stopLeavesTheSameStateWhateverTheMatcher)
{
    const SyntheticLibrary library = makeLibrary(11, 600);
    const Settings settings;
    for (std::int32_t stopAfter : {0, 1, 250}) {
        const RunResult plain = run(library, settings, 0, stopAfter);
        for (int threads : {1, 3}) {
            const RunResult fast = run(library, settings, threads, stopAfter);
            EXPECT_EQ(plain.Pairs, fast.Pairs) << "stop after " << stopAfter;
            EXPECT_EQ(plain.Texts, fast.Texts) << "stop after " << stopAfter;
            EXPECT_EQ(plain.LastPicIndex, fast.LastPicIndex) << "stop after " << stopAfter;
            // Pictures analysed ahead by workers must not leak into the catalogue.
            EXPECT_EQ(plain.Stages, fast.Stages) << "stop after " << stopAfter;
        }
    }
}

TEST(MatcherEquivalence, unexpectedAnalysisFailureReachesTheCallerInOrder)
{
    const SyntheticLibrary library = makeLibrary(5, 300);
    MatchingEnvironment environment = library.environment();
    const auto analyse = environment.Analyse;
    environment.Analyse = [analyse](const std::string& path, AnalysisWorkspace& workspace, AnalysedPicture& out) {
        if (path == "/syn/40")
            throw std::runtime_error("out of memory");
        analyse(path, workspace, out);
    };
    for (int threads : {0, 1, 4}) {
        Catalogue catalogue;
        library.fillCatalogue(catalogue);
        SearchObserver quiet;
        if (threads == 0)
            EXPECT_THROW(MatchPictures(catalogue, Settings{}, quiet, environment), std::runtime_error);
        else
            EXPECT_THROW(MatchPicturesFast(catalogue, Settings{}, quiet, environment, threads), std::runtime_error);
        EXPECT_EQ(catalogue.LastPicIndex, 40) << threads << " threads";
    }
}

} // namespace
} // namespace ferrovin::test
