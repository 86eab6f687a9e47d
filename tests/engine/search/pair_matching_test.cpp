// Matching rules, checked on the plain loop and on the indexed matcher alike.

#include <gtest/gtest.h>

#include <random>

#include "engine/search/fast_matcher.h"
#include "engine/search/pair_matching.h"
#include "engine/settings/settings.h"
#include "synthetic_matching.h"

namespace ferrovin::test {
namespace {

enum class Matcher { Plain, Indexed, IndexedThreaded };

struct Outcome {
    std::vector<TPicturePair> Pairs;
    std::vector<std::string> Texts;
    Catalogue Result;
};

void match(Matcher matcher, const SyntheticLibrary& library, const Settings& settings,
           Outcome& outcome)
{
    library.fillCatalogue(outcome.Result);
    RecordingObserver observer;
    const MatchingEnvironment environment = library.environment();
    if (matcher == Matcher::Plain)
        MatchPictures(outcome.Result, settings, observer, environment);
    else
        MatchPicturesFast(outcome.Result, settings, observer, environment,
                          matcher == Matcher::Indexed ? 1 : 2);
    outcome.Pairs = pairsOf(outcome.Result);
    outcome.Texts = observer.Texts;
}

class PairMatching : public ::testing::TestWithParam<Matcher> {
protected:
    std::vector<TPicturePair> pairs(const SyntheticLibrary& library, const Settings& settings = {})
    {
        Outcome outcome;
        match(GetParam(), library, settings, outcome);
        return outcome.Pairs;
    }
    std::mt19937 rng{42};
};

TEST_P(PairMatching, firstPictureIsComparedWithNothing)
{
    SyntheticLibrary library;
    setSignature(library.add(200, 200).Analysis, randomKept(rng, 250));
    Outcome outcome;
    match(GetParam(), library, {}, outcome);
    EXPECT_TRUE(outcome.Pairs.empty());
    EXPECT_EQ(outcome.Texts, (std::vector<std::string>{"Total pictures scanned: 1 / 1",
                                                      "Total pictures scanned: 1 / 1"}));
    EXPECT_EQ(outcome.Result.PicList[0].CCVStage, TCCVStage::Full);
}

TEST_P(PairMatching, emptyCatalogueEndsWithZeroOfZero)
{
    Outcome outcome;
    match(GetParam(), SyntheticLibrary{}, {}, outcome);
    EXPECT_EQ(outcome.Texts, std::vector<std::string>{"Total pictures scanned: 0 / 0"});
}

TEST_P(PairMatching, aspectGateComparesUpToOnePointFive)
{
    struct Case { int h1, w1, h2, w2; bool compared; };
    const Case cases[] = {
        {100, 100, 100, 150, true},  {100, 100, 100, 151, false}, {400, 300, 300, 400, true},
        {105, 102, 315, 204, false}, {105, 100, 315, 200, true},  {150, 100, 100, 100, true},
    };
    for (const Case& c : cases) {
        SyntheticLibrary library;
        const auto kept = randomKept(rng, 250);
        setSignature(library.add(c.h1, c.w1).Analysis, kept);
        setSignature(library.add(c.h2, c.w2).Analysis, kept);
        EXPECT_EQ(pairs(library).size(), c.compared ? 1u : 0u)
            << c.h1 << "x" << c.w1 << " vs " << c.h2 << "x" << c.w2;
    }
}

TEST_P(PairMatching, sizeBoundIsAtLeastFivePixels)
{
    struct Case { int minWidth, minHeight, height, width; bool kept; };
    const Case cases[] = {
        {0, 0, 100, 4, false}, {0, 0, 100, 5, true},   {0, 0, 4, 100, false},
        {100, 100, 99, 200, false}, {100, 100, 100, 100, true}, {100, 100, 200, 99, false},
        {600, 600, 175, 175, false},
    };
    for (const Case& c : cases) {
        Settings settings;
        settings.MinPicWidth = c.minWidth;
        settings.MinPicHeight = c.minHeight;
        SyntheticLibrary library;
        const auto kept = randomKept(rng, 250);
        setSignature(library.add(c.height, c.width).Analysis, kept);
        setSignature(library.add(c.height, c.width).Analysis, kept);
        Outcome outcome;
        match(GetParam(), library, settings, outcome);
        const bool analysed = outcome.Result.PicList[0].CCVStage == TCCVStage::Full;
        EXPECT_EQ(analysed, c.kept) << c.height << "x" << c.width << " min " << c.minWidth;
        EXPECT_EQ(outcome.Pairs.size(), c.kept ? 1u : 0u);
        // A skipped picture does not rewrite the progress text.
        EXPECT_EQ(outcome.Texts.size(), c.kept ? 4u : 1u);
    }
}

TEST_P(PairMatching, similarityFollowsTheAgreeingSlotCount)
{
    struct Case { int agreeing; double similarity; };  // 0 = no pair
    const Case cases[] = {{250, 100.0}, {201, 60.8}, {200, 60.0}, {126, 1.0}, {125, 1.0}, {124, 0.0}};
    for (const Case& c : cases) {
        SyntheticLibrary library;
        const auto kept = randomKept(rng, 250);
        setSignature(library.add(200, 200).Analysis, kept);
        setSignature(library.add(200, 200).Analysis, sharingWith(kept, c.agreeing, rng));
        const auto found = pairs(library);
        if (c.similarity == 0.0) {
            EXPECT_TRUE(found.empty()) << c.agreeing;
        } else {
            ASSERT_EQ(found.size(), 1u) << c.agreeing;
            EXPECT_EQ(found[0].PicIndex1, 0);
            EXPECT_EQ(found[0].PicIndex2, 1);
            EXPECT_DOUBLE_EQ(found[0].Similarity, c.similarity) << c.agreeing;
        }
    }
}

TEST_P(PairMatching, pairsAtTheThresholdWhenTheAgreeingSlotsAreCommonOnes)
{
    // The later picture's slots split into 126 rare ones and 124 that many
    // pictures keep. The oldest picture agrees in the 124 common slots and one
    // rare slot: exactly 125, so it must be found although most of its
    // agreement lies in the longest index lists.
    auto kept = randomKept(rng, 250);
    std::vector<std::pair<int, bool>> common(kept.begin(), kept.begin() + 124);
    std::vector<bool> taken(128 * 128, false);
    for (const auto& slot : kept)
        taken[static_cast<std::size_t>(slot.first)] = true;
    int nextFree = 1;
    auto others = [&](std::vector<std::pair<int, bool>> slots, int count) {
        while (count-- > 0) {
            while (taken[static_cast<std::size_t>(nextFree)])
                ++nextFree;
            slots.emplace_back(nextFree++, false);
        }
        return slots;
    };
    SyntheticLibrary library;
    auto oldest = common;
    oldest.push_back(kept[200]);
    setSignature(library.add(200, 200).Analysis, others(oldest, 125));
    for (int filler = 0; filler < 20; ++filler)
        setSignature(library.add(200, 200).Analysis, others(common, 126));
    setSignature(library.add(200, 200).Analysis, kept);
    EXPECT_EQ(pairs(library), (std::vector<TPicturePair>{{0, 21, 1.0}}));
}

TEST_P(PairMatching, laterPictureSimilarToTwoPairsWithTheNewer)
{
    SyntheticLibrary library;
    const auto kept = randomKept(rng, 250);
    setSignature(library.add(200, 200).Analysis, kept);
    setSignature(library.add(200, 200).Analysis, sharingWith(kept, 140, rng));
    setSignature(library.add(200, 200).Analysis, kept);
    const auto found = pairs(library);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].PicIndex1, 1);
    EXPECT_EQ(found[1].PicIndex2, 2);
}

TEST_P(PairMatching, threeIdenticalFilesPairInAChain)
{
    SyntheticLibrary library;
    for (int k = 0; k < 3; ++k) {
        SyntheticPicture& picture = library.add(200, 200);
        picture.Content = 1;
        picture.Analysis.PreBuffer = {};
        setSignature(picture.Analysis, randomKept(rng, 250));  // signatures alone would not pair
    }
    EXPECT_EQ(pairs(library), (std::vector<TPicturePair>{{0, 1, 100.0}, {1, 2, 100.0}}));
}

TEST_P(PairMatching, identityBeatsAnEqualSignatureAndHeadsAloneDoNot)
{
    SyntheticLibrary library;
    const auto kept = randomKept(rng, 250);
    for (int k = 0; k < 3; ++k) {
        SyntheticPicture& picture = library.add(200, 200);
        picture.Analysis.PreBuffer = {};
        setSignature(picture.Analysis, sharingWith(kept, 200, rng));
    }
    library.Pictures[0].Content = 9;
    library.Pictures[2].Content = 9;
    // Picture 1 has the same head but other bytes: it pairs by signature only.
    const auto found = pairs(library);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_LT(found[0].Similarity, 100.0);
    EXPECT_EQ(found[1], (TPicturePair{1, 2, found[1].Similarity}));
    EXPECT_LT(found[1].Similarity, 100.0);
}

TEST_P(PairMatching, identicalOnlyPairsByteIdenticalFilesAndKeepsNoSignature)
{
    Settings settings;
    settings.SearchOnlyIdentical = true;
    SyntheticLibrary library;
    const auto kept = randomKept(rng, 250);
    setSignature(library.add(200, 200).Analysis, kept);  // visually equal, other bytes
    for (int k = 0; k < 2; ++k) {
        SyntheticPicture& picture = library.add(200, 200);
        picture.Content = 3;
        picture.Analysis.PreBuffer = {};
        setSignature(picture.Analysis, randomKept(rng, 250));
    }
    setSignature(library.add(200, 200).Analysis, kept);
    Outcome outcome;
    match(GetParam(), library, settings, outcome);
    EXPECT_EQ(outcome.Pairs, (std::vector<TPicturePair>{{1, 2, 100.0}}));
    for (const TPicInfo& info : outcome.Result.PicList) {
        EXPECT_EQ(info.WaveletCoefsPos, TWaveletCoefs{});
        EXPECT_EQ(info.WaveletCoefsNeg, TWaveletCoefs{});
    }
}

TEST_P(PairMatching, undecodablePictureIsNeverPairedNorCounted)
{
    SyntheticLibrary library;
    const auto kept = randomKept(rng, 250);
    setSignature(library.add(200, 200).Analysis, kept);
    SyntheticPicture& broken = library.add(200, 200);
    setSignature(broken.Analysis, kept);
    broken.Analysis.Decoded = false;
    Outcome outcome;
    match(GetParam(), library, {}, outcome);
    EXPECT_TRUE(outcome.Pairs.empty());
    EXPECT_EQ(outcome.Result.PicList[1].CCVStage, TCCVStage::None);
    EXPECT_EQ(outcome.Texts, (std::vector<std::string>{"Total pictures scanned: 1 / 2",
                                                      "Total pictures scanned: 2 / 2"}));
}

INSTANTIATE_TEST_SUITE_P(AllMatchers, PairMatching,
                         ::testing::Values(Matcher::Plain, Matcher::Indexed, Matcher::IndexedThreaded));

} // namespace
} // namespace ferrovin::test
