#include "engine/results/pair_sorting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>

using namespace ferrovin;

namespace {

// A catalogue whose paths share folders and differ in case, so that ties,
// folder-against-subfolder and case folding all occur in one table.
void fillRandomly(Catalogue& c, int pairs, std::uint32_t seed)
{
    std::mt19937 random(seed);
    c.PathList = {"/p/", "/P/", "/p/sub/", "/p/Sub/x/", "/q/\xc3\xa9/", "/q/\xc3\x89/"};
    const char* names[] = {"a.jpg", "A.JPG", "b.png", "sub", "\xc3\xa9.gif", "z", "Z.jpeg", "a"};
    const int pictures = std::max(2, pairs / 3 + 2);
    for (int i = 0; i < pictures; ++i) {
        TPicInfo pic;
        pic.PathInd = int(random() % c.PathList.size());
        pic.FileName = names[random() % 8];
        if (random() % 4 == 0)
            pic.FileName += std::to_string(random() % 50);
        c.PicList.push_back(pic);
    }
    for (int i = 0; i < pairs; ++i) {
        // Few distinct similarities, so that equal keys are common.
        c.PicturePairs.push_back({int(random() % pictures), int(random() % pictures),
                                  double(1 + random() % 20) * 4.8});
    }
    c.LastPairIndex = pairs - 1;
    c.PairCapacity = pairs;
}

// The key each column sorts by, built the plain way.
auto keyOf(const Catalogue& c, int column)
{
    return [&c, column](const TPicturePair& p) {
        return std::tuple<std::string, double>(
            column == 2 ? std::string() : c.FullPath(column == 0 ? p.PicIndex1 : p.PicIndex2),
            column == 2 ? p.Similarity : 0.0);
    };
}

int referenceCompare(const Catalogue& c, int column, const TPicturePair& a, const TPicturePair& b)
{
    const auto key = keyOf(c, column);
    if (column == 2)
        return a.Similarity < b.Similarity ? -1 : (a.Similarity > b.Similarity ? 1 : 0);
    return CompareText(std::get<0>(key(a)), std::get<0>(key(b)));
}

std::vector<std::tuple<int, int, double>> asSet(TPicturePairs pairs)
{
    std::vector<std::tuple<int, int, double>> set;
    for (const auto& p : pairs)
        set.emplace_back(p.PicIndex1, p.PicIndex2, p.Similarity);
    std::sort(set.begin(), set.end());
    return set;
}

} // namespace

TEST(PairSorting, compareTextFoldsOnlyAsciiLettersAndPutsPrefixesFirst)
{
    const struct {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"/p/photo.jpg", "/P/PHOTO.JPG", 0},
        {"abc", "abd", -1},
        {"ab", "abc", -1},
        {"abc", "AB", 1},
        {"", "", 0},
        {"\xc3\xa9", "\xc3\x89", 1},        // accented small against capital: by their bytes
        {"/p/zz.jpg", "/p/sub/a.jpg", 1},   // 'z' > 's': the name against the subfolder
        {"/p/a.jpg", "/p/sub/a.jpg", -1},   // 'a' < 's', whatever the depth
        {"_", "a", 1},                      // '_' (95) sorts after 'a', folded to 'A' (65)
    };
    for (const auto& c : cases) {
        const int r = CompareText(c.a, c.b);
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign);
        EXPECT_EQ(CompareText(c.b, c.a), -r);
    }
}

TEST(PairSorting, everyColumnAndDirectionSortsLikeTheReferenceAndKeepsThePairs)
{
    for (const int size : {0, 1, 2, 15, 16, 17, 33, 1000, 100000}) {
        for (int column = 0; column < 3; ++column) {
            for (const bool descending : {false, true}) {
                SCOPED_TRACE(testing::Message() << "size " << size << " column " << column
                                                << (descending ? " descending" : " ascending"));
                Catalogue c;
                fillRandomly(c, size, std::uint32_t(size * 7 + column));
                const TPicturePairs before = c.PicturePairs;
                int pauses = 0;
                SortPairsByColumn(c, column, descending, [&] {
                    ++pauses;
                    // Between the phases the smallest record already lies in the
                    // first 16: that is what the insertion sentinel relies on.
                    if (c.PicturePairs.size() > 16) {
                        const auto less = [&](const TPicturePair& a, const TPicturePair& b) {
                            return (descending ? -1 : 1) * referenceCompare(c, column, a, b) < 0;
                        };
                        const auto smallest = std::min_element(c.PicturePairs.begin(),
                                                               c.PicturePairs.end(), less);
                        const auto inRun = std::min_element(c.PicturePairs.begin(),
                                                            c.PicturePairs.begin() + 16, less);
                        EXPECT_FALSE(less(*smallest, *inRun));
                    }
                });
                EXPECT_EQ(pauses, 1);
                EXPECT_EQ(asSet(c.PicturePairs), asSet(before));
                // The column sort's folded-path shortcut makes the very moves
                // the plain comparers make: the same permutation, ties included.
                if (column < 2) {
                    TPicturePairs plain = before;
                    SortPairsWithCatalogue(c.PicList, plain, c.PathList, 0, size - 1,
                                           column == 0 ? &CompareByPath1 : &CompareByPath2,
                                           descending);
                    EXPECT_EQ(plain, c.PicturePairs);
                }

                TPicturePairs expected = before;
                std::sort(expected.begin(), expected.end(),
                          [&](const TPicturePair& a, const TPicturePair& b) {
                              const int r = referenceCompare(c, column, a, b);
                              return (descending ? -r : r) < 0;
                          });
                // Equal keys keep no order: compare the key sequences.
                const auto key = keyOf(c, column);
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    const auto got = key(c.PicturePairs[i]);
                    const auto want = key(expected[i]);
                    if (column == 2) {
                        ASSERT_EQ(std::get<1>(got), std::get<1>(want)) << "at " << i;
                    } else {
                        ASSERT_EQ(CompareText(std::get<0>(got), std::get<0>(want)), 0)
                            << "at " << i << ": " << std::get<0>(got) << " / " << std::get<0>(want);
                    }
                }
            }
        }
    }
}

TEST(PairSorting, orderedReversedAndEqualTablesEndSorted)
{
    for (const int shape : {0, 1, 2}) {
        TPicturePairs table;
        for (int i = 0; i < 5000; ++i)
            table.push_back({i, i, shape == 0 ? double(i) : shape == 1 ? double(5000 - i) : 7.0});
        SortPairs(table, 0, 4999, &CompareBySimilarity, false);
        EXPECT_TRUE(std::is_sorted(table.begin(), table.end(),
                                   [](const auto& a, const auto& b) { return a.Similarity < b.Similarity; }))
            << "shape " << shape;
    }
}

TEST(PairSorting, similarityTiesStayTiesInBothDirections)
{
    const TPicturePair a{0, 1, 50.0}, b{2, 3, 50.0}, c{4, 5, 80.0};
    EXPECT_EQ(CompareBySimilarity(a, b, false), 0);
    EXPECT_EQ(CompareBySimilarity(a, b, true), 0);
    EXPECT_LT(CompareBySimilarity(a, c, false), 0);
    EXPECT_GT(CompareBySimilarity(a, c, true), 0);
}
