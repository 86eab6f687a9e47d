#include "engine/catalogue/catalogue.h"

#include <gtest/gtest.h>

using namespace ferrovin;

namespace {

// Catalogues pictures up to and including `index`, recording each capacity change.
std::vector<std::pair<std::int32_t, std::int32_t>> growthSteps(Catalogue& c, std::int32_t lastIndex)
{
    std::vector<std::pair<std::int32_t, std::int32_t>> steps;
    std::int32_t before = c.PicCapacity;
    while (c.LastPicIndex < lastIndex) {
        c.CataloguePicture();
        if (c.PicCapacity != before)
            steps.emplace_back(c.LastPicIndex, c.PicCapacity);
        before = c.PicCapacity;
        EXPECT_EQ(static_cast<std::int32_t>(c.PicList.size()), c.PicCapacity);
    }
    return steps;
}

} // namespace

TEST(Catalogue, resetEmptiesTablesAndSizesThemToTheStartCapacity)
{
    Catalogue c;
    c.Reset();
    c.CataloguePicture().FileName = "a.jpg";
    c.RegisterFolder("/x/");
    c.AllocatePairs();
    c.AddPair({0, 0, 100});
    c.Reset();
    EXPECT_EQ(c.LastPicIndex, -1);
    EXPECT_EQ(c.LastPathIndex, -1);
    EXPECT_EQ(c.LastPairIndex, -1);
    EXPECT_EQ(c.PicCapacity, 30000);
    EXPECT_EQ(c.PathCapacity, 30000);
    EXPECT_EQ(c.PairCapacity, 0);
    EXPECT_TRUE(c.PicturePairs.empty());
    EXPECT_EQ(c.PicList[0].FileName, "");
    EXPECT_EQ(c.PathList[0], "");
}

TEST(Catalogue, growsOnlyAtTheIndexOneThousandBelowCapacity)
{
    Catalogue c;
    c.Reset();
    const auto steps = growthSteps(c, 31000);
    const std::vector<std::pair<std::int32_t, std::int32_t>> expected{{29000, 31000}, {30000, 32000}, {31000, 33000}};
    EXPECT_EQ(steps, expected);

    Catalogue small;
    small.Reset(kFallbackCapacity);
    const auto fallbackSteps = growthSteps(small, 14000);
    ASSERT_EQ(fallbackSteps.size(), 1u);
    EXPECT_EQ(fallbackSteps[0], std::make_pair(14000, 16000));
}

TEST(Catalogue, growthRuleAtItsLimits)
{
    for (auto [index, capacity, due] : {std::tuple{28999, 30000, false}, {29000, 30000, true},
                                        {29001, 30000, false}, {28000, 30000, false},
                                        {30000, 30000, true}, {0, 1000, true}}) {
        EXPECT_EQ(GrowthDue(index, capacity), due) << index << " of " << capacity;
    }
}

TEST(Catalogue, newEntriesAfterGrowthAreZeroFilled)
{
    Catalogue c;
    c.Reset();
    growthSteps(c, 29000);
    const TPicInfo& fresh = c.PicList.back();
    EXPECT_EQ(fresh.Size, 0);
    EXPECT_EQ(fresh.CCVStage, TCCVStage::None);
    EXPECT_EQ(fresh.WaveletCoefsPos[0], TWaveletPoint{});
    EXPECT_EQ(fresh.PreBuffer[255], 0);
}

TEST(Catalogue, trimsLeaveExactlyWhatWasFound)
{
    Catalogue c;
    c.Reset();
    c.TrimAfterScan();
    EXPECT_EQ(c.LastPicIndex, -1);
    EXPECT_EQ(c.PicCapacity, 0);
    EXPECT_EQ(c.PathCapacity, 0);
    EXPECT_TRUE(c.PicList.empty());

    c.Reset();
    c.RegisterFolder("/p/");
    for (int i = 0; i < 3; ++i)
        c.CataloguePicture().FileName = "f" + std::to_string(i);
    c.TrimAfterScan();
    EXPECT_EQ(c.PicCapacity, 3);
    EXPECT_EQ(c.PathCapacity, 1);
    EXPECT_EQ(c.FullPath(2), "/p/f2");

    c.AllocatePairs();
    EXPECT_EQ(c.PairCapacity, 30000);
    c.AddPair({0, 1, 100});
    c.TrimAfterMatching();
    EXPECT_EQ(c.PairCapacity, 1);
    EXPECT_EQ(c.PicturePairs.size(), 1u);
}

TEST(Catalogue, removingAPicturesPairsKeepsTheOthersInOrder)
{
    Catalogue c;
    c.Reset();
    for (int i = 0; i < 5; ++i)
        c.CataloguePicture();
    c.TrimAfterScan();
    c.AllocatePairs();
    for (TPicturePair p : {TPicturePair{0, 1, 100}, {1, 2, 50}, {0, 3, 20}, {3, 4, 10}})
        c.AddPair(p);
    c.TrimAfterMatching();

    c.RemovePairsOf(1);
    const TPicturePairs expected{{0, 3, 20}, {3, 4, 10}};
    EXPECT_EQ(c.PicturePairs, expected);
    EXPECT_EQ(c.LastPairIndex, 1);
    EXPECT_EQ(c.PairCapacity, 2);
    EXPECT_TRUE(c.PicList[1].Deleted);
    EXPECT_FALSE(c.PicList[0].Deleted);

    c.SwapPair(1);
    EXPECT_EQ(c.PicturePairs[1], (TPicturePair{4, 3, 10}));

    c.RemovePairsOf(3);
    EXPECT_EQ(c.LastPairIndex, -1);
    EXPECT_EQ(c.PairCapacity, 0);
}

TEST(Catalogue, releaseEmptiesEveryTable)
{
    Catalogue c;
    c.Reset();
    c.AllocatePairs();
    c.AddPair({0, 1, 100});
    c.Release();
    EXPECT_TRUE(c.PicList.empty());
    EXPECT_TRUE(c.PathList.empty());
    EXPECT_TRUE(c.PicturePairs.empty());
    EXPECT_EQ(c.LastPairIndex, -1);
}

TEST(Catalogue, waveletListsKeepEverySlotUpToTheLastFilledOne)
{
    // Filled from slot 0 as extraction fills them; an empty slot inside is
    // kept as it is.
    const std::vector<std::vector<int>> cases = {{}, {1}, {1, 2, 3}, {5, 0, 7}, std::vector<int>(250, 9)};
    Catalogue c;
    c.Reset(4000);
    std::vector<TWaveletCoefs> stored;
    for (std::size_t i = 0; i < 3000; ++i) {
        const std::vector<int>& filled = cases[i % cases.size()];
        TWaveletCoefs slots{};
        for (std::size_t s = 0; s < filled.size(); ++s)
            if (filled[s] != 0)
                slots[s] = TWaveletPoint{filled[s], static_cast<int>(i % 128)};
        stored.push_back(slots);
        c.CataloguePicture();
        c.StoreWaveletCoefs(static_cast<std::int32_t>(i), slots, TWaveletCoefs{});
    }
    // Lists written before the store grew read the same afterwards.
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const TPicInfo& info = c.PicList[i];
        const std::vector<int>& filled = cases[i % cases.size()];
        EXPECT_EQ(info.WaveletCoefsPos.Filled, static_cast<std::int32_t>(filled.size())) << i;
        EXPECT_EQ(info.WaveletCoefsPos, stored[i]) << i;
        EXPECT_EQ(info.WaveletCoefsPos[249], stored[i][249]) << i;
        EXPECT_EQ(info.WaveletCoefsNeg.Filled, 0);
    }
    EXPECT_GE(c.Signatures.BytesHeld(), 3000u * 51u * sizeof(TWaveletPoint));
    c.Reset(2000);
    EXPECT_EQ(c.Signatures.BytesHeld(), 0u);
}
