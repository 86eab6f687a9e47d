#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/files/folder_listing.h"
#include "engine/files/trash_folders.h"

namespace ferrovin {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv final {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
        ::tzset();
    }
    ~ScopedEnv()
    {
        m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name);
        ::tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(FolderListing, picturesMasksIgnoreCaseAndLetStarSpanDots)
{
    struct Case {
        const char* name;
        const char* mask;
        bool matches;
    };
    const std::vector<Case> cases{
        {"A.BMP", "*.bmp", true},     {"a.bmpx", "*.bmp", false},    {"a.jp.png", "*.jp*g", true},
        {"a.jpe", "*.jp*g", false},   {"x.tif.bmp", "*.tif*", true}, {".bmp", "*.bmp", true},
        {"", "*", true},              {"ab", "a?", true},            {"a", "a?", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesMask(c.name, c.mask), c.matches) << c.name << " against " << c.mask;
}

TEST(FolderListing, ordersNamesByUpperCasedBytesThenRawBytes)
{
    // Sorted as the listing must return them.
    const std::vector<std::string> expected{
        "1.jpg", "A.jpg", "a.jpg", "a.jpgx", "AB.jpg", "B.jpg", "b.jpg", "_x.jpg", "\xC3\xA9.jpg",
    };
    std::vector<std::string> names(expected.rbegin(), expected.rend());
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return ListingLess(a, b); });
    EXPECT_EQ(names, expected);
    for (const std::string& name : expected)
        EXPECT_FALSE(ListingLess(name, name)) << name;
}

TEST(FolderListing, packsLocalTimeIntoDosDateAndTime)
{
    ScopedEnv tz("TZ", "UTC");
    struct Case {
        std::time_t seconds;
        std::uint32_t expected;
    };
    const std::vector<Case> cases{
        {315532799, 0},                                       // 1979-12-31 23:59:59
        {315532800, (33u << 16)},                             // 1980-01-01 00:00:00
        {1709214331, (22621u << 16) | 28079u},                // 2024-02-29 13:45:31
        {4354819199, (65439u << 16) | (23u << 11) | (59u << 5) | 29u},  // 2107-12-31 23:59:59
        {4354819200, 0},                                      // 2108-01-01 00:00:00
        {-1, 0},
    };
    for (const Case& c : cases) {
        const std::timespec t{c.seconds, 999999999};
        EXPECT_EQ(static_cast<std::uint32_t>(DosDateTime(t)), c.expected) << c.seconds;
    }

    ScopedEnv tokyo("TZ", "JST-9");
    EXPECT_EQ(static_cast<std::uint32_t>(DosDateTime({315532800, 0})), (33u << 16) | (9u << 11))
        << "local time, not UTC";
}

TEST(TrashFolders, homeTrashFollowsXdgDataHomeAndEveryMountGetsItsOwn)
{
    {
        ScopedEnv data("XDG_DATA_HOME", "/srv/data//");
        EXPECT_EQ(TrashFolders().front(), "/srv/data/Trash/");
    }
    {
        ScopedEnv data("XDG_DATA_HOME", "relative/path");
        ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(TrashFolders().front(), "/home/someone/.local/share/Trash/");
    }
    const auto folders = TrashFolders();
    const auto has = [&](const std::string& f) { return std::find(folders.begin(), folders.end(), f) != folders.end(); };
    EXPECT_TRUE(has("/.Trash/"));
    EXPECT_TRUE(has("/.Trash-" + std::to_string(::getuid()) + "/"));
}

} // namespace
} // namespace ferrovin
