// The search run over real folders, with pictures stood in for by small text
// files ("sig:N" gives signature N) so that the walk, the folder filter and
// the summary texts can be checked without decoders.

#include <gtest/gtest.h>

#include <random>

#include <unistd.h>

#include "engine/files/file_identity.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"
#include "support/temp_dir.h"
#include "synthetic_matching.h"

namespace ferrovin::test {
namespace {

MatchingEnvironment textPictures()
{
    MatchingEnvironment environment;
    environment.Analyse = [](const std::string& path, AnalysisWorkspace&, AnalysedPicture& out) {
        out = AnalysedPicture{};
        const std::string text = readFile(path);
        if (text.rfind("sig:", 0) != 0) {
            out.Failure = "no signature";
            return;  // undecodable
        }
        out.Decoded = true;
        out.Height = out.Width = 200;
        ReadPreBuffer(path, out.PreBuffer);
        std::mt19937 rng(static_cast<std::uint32_t>(std::stoul(text.substr(4))));
        setSignature(out, randomKept(rng, 250));
    };
    environment.FilesIdentical = [](const std::string& a, const std::string& b) { return FilesIdentical(a, b); };
    return environment;
}

struct Search {
    Catalogue Result;
    SearchSummary Summary;
    std::vector<std::string> Missing;
};

void search(Search& s, const std::vector<std::string>& folders, Settings settings = {},
            SearchObserver* observer = nullptr)
{
    const MatchingEnvironment environment = textPictures();
    RunOptions options;
    options.Environment = &environment;
    options.Threads = 2;
    options.MissingFolder = [&s](const std::string& folder) { s.Missing.push_back(folder); };
    SearchObserver quiet;
    s.Summary = RunSearch(s.Result, settings, folders, observer ? *observer : quiet, options);
}

std::vector<std::string> cataloguedPaths(const Catalogue& catalogue)
{
    std::vector<std::string> paths;
    for (std::int32_t k = 0; k <= catalogue.LastPicIndex; ++k)
        paths.push_back(catalogue.FullPath(k));
    return paths;
}

TEST(FolderFilter, nestedAndRepeatedFoldersAreWalkedOnce)
{
    struct Case { std::vector<std::string> folders; std::vector<std::size_t> walked; };
    const Case cases[] = {
        {{"/p/", "/p/2019/"}, {0}},
        {{"/p/2019/", "/p/"}, {1}},
        {{"/p/", "/p/"}, {0}},
        {{"/p/", "/P/"}, {0}},
        {{"/photo/", "/photos/"}, {0, 1}},
        {{"/a/", "/q/a/"}, {0}},           // "occurs anywhere", not only at the start
        {{"/\xC3\xA9/", "/\xC3\x89/"}, {0, 1}},  // only ASCII letters fold
    };
    for (const Case& c : cases)
        EXPECT_EQ(FilterFolders(c.folders), c.walked) << c.folders[0] << " " << c.folders[1];
}

TEST(SummaryCounts, groupDigitsByThree)
{
    struct Case { std::int64_t value; const char* separator; const char* text; };
    const Case cases[] = {{0, ",", "0"}, {1, ",", "1"}, {999, ",", "999"}, {1000, ",", "1,000"},
                          {1234, ",", "1,234"}, {1234567, ".", "1.234.567"}, {100000, "\xC2\xA0", "100\xC2\xA0" "000"}};
    for (const Case& c : cases)
        EXPECT_EQ(FormatGroupedCount(c.value, c.separator), c.text) << c.value;
}

class SearchRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        photos = dir.makeDir("photos");
        dir.writeFile("photos/a.jpg", "sig:1");
        dir.writeFile("photos/b.jpg", "sig:1");
        dir.writeFile("photos/c.jpg", "sig:2");
        dir.writeFile("photos/broken.jpg", "garbage");
        nested = dir.makeDir("photos/2019");
        dir.writeFile("photos/2019/d.jpg", "sig:2");
    }
    TempDir dir;
    std::string photos;
    std::string nested;
};

TEST_F(SearchRun, finishedSearchSumsUp)
{
    Search s;
    search(s, {photos});
    EXPECT_FALSE(s.Summary.Refused);
    EXPECT_FALSE(s.Summary.Stopped);
    EXPECT_EQ(s.Summary.DuplicatesFoundText, "Duplicates found: 2");
    EXPECT_EQ(s.Summary.ScannedCountText, "Files scanned: 5");
    EXPECT_EQ(s.Summary.DiskUsageText, "Disk Space Usage: 0 B");
    // The elapsed time depends on the machine; its form does not.
    EXPECT_EQ(s.Summary.TimeText.size(), std::string("Elapsed time: 00:00:00").size());
    EXPECT_EQ(s.Summary.TimeText.rfind("Elapsed time: 00:0", 0), 0u);
    EXPECT_EQ(s.Summary.ClosingMessage, "Search finished." + std::string(36, ' ')
                                            + "\n\r\n\rTotal pictures scanned: 5 / 5\n\r"
                                              "Similar pictures found: 2\n\r"
                                            + s.Summary.TimeText + "\n\r");
    EXPECT_TRUE(s.Result.SearchStopped);
    EXPECT_EQ(s.Result.PairCapacity, 2);
}

TEST_F(SearchRun, filterIgnoresTheSubfolderSetting)
{
    Settings flat;
    flat.ScanSubfolders = false;
    Search s;
    search(s, {nested, photos}, flat);
    // The nested folder is passed over, and the flat walk of its parent misses it.
    EXPECT_EQ(cataloguedPaths(s.Result),
              (std::vector<std::string>{photos + "a.jpg", photos + "b.jpg", photos + "broken.jpg", photos + "c.jpg"}));
}

TEST_F(SearchRun, foldersAreUsedAsWrittenWithADelimiterAdded)
{
    Search s;
    const std::string withoutDelimiter = photos.substr(0, photos.size() - 1);
    search(s, {withoutDelimiter, dir.path() + "gone", photos});
    EXPECT_EQ(s.Missing, std::vector<std::string>{dir.path() + "gone/"});
    EXPECT_EQ(s.Summary.ScannedCountText, "Files scanned: 5");
    EXPECT_EQ(s.Result.PathList[0], photos);
}

TEST_F(SearchRun, passedOverFilesAndFoldersArriveInCatalogueOrder)
{
    // The dangling link is met by the walk, before d.jpg is catalogued; the two
    // undecodable files are met by matching, one before it and one after.
    ASSERT_EQ(::symlink("nowhere.jpg", (nested + "0.jpg").c_str()), 0);
    dir.writeFile("photos/2019/e.jpg", "garbage");
    struct Recorder final : SearchObserver {
        void passedOver(const PassedOver& item) override
        {
            Items.push_back(std::to_string(static_cast<int>(item.What)) + " " + item.Path + ": " + item.Reason);
        }
        std::vector<std::string> Items;
    } recorder;
    Search s;
    search(s, {photos, dir.path() + "gone"}, {}, &recorder);
    EXPECT_EQ(recorder.Items, (std::vector<std::string>{"1 " + photos + "broken.jpg: no signature",
                                                         "0 " + nested + "0.jpg: No such file or directory",
                                                         "1 " + nested + "e.jpg: no signature"}));
    EXPECT_EQ(s.Summary.FoldersSearched, 1);
    EXPECT_EQ(s.Summary.DuplicatesFoundText, "Duplicates found: 2");
}

TEST_F(SearchRun, onlyFolderDeletedFindsNothing)
{
    Search s;
    search(s, {dir.path() + "gone/"});
    EXPECT_FALSE(s.Summary.Stopped);
    EXPECT_EQ(s.Summary.ScannedCountText, "Files scanned: 0");
    EXPECT_EQ(s.Summary.FilesCountText, "Total pictures scanned: 0 / 0");
    EXPECT_EQ(s.Summary.FoldersSearched, 0);
}

TEST_F(SearchRun, refusalsChangeNothing)
{
    Search s;
    search(s, {photos});
    const std::int32_t pairs = s.Result.LastPairIndex;

    search(s, {});
    EXPECT_TRUE(s.Summary.Refused);
    EXPECT_EQ(s.Summary.RefusalText, "Please, add one or more directories to search.");

    Settings noTypes;
    noTypes.SearchJPG = noTypes.SearchBMP = noTypes.SearchGIF = noTypes.SearchPNG = noTypes.SearchTIFF = false;
    search(s, {photos}, noTypes);
    EXPECT_EQ(s.Summary.RefusalText, "Please, choose one or more file types in Settings menu.");
    EXPECT_EQ(s.Result.LastPairIndex, pairs);
    EXPECT_TRUE(s.Result.SearchStopped);
}

TEST_F(SearchRun, stopDuringTheWalkEmptiesThePreviousResult)
{
    Search s;
    search(s, {photos});
    ASSERT_EQ(s.Result.LastPairIndex, 1);

    struct StopAtOnce final : SearchObserver {
        bool stopRequested() override { return true; }
    } stopper;
    search(s, {photos}, {}, &stopper);
    EXPECT_TRUE(s.Summary.Stopped);
    EXPECT_EQ(s.Result.LastPairIndex, -1);
    EXPECT_EQ(s.Summary.DuplicatesFoundText, "Duplicates found: 0");
    EXPECT_EQ(s.Summary.ClosingMessage.rfind("Search interrupted." + std::string(36, ' ') + "\n\r\n\r", 0), 0u);
    EXPECT_EQ(s.Summary.FilesCountText, "Total pictures scanned: 0 / 0");
}

TEST_F(SearchRun, stopDuringMatchingKeepsThePairsFoundSoFar)
{
    RecordingObserver stopper;
    stopper.StopAfter = 2;  // after a.jpg and b.jpg, which pair
    Search s;
    search(s, {photos}, {}, &stopper);
    EXPECT_TRUE(s.Summary.Stopped);
    EXPECT_EQ(pairsOf(s.Result), (std::vector<TPicturePair>{{0, 1, 100.0}}));
    EXPECT_EQ(s.Summary.ScannedCountText, "Files scanned: 2");
    EXPECT_EQ(s.Summary.FilesCountText, "Total pictures scanned: 2 / 5");
}

} // namespace
} // namespace ferrovin::test
