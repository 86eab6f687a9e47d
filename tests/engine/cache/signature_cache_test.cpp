// The signature cache through whole searches of generated pictures: a search
// using it must give what a search without it gives, decoding only the files
// that changed, whatever state the database is in.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/cache/signature_cache.h"
#include "engine/search/pair_matching.h"
#include "engine/search/search_observer.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"
#include "support/picture_writers.h"
#include "support/temp_dir.h"

namespace ferrovin::test {
namespace {

// Everything a search shows, and how many pictures it decoded.
struct Outcome {
    std::string Shown;  // pairs, reports, texts and the catalogue's analysis fields
    std::string Warning;
    int Decodes = 0;
};

struct Recorder final : SearchObserver {
    void filesCountText(const std::string& text) override { Shown += text + "\n"; }
    void duplicatesFoundText(const std::string& text) override { Shown += text + "\n"; }
    void passedOver(const PassedOver& item) override { Shown += item.Path + ": " + item.Reason + "\n"; }
    std::string Shown;
};

// `onAnalysed` is told the number of each decode as it starts.
Outcome search(const std::string& folder, const Settings& settings, const std::string& cacheFile,
               bool reference = false, std::function<void(int)> onAnalysed = {}, int batchRows = 256)
{
    const MatchingEnvironment real = DefaultMatchingEnvironment(settings);
    std::atomic<int> decodes{0};
    MatchingEnvironment counting = real;
    counting.Analyse = [&](const std::string& path, AnalysisWorkspace& workspace, AnalysedPicture& out) {
        const int number = ++decodes;
        if (onAnalysed)
            onAnalysed(number);
        real.Analyse(path, workspace, out);
    };
    RunOptions options;
    options.Environment = &counting;
    options.Threads = reference ? 1 : 2;
    options.UseReferenceMatcher = reference;
    options.Cache = {cacheFile, 500, batchRows};
    Recorder recorder;
    Catalogue catalogue;
    const SearchSummary summary = RunSearch(catalogue, settings, {folder}, recorder, options);
    Outcome outcome{recorder.Shown + summary.ClosingMessage.substr(0, summary.ClosingMessage.rfind("Elapsed")),
                    summary.CacheWarning, decodes.load()};
    for (std::int32_t p = 0; p <= catalogue.LastPairIndex; ++p) {
        const TPicturePair& pair = catalogue.PicturePairs[static_cast<std::size_t>(p)];
        outcome.Shown += std::to_string(pair.PicIndex1) + " " + std::to_string(pair.PicIndex2) + " "
            + std::to_string(pair.Similarity) + "\n";
    }
    for (const TPicInfo& picture : catalogue.PicList) {
        const auto raw = [&outcome](const void* data, std::size_t size) {
            outcome.Shown.append(static_cast<const char*>(data), size);
        };
        raw(&picture.Height, sizeof picture.Height);
        raw(&picture.Width, sizeof picture.Width);
        raw(&picture.CCVStage, sizeof picture.CCVStage);
        raw(picture.PreBuffer.data(), picture.PreBuffer.size());
        for (const TWaveletList& list : {picture.WaveletCoefsPos, picture.WaveletCoefsNeg}) {
            const TWaveletCoefs slots = list.Expanded();
            raw(slots.data(), sizeof slots);
        }
    }
    return outcome;
}

Settings everyType()
{
    Settings settings;
    settings.SearchTIFF = true;
    return settings;
}

Settings identicalOnly()
{
    Settings settings = everyType();
    settings.SearchOnlyIdentical = true;
    return settings;
}

void sqlite(const std::string& file, const char* sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// Every type, copies, twins, a picture large enough to be reduced, one below
// the size bound and files that do not decode.
class SignatureCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = dir.makeDir("photos");
        const Raster first = makeGradient(160, 120, 1);
        const Raster second = makeGradient(200, 150, 2);
        writeJpeg(root + "a.jpg", first);
        dir.writeFile("photos/b.jpg", readFile(root + "a.jpg"));
        writePng(root + "c.png", first);
        writeBmp24(root + "d.bmp", second);
        writeGif(root + "e.gif", second);
        writeTiff(root + "f.tif", makeGradient(150, 150, 3));
        writeJpegGrey(root + "g.jpg", makeGradient(150, 150, 3));
        writeJpeg(root + "big.jpg", makeGradient(600, 600, 4));
        writeJpeg(root + "tiny.jpg", makeGradient(40, 40, 5));
        dir.writeFile("photos/cut.jpg", readFile(root + "a.jpg").substr(0, 300));
        dir.writeFile("photos/x.png", "not a picture");
        dir.writeFile("photos/sub/d.bmp", readFile(root + "d.bmp"));
        settle();
    }
    // Files made within the clock's last tick are not remembered.
    static void settle() { ::usleep(30000); }

    TempDir dir;
    std::string root;
    std::string cache = dir.path() + "cache/signatures.sqlite";
    const int files = 12;
};

TEST_F(SignatureCacheTest, cachedSearchesShowWhatUncachedOnesShow)
{
    // Each step searches with the cache as the steps before left it.
    struct Step { Settings settings; bool reference; const char* cache; int decodes; };
    const int full = 9;  // pictures past the size bound: rows without a signature lack them
    const Step steps[] = {
        {everyType(), false, "one", files}, {everyType(), false, "one", 0}, {everyType(), true, "one", 0},
        {identicalOnly(), false, "one", 0}, {identicalOnly(), true, "two", files},
        {everyType(), false, "two", full}, {everyType(), true, "two", 0},
    };
    for (const Step& step : steps) {
        const Outcome cached = search(root, step.settings, dir.path() + step.cache, step.reference);
        const Outcome uncached = search(root, step.settings, "", step.reference);
        EXPECT_EQ(cached.Shown, uncached.Shown) << step.cache << step.decodes;
        EXPECT_EQ(cached.Decodes, step.decodes) << step.cache;
        EXPECT_EQ(cached.Warning, "");
    }
}

TEST_F(SignatureCacheTest, eachChangeReanalysesExactlyThatFile)
{
    struct Change { const char* what; std::function<void(Settings&)> make; };
    const Change changes[] = {
        {"same size and times, other bytes", [&](Settings&) {
             struct stat before {};
             ::stat((root + "a.jpg").c_str(), &before);
             std::string bytes = readFile(root + "a.jpg");
             bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x55);
             dir.writeFile("photos/a.jpg", bytes);
             const timespec times[2] = {before.st_atim, before.st_mtim};
             ::utimensat(AT_FDCWD, (root + "a.jpg").c_str(), times, 0);
         }},
        {"renamed", [&](Settings&) { ::rename((root + "d.bmp").c_str(), (root + "d2.bmp").c_str()); }},
        {"replaced by the same bytes", [&](Settings&) {
             dir.writeFile("photos/new", readFile(root + "c.png"));
             ::rename((root + "new").c_str(), (root + "c.png").c_str());
         }},
        {"minimum width across a reduction bound", [](Settings& settings) { settings.MinPicWidth = 600; }},
    };
    for (const Change& change : changes) {
        const std::string file = dir.path() + change.what;
        Settings settings = everyType();
        search(root, settings, file);
        change.make(settings);
        settle();
        const Outcome cached = search(root, settings, file);
        EXPECT_EQ(cached.Decodes, 1) << change.what;
        EXPECT_EQ(cached.Shown, search(root, settings, "").Shown) << change.what;
        EXPECT_EQ(search(root, settings, file).Decodes, 0) << change.what;
    }
}

TEST_F(SignatureCacheTest, unusableDatabasesGiveTheRightPairsAndOneWarning)
{
    sqlite3* holder = nullptr;
    struct Case { const char* what; std::function<void()> spoil; bool movedAside; };
    const Case cases[] = {
        {"truncated", [&] { ASSERT_EQ(::truncate(cache.c_str(), static_cast<off_t>(readFile(cache).size() / 2)), 0); }, true},
        {"garbage", [&] { dir.writeFile("cache/signatures.sqlite", 16384, 'x'); }, true},
        {"another version", [&] { sqlite(cache, "PRAGMA user_version = 99"); }, true},
        {"read-only", [&] { ::chmod(cache.c_str(), 0444); }, false},
        {"locked for writing", [&] {
             sqlite3_open(cache.c_str(), &holder);
             sqlite3_exec(holder, "BEGIN IMMEDIATE; DELETE FROM picture WHERE path LIKE '%tiny%'", nullptr, nullptr, nullptr);
         }, false},
        {"locked for reading", [&] {
             sqlite3_open(cache.c_str(), &holder);
             sqlite3_exec(holder, "PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
         }, false},
    };
    for (const Case& c : cases) {
        search(root, everyType(), cache);
        // A file changed, so that the search also has a row to write.
        dir.writeFile("photos/tiny.jpg", readFile(root + "tiny.jpg") + "x");
        settle();
        const std::string expected = search(root, everyType(), "").Shown;
        c.spoil();
        const Outcome spoilt = search(root, everyType(), cache);
        EXPECT_EQ(spoilt.Shown, expected) << c.what;
        EXPECT_NE(spoilt.Warning, "") << c.what;
        EXPECT_EQ(spoilt.Warning.find('\n'), std::string::npos) << c.what;
        EXPECT_EQ(::access((cache + ".unusable").c_str(), F_OK) == 0, c.movedAside) << c.what;
        sqlite3_close(holder);
        holder = nullptr;
        ::chmod(cache.c_str(), 0644);
        ::unlink((cache + ".unusable").c_str());
        // Then the next search is itself again.
        search(root, everyType(), cache);
        const Outcome next = search(root, everyType(), cache);
        EXPECT_EQ(next.Shown, expected) << c.what;
        EXPECT_EQ(next.Warning, "") << c.what;
        EXPECT_EQ(next.Decodes, 0) << c.what;
    }
}

TEST_F(SignatureCacheTest, searchKilledMidwayLeavesADatabaseTheNextSearchUses)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // One row per transaction; the sixth decode waits to be killed.
        search(root, everyType(), cache, true, [&](int number) {
            if (number == 6) {
                (void)!::write(ready[1], "k", 1);
                ::pause();
            }
        }, 1);
        ::_exit(0);
    }
    // Only the child writes: a child that ends early gives end of file, not a hang.
    ::close(ready[1]);
    char signal = 0;
    ASSERT_EQ(::read(ready[0], &signal, 1), 1) << "the searching child ended before it was killed";
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);

    const Outcome next = search(root, everyType(), cache);
    EXPECT_EQ(next.Warning, "");
    EXPECT_EQ(next.Decodes, files - 5);
    EXPECT_EQ(next.Shown, search(root, everyType(), "").Shown);
}

TEST_F(SignatureCacheTest, twoSearchesAtOnceBothFinishAlike)
{
    // Each search has its own connections, as two processes would.
    const std::string expected = search(root, everyType(), "").Shown;
    for (int round = 0; round < 2; ++round) {
        Outcome first, second;
        std::thread other([&] { second = search(root, everyType(), cache); });
        first = search(root, everyType(), cache, true);
        other.join();
        EXPECT_EQ(first.Shown, expected) << round;
        EXPECT_EQ(second.Shown, expected) << round;
        EXPECT_EQ(first.Warning + second.Warning, "") << round;
    }
    EXPECT_EQ(search(root, everyType(), cache).Decodes, 0);
}

TEST(SignatureCache, rowsUnseenForSixtyDaysAreRemoved)
{
    TempDir dir;
    const std::string file = dir.path() + "signatures.sqlite";
    const std::string picture = dir.writeFile("a.jpg", "x");
    ::usleep(30000);
    const FileStamp stamp = *ReadFileStamp(picture);
    AnalysedPicture failed;
    failed.Failure = "Not a JPEG file";
    const std::int64_t day = 20000;
    for (const int later : {59, 60, 61}) {
        SignatureCache(CacheOptions{file, 200, 256, day}).store(picture, stamp, Settings{}, failed);
        SignatureCache(CacheOptions{file, 200, 256, day + later}).finish();
        AnalysedPicture out;
        EXPECT_EQ(SignatureCache(CacheOptions{file, 200, 256, day}).lookup(picture, stamp, Settings{}, out),
                  later <= kCacheExpiryDays) << later;
    }
}

TEST(SignatureCache, positionListsRoundTripAndForeignBytesAreRefused)
{
    TWaveletCoefs ascending{};
    TWaveletCoefs unordered{};
    for (int i = 0; i < kWaveletSlots; ++i) {
        ascending[static_cast<std::size_t>(i)] = {i / 2, (i * 37) % 128};
        unordered[static_cast<std::size_t>(i)] = {(i * 53) % 128, 127 - i % 128};
    }
    TWaveletCoefs few{};
    few[0] = {0, 1};
    few[1] = {127, 127};
    for (const auto& [pos, neg] : {std::pair{ascending, unordered}, std::pair{few, TWaveletCoefs{}}}) {
        std::string bytes;
        ASSERT_TRUE(EncodeWaveletCoefs(pos, neg, bytes));
        TWaveletCoefs pos2{}, neg2{};
        ASSERT_TRUE(DecodeWaveletCoefs(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), pos2, neg2));
        EXPECT_EQ(pos2, pos);
        EXPECT_EQ(neg2, neg);
        for (const std::string& foreign : {bytes.substr(0, bytes.size() - 1), bytes + '\0', std::string("\xFB\x00", 2),
                                           std::string("\x01\x80\x80\x00", 4), std::string()}) {
            EXPECT_FALSE(DecodeWaveletCoefs(reinterpret_cast<const unsigned char*>(foreign.data()), foreign.size(),
                                            pos2, neg2)) << foreign.size();
        }
    }
    TWaveletCoefs outside{};
    outside[0] = {128, 0};
    std::string bytes;
    EXPECT_FALSE(EncodeWaveletCoefs(outside, few, bytes));
}

TEST(SignatureCache, defaultFileFollowsTheBaseDirectoryRules)
{
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    struct Case { const char* cacheHome; std::string file; };
    const Case cases[] = {{"/var/c/", "/var/c/ferrovin/signatures.sqlite"},
                          {"relative", home + "/.cache/ferrovin/signatures.sqlite"},
                          {nullptr, home + "/.cache/ferrovin/signatures.sqlite"}};
    const std::string saved = std::getenv("XDG_CACHE_HOME") ? std::getenv("XDG_CACHE_HOME") : "";
    for (const Case& c : cases) {
        if (c.cacheHome)
            ::setenv("XDG_CACHE_HOME", c.cacheHome, 1);
        else
            ::unsetenv("XDG_CACHE_HOME");
        EXPECT_EQ(DefaultCacheFile(), c.file) << (c.cacheHome ? c.cacheHome : "unset");
    }
    ::setenv("XDG_CACHE_HOME", saved.c_str(), 1);
}

} // namespace
} // namespace ferrovin::test
