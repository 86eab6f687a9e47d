#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/engine_error.h"
#include "engine/settings/settings.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace ferrovin {
namespace {

using test::readFile;
using test::TempDir;

const std::string kDefaultFile =
    "[Main]\n"
    "SearchJPG=1\n"
    "SearchBMP=1\n"
    "SearchGIF=1\n"
    "SearchPNG=1\n"
    "SearchTIFF=0\n"
    "SearchSimilar=1\n"
    "MoveToRecycle=1\n"
    "DeleteWithoutAsking=0\n"
    "SearchOnlyIdentical=0\n"
    "AutoCheckUpdates=0\n"
    "ScanSubfolders=1\n"
    "MinPicWidth=100\n"
    "MinPicHeight=100\n"
    "MatchTurnedAndMirrored=0\n";

Settings loadFrom(const TempDir& dir, const std::string& contents)
{
    dir.writeFile(kSettingsFileName, contents);
    return LoadSettings(dir.path());
}

TEST(SettingsStore, missingOrUnreadableFileGivesDefaultsAndFirstSaveWritesAllKeysInOrder)
{
    TempDir folderInstead;
    folderInstead.makeDir(kSettingsFileName);
    EXPECT_EQ(LoadSettings(folderInstead.path()), Settings{});

    TempDir dir;
    const Settings loaded = LoadSettings(dir.path());
    EXPECT_EQ(loaded, Settings{});
    EXPECT_TRUE(loaded.ScanSubfolders);

    SaveSettings(loaded, dir.path());
    EXPECT_EQ(readFile(dir.path() + kSettingsFileName), kDefaultFile);
}

// Each line ending of a file that was not there, or that held no lines, is "\n",
// the last line's included; a file with lines keeps the ending it uses.
TEST(SettingsStore, savedFileEndsInALineBreakUnlessItsOwnLastLineHadNone)
{
    std::string crlfDefaults;
    for (char c : kDefaultFile)
        crlfDefaults += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string crlfWithoutLastBreak = crlfDefaults.substr(0, crlfDefaults.size() - 2);
    struct Case {
        std::optional<std::string> before;  // nothing: no file
        std::string after;
    };
    const std::vector<Case> cases{
        {std::nullopt, kDefaultFile},
        {"", kDefaultFile},
        {"\xEF\xBB\xBF", "\xEF\xBB\xBF" + kDefaultFile},
        {"[Other]\r\nA=1", "[Other]\r\nA=1\r\n" + crlfDefaults},
        {crlfWithoutLastBreak, crlfWithoutLastBreak},
    };
    for (const Case& c : cases) {
        TempDir dir;
        if (c.before)
            dir.writeFile(kSettingsFileName, *c.before);
        SaveSettings(Settings{}, dir.path());
        EXPECT_EQ(readFile(dir.path() + kSettingsFileName), c.after) << (c.before ? *c.before : "(no file)");
    }
}

TEST(SettingsStore, readsIntegersInEveryAcceptedFormAndFallsBackOnGarbage)
{
    struct Case {
        std::string stored;
        std::int32_t expected;
    };
    const std::vector<Case> cases{
        {"250", 250},       {"+7", 7},          {"-5", 0},           {"0x20", 32},
        {"0X1f", 31},       {"$1F", 31},        {" 42 ", 42},        {"\"64\"", 64},
        {"", 100},          {"abc", 100},       {"12abc", 100},      {"0x", 100},
        {"$", 100},         {"-", 100},         {"1.5", 100},        {"\x01?", 100},
        {"2147483647", 2147483647},             {"2147483648", 100},
        {"0x7FFFFFFF", 2147483647},             {"0xFFFFFFFF", 100}, {"-2147483648", 0},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const Settings s = loadFrom(dir, "[Main]\nMinPicWidth=" + c.stored + "\n");
        EXPECT_EQ(s.MinPicWidth, c.expected) << "stored: " << c.stored;
        EXPECT_EQ(s.MinPicHeight, 100) << "stored: " << c.stored;
    }
}

TEST(SettingsStore, booleansAreTrueWhenNonZeroAndTakeTheirOwnDefaultOnGarbage)
{
    TempDir dir;
    Settings s = loadFrom(dir, "[Main]\nSearchTIFF=2\nSearchJPG=0\nMoveToRecycle=-1\n");
    EXPECT_TRUE(s.SearchTIFF);
    EXPECT_FALSE(s.SearchJPG);
    EXPECT_TRUE(s.MoveToRecycle);

    s = loadFrom(dir, "[Main]\nSearchTIFF=yes\nSearchJPG=yes\nScanSubfolders=no\n");
    EXPECT_FALSE(s.SearchTIFF);
    EXPECT_TRUE(s.SearchJPG);
    EXPECT_TRUE(s.ScanSubfolders);

    s = loadFrom(dir, "[Main]\nScanSubfolders=0\nSearchSimilar=0\n");
    EXPECT_FALSE(s.ScanSubfolders);
    EXPECT_FALSE(s.SearchSimilar);
}

TEST(SettingsStore, namesMatchWithoutCaseAndTheFirstSectionAndKeyWin)
{
    TempDir dir;
    const Settings s = loadFrom(dir,
                                "MinPicWidth=1\n"
                                "[Other]\nMinPicWidth=2\n"
                                "  [ main ]  \nminpicwidth = 3\nMINPICWIDTH=4\n;MinPicHeight=5\n"
                                "[MAIN]\nMinPicHeight=6\n");
    EXPECT_EQ(s.MinPicWidth, 3);
    EXPECT_EQ(s.MinPicHeight, 100);
}

TEST(SettingsStore, saveKeepsForeignLinesAndLineEndingsByteForByte)
{
    TempDir dir;
    const std::string original =
        "; written by hand\r\n"
        "[Window]\r\n"
        "Left=10\r\n"
        "\r\n"
        "[main]\r\n"
        "searchjpg = 0x0\r\n"
        "Custom=keep me\r\n"
        "SearchSimilar=0\r\n"
        "MinPicWidth=-5\r\n"
        "\r\n"
        "[Tail]\r\n"
        "X=1";
    Settings s = loadFrom(dir, original);
    EXPECT_FALSE(s.SearchJPG);
    EXPECT_FALSE(s.SearchSimilar);
    EXPECT_EQ(s.MinPicWidth, 0);

    s.SearchTIFF = true;
    s.ScanSubfolders = false;
    SaveSettings(s, dir.path());

    const std::string expected =
        "; written by hand\r\n"
        "[Window]\r\n"
        "Left=10\r\n"
        "\r\n"
        "[main]\r\n"
        "searchjpg = 0\r\n"
        "Custom=keep me\r\n"
        "SearchSimilar=0\r\n"
        "MinPicWidth=0\r\n"
        "SearchBMP=1\r\n"
        "SearchGIF=1\r\n"
        "SearchPNG=1\r\n"
        "SearchTIFF=1\r\n"
        "MoveToRecycle=1\r\n"
        "DeleteWithoutAsking=0\r\n"
        "SearchOnlyIdentical=0\r\n"
        "AutoCheckUpdates=0\r\n"
        "ScanSubfolders=0\r\n"
        "MinPicHeight=100\r\n"
        "MatchTurnedAndMirrored=0\r\n"
        "\r\n"
        "[Tail]\r\n"
        "X=1";
    EXPECT_EQ(readFile(dir.path() + kSettingsFileName), expected);
    EXPECT_EQ(LoadSettings(dir.path()), s);

    // A second save with nothing changed leaves the file as it is.
    SaveSettings(s, dir.path());
    EXPECT_EQ(readFile(dir.path() + kSettingsFileName), expected);
}

TEST(SettingsStore, saveAddsMissingSectionAfterExistingTextAndKeepsPermissions)
{
    TempDir dir;
    const std::string path = dir.writeFile(kSettingsFileName, "[Other]\nA=1");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

    SaveSettings(Settings{}, dir.path());
    EXPECT_EQ(readFile(path), "[Other]\nA=1\n" + kDefaultFile);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(SettingsStore, failedSaveThrowsWithThePathAndLeavesNoTrace)
{
    TempDir dir;
    // A folder whose parent is a plain file cannot hold anything, even for root.
    dir.writeFile("plain", "x");
    const std::string impossible = dir.path() + "plain/";
    try {
        SaveSettings(Settings{}, impossible);
        FAIL() << "no error";
    } catch (const EngineError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + impossible + "Ferrovin.ini");
    }

    // A folder in the way of the file: the rename fails, and the temporary goes.
    dir.makeDir("sub/Ferrovin.ini");
    EXPECT_THROW(SaveSettings(Settings{}, dir.path() + "sub/"), EngineError);
    EXPECT_EQ(::rmdir((dir.path() + "sub/Ferrovin.ini").c_str()), 0);
    EXPECT_EQ(::rmdir((dir.path() + "sub").c_str()), 0) << "temporary file left behind";
}

TEST(SettingsStore, readOnlyFolderOrFileKeepsTheExistingFile)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "covered as an unprivileged user by readOnlyFolderFailsForAnUnprivilegedUser";
    }
    TempDir dir;
    const std::string original = "[Main]\nSearchJPG=0\n";
    const std::string path = dir.writeFile(kSettingsFileName, original);

    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_THROW(SaveSettings(Settings{}, dir.path()), EngineError);
    EXPECT_EQ(readFile(path), original);

    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    EXPECT_THROW(SaveSettings(Settings{}, dir.path()), EngineError);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    EXPECT_EQ(readFile(path), original);
}


// Root ignores permission bits, so CI (which runs as root) checks the read-only
// case as an ordinary user.
TEST(SettingsStore, readOnlyFolderFailsForAnUnprivilegedUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to switch users; the plain test covers this case";
    TempDir dir;
    const std::string original = "[Main]\nSearchJPG=0\n";
    const std::string path = dir.writeFile(kSettingsFileName, original);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);

    EXPECT_TRUE(test::passesAsUnprivilegedUser([&] {
        try {
            SaveSettings(Settings{}, dir.path());
        } catch (const EngineError& e) {
            return std::string(e.what()) == "Unable to write to " + path;
        }
        return false;
    }));
    EXPECT_EQ(readFile(path), original);
}

} // namespace
} // namespace ferrovin

namespace ferrovin {
namespace {

// The fourteenth key: absent in older files (off), written after the thirteen.
TEST(SettingsStore, turnedAndMirroredKeyRoundTripsAndDefaultsToOff)
{
    TempDir dir;
    EXPECT_FALSE(loadFrom(dir, "[Main]\nSearchJPG=1\n").MatchTurnedAndMirrored);
    EXPECT_TRUE(loadFrom(dir, "[Main]\nmatchturnedandmirrored=1\n").MatchTurnedAndMirrored);
    EXPECT_FALSE(loadFrom(dir, "[Main]\nMatchTurnedAndMirrored=x\n").MatchTurnedAndMirrored);

    TempDir fresh;
    Settings s;
    s.MatchTurnedAndMirrored = true;
    SaveSettings(s, fresh.path());
    const std::string text = readFile(fresh.path() + kSettingsFileName);
    EXPECT_TRUE(text.ends_with("MinPicHeight=100\nMatchTurnedAndMirrored=1\n")) << text;
    EXPECT_EQ(LoadSettings(fresh.path()), s);
}

} // namespace
} // namespace ferrovin
