#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/catalogue/catalogue.h"
#include "engine/files/folder_listing.h"
#include "engine/search/folder_scan.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace ferrovin {
namespace {

using test::TempDir;

// Records the label texts; asks for a stop once `stopAt` pictures are catalogued.
class RecordingObserver final : public SearchObserver {
public:
    explicit RecordingObserver(const Catalogue& catalogue) : m_catalogue(catalogue) {}
    void filesCountText(const std::string& text) override { texts.push_back(text); }
    void progress(const SearchProgress& counters) override { counts.push_back(counters.catalogued); }
    bool stopRequested() override { return stopAt >= 0 && m_catalogue.LastPicIndex + 1 >= stopAt; }

    std::vector<std::string> texts;
    std::vector<std::int32_t> counts;
    int stopAt = -1;

private:
    const Catalogue& m_catalogue;
};

struct ScanFixture {
    Catalogue catalogue;
    RecordingObserver observer{catalogue};
    Settings settings;
    std::vector<std::string> trash;

    ScanFixture() { catalogue.Reset(1000); }

    // Scans the roots with one FolderScan, as one search does.
    std::vector<std::string> scan(const std::vector<std::string>& roots)
    {
        catalogue.SearchStopped = false;
        FolderScan scanner(catalogue, settings, trash, observer);
        for (const std::string& root : roots)
            scanner.ScanRoot(root);
        return catalogued();
    }

    // Catalogued pictures as "path index:file name".
    std::vector<std::string> catalogued() const
    {
        std::vector<std::string> out;
        for (std::int32_t i = 0; i <= catalogue.LastPicIndex; ++i) {
            const TPicInfo& pic = catalogue.PicList[static_cast<std::size_t>(i)];
            out.push_back(std::to_string(pic.PathInd) + ":" + pic.FileName);
        }
        return out;
    }

    std::vector<std::string> paths() const
    {
        return {catalogue.PathList.begin(), catalogue.PathList.begin() + (catalogue.LastPathIndex + 1)};
    }
};

using Names = std::vector<std::string>;

TEST(FolderScan, cataloguesEnabledMasksInTheirOrderAndEachFileOnce)
{
    TempDir dir;
    for (const char* name : {"b.jpg", "a.bmp", "c.JPEG", "d.Jpg", "e.gif", "f.png", "g.TIFF", "h.tifx",
                             "i.tif", "j.jpe", "k.txt", "l.jp.png", "m.tif.bmp"})
        dir.writeFile(name, 10);

    struct Case {
        const char* label;
        bool bmp, jpg, gif, png, tiff;
        Names expected;
    };
    const std::vector<Case> cases{
        {"all", true, true, true, true, true,
         {"0:a.bmp", "0:m.tif.bmp", "0:b.jpg", "0:c.JPEG", "0:d.Jpg", "0:l.jp.png", "0:e.gif", "0:f.png",
          "0:g.TIFF", "0:h.tifx", "0:i.tif"}},
        {"defaults", true, true, true, true, false,
         {"0:a.bmp", "0:m.tif.bmp", "0:b.jpg", "0:c.JPEG", "0:d.Jpg", "0:l.jp.png", "0:e.gif", "0:f.png"}},
        {"png and tiff", false, false, false, true, true,
         {"0:f.png", "0:l.jp.png", "0:g.TIFF", "0:h.tifx", "0:i.tif", "0:m.tif.bmp"}},
        {"none", false, false, false, false, false, {}},
    };
    for (const Case& c : cases) {
        ScanFixture f;
        f.settings.SearchBMP = c.bmp;
        f.settings.SearchJPG = c.jpg;
        f.settings.SearchGIF = c.gif;
        f.settings.SearchPNG = c.png;
        f.settings.SearchTIFF = c.tiff;
        EXPECT_EQ(f.scan({dir.path()}), c.expected) << c.label;
        EXPECT_EQ(f.catalogue.LastPathIndex, c.expected.empty() ? -1 : 0) << c.label;
    }
}

TEST(FolderScan, walksSubfoldersAfterTheFolderAndRegistersOnlyFoldersWithPictures)
{
    TempDir dir;
    const std::string root = dir.makeDir("root");
    dir.writeFile("root/z.jpg", 1);
    dir.writeFile("root/holiday.jpg/in.jpg", 1);
    dir.writeFile("root/empty/empty.png", 0);
    dir.makeDir("root/only/inner");
    dir.writeFile("root/only/inner/deep.bmp", 1);
    const std::string longName(200, 'n');
    dir.writeFile("root/" + longName + "/x.gif", 1);
    dir.writeFile("root/" + longName + "/y/w.png", 1);
    dir.writeFile("root/Q/after.png", 1);

    ScanFixture on;
    EXPECT_EQ(on.scan({dir.path() + "root"}),
              (Names{"0:z.jpg", "1:in.jpg", "2:x.gif", "3:w.png", "4:deep.bmp", "5:after.png"}));
    EXPECT_EQ(on.paths(), (Names{root, root + "holiday.jpg/", root + longName + "/", root + longName + "/y/",
                                 root + "only/inner/", root + "Q/"}));

    ScanFixture off;
    off.settings.ScanSubfolders = false;
    EXPECT_EQ(off.scan({root}), (Names{"0:z.jpg"}));
    EXPECT_EQ(off.paths(), (Names{root}));
}

TEST(FolderScan, emptyFolderTextStandsForTheCurrentDirectory)
{
    TempDir dir;
    dir.writeFile("here.png", 1);
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    const std::string expected = std::filesystem::current_path().string() + "/";
    ScanFixture f;
    const Names names = f.scan({""});
    std::filesystem::current_path(previous);
    EXPECT_EQ(names, Names{"0:here.png"});
    EXPECT_EQ(f.paths(), Names{expected});
}

TEST(FolderScan, skipsTrashFoldersByExactPathPrefix)
{
    TempDir dir;
    dir.writeFile("Trash/files/x.jpg", 1);
    dir.writeFile("Trashy/y.jpg", 1);
    dir.writeFile("sub/Trash/z.jpg", 1);
    dir.writeFile("trash/w.jpg", 1);

    ScanFixture f;
    f.trash = {dir.path() + "Trash/"};
    EXPECT_EQ(f.scan({dir.path()}), (Names{"0:z.jpg", "1:w.jpg", "2:y.jpg"}));

    ScanFixture listedInside;
    listedInside.trash = {dir.path() + "Trash"};
    EXPECT_EQ(listedInside.scan({dir.path() + "Trash", dir.path() + "Trash/files/", dir.path() + "Trashy"}),
              Names{"0:y.jpg"});
}

TEST(FolderScan, walksLinksOnceAndPassesOverDanglingOnes)
{
    TempDir dir;
    dir.writeFile("real/a.jpg", 5);
    const std::string real = dir.path() + "real/";
    ASSERT_EQ(::symlink(real.c_str(), (dir.path() + "alias").c_str()), 0);      // walked first: "ALIAS" < "REAL"
    ASSERT_EQ(::symlink("..", (real + "loop").c_str()), 0);                    // a cycle back to the top
    ASSERT_EQ(::symlink("a.jpg", (real + "link.jpg").c_str()), 0);
    ASSERT_EQ(::symlink("gone.jpg", (real + "dangling.jpg").c_str()), 0);

    ScanFixture f;
    EXPECT_EQ(f.scan({dir.path(), real}), (Names{"0:a.jpg", "0:link.jpg"}));
    EXPECT_EQ(f.paths(), (Names{dir.path() + "alias/"}));
    EXPECT_EQ(f.catalogue.PicList[1].Size, 5);
    EXPECT_EQ(f.catalogue.PicList[1].Attr, 0x20u);
}

TEST(FolderScan, skipsFoldersThatCannotBeListed)
{
    TempDir dir;
    dir.writeFile("locked/a.jpg", 1);
    dir.writeFile("open/b.jpg", 1);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((dir.path() + "locked").c_str(), 0), 0);
    const auto scanSkipsTheLockedFolder = [&] {
        ScanFixture f;
        return f.scan({dir.path(), dir.path() + "missing"}) == Names{"0:b.jpg"};
    };
    // Root reads any folder, so the case is checked as an ordinary user there.
    if (::geteuid() == 0)
        EXPECT_TRUE(test::passesAsUnprivilegedUser(scanSkipsTheLockedFolder));
    else
        EXPECT_TRUE(scanSkipsTheLockedFolder());
}

TEST(FolderScan, rewritesTheCounterOnEveryTenthPicture)
{
    TempDir dir;
    for (int i = 0; i < 25; ++i)
        dir.writeFile("p" + std::to_string(100 + i) + ".png", 1);
    ScanFixture f;
    f.scan({dir.path()});
    EXPECT_EQ(f.observer.texts, (Names{"Total pictures scanned: 0 / 1", "Total pictures scanned: 0 / 11",
                                       "Total pictures scanned: 0 / 21"}));
    EXPECT_EQ(f.observer.counts, (std::vector<std::int32_t>{1, 11, 21}));
}

TEST(FolderScan, stopKeepsTheFileInHandAndCataloguesNothingAfter)
{
    TempDir dir;
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp", "e.jpg", "sub/f.jpg"})
        dir.writeFile(name, 1);

    ScanFixture f;
    f.observer.stopAt = 3;
    EXPECT_EQ(f.scan({dir.path(), dir.path() + "sub/"}), (Names{"0:a.bmp", "0:b.bmp", "0:c.bmp"}));
    EXPECT_TRUE(f.catalogue.SearchStopped);

    ScanFixture stoppedBefore;
    stoppedBefore.observer.stopAt = 0;
    EXPECT_EQ(stoppedBefore.scan({dir.path()}), Names{});
    EXPECT_EQ(stoppedBefore.catalogue.LastPathIndex, -1);
}

TEST(FolderScan, recordsSizeTimeAndAttributesOfEachFile)
{
    TempDir dir;
    const std::string plain = dir.writeFile("a.jpg", 1234);
    const std::string readOnly = dir.writeFile("b.jpg", 1);
    dir.writeFile(".c.jpg", 1);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    const timespec times[2] = {{0, UTIME_OMIT}, {1709214331, 0}};  // 2024-02-29 13:45:31 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, plain.c_str(), times, 0), 0);

    ScanFixture f;
    f.scan({dir.path()});
    ASSERT_EQ(f.catalogued(), (Names{"0:.c.jpg", "0:a.jpg", "0:b.jpg"}));
    const TPicInfo& a = f.catalogue.PicList[1];
    EXPECT_EQ(a.Size, 1234);
    EXPECT_EQ(a.Attr, 0x20u);
    EXPECT_EQ(a.Time, DosDateTime({1709214331, 0}));
    EXPECT_NE(a.Time, 0);
    EXPECT_EQ(a.CCVStage, TCCVStage::None);
    EXPECT_EQ(f.catalogue.PicList[2].Attr, 0x21u);
    EXPECT_EQ(f.catalogue.PicList[0].Attr, 0x22u);
}

} // namespace
} // namespace ferrovin
