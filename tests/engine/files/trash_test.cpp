#include "engine/files/trash.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include <unistd.h>

#include "support/temp_dir.h"

namespace ferrovin {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;

// Points the home trash into a temporary folder for the length of one test.
class TrashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("XDG_DATA_HOME");
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        ::setenv("XDG_DATA_HOME", (m_dir.path() + "data").c_str(), 1);
        m_trash = m_dir.path() + "data/Trash/";
    }
    void TearDown() override
    {
        if (m_hadOld)
            ::setenv("XDG_DATA_HOME", m_old.c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
    }

    TempDir m_dir;
    std::string m_trash;
    std::string m_old;
    bool m_hadOld = false;
};

TEST_F(TrashTest, movesFileIntoHomeTrashWithRestorableRecord)
{
    const std::string file = m_dir.writeFile("pics/a b%\xC3\xA9.jpg", "jpeg bytes");

    ASSERT_EQ(HomeTrashFolder(), m_trash);
    ASSERT_EQ(MoveToTrash(file), 0);

    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(readFile(m_trash + "files/a b%\xC3\xA9.jpg"), "jpeg bytes");
    const std::string info = readFile(m_trash + "info/a b%\xC3\xA9.jpg.trashinfo");
    const std::regex record("\\[Trash Info\\]\nPath=(.*)\nDeletionDate="
                            "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(info, match, record)) << info;
    EXPECT_EQ(match[1].str(), PercentEncodePath(fs::canonical(m_dir.path()).string()
                                                + "/pics/a b%\xC3\xA9.jpg"));
    EXPECT_NE(match[1].str().find("/a%20b%25%C3%A9.jpg"), std::string::npos);
}

TEST_F(TrashTest, givesRepeatedNamesANumberBeforeTheExtension)
{
    const char* names[] = {"x.jpg", "x.jpg", "x.jpg", ".hidden", ".hidden", "noext", "noext"};
    const char* expected[] = {"x.jpg", "x 2.jpg", "x 3.jpg", ".hidden", ".hidden 2",
                              "noext", "noext 2"};
    for (int i = 0; i < 7; ++i) {
        const std::string file =
            m_dir.writeFile("f" + std::to_string(i) + "/" + names[i], std::to_string(i));
        ASSERT_EQ(MoveToTrash(file), 0) << i;
        EXPECT_EQ(readFile(m_trash + "files/" + expected[i]), std::to_string(i)) << i;
        EXPECT_TRUE(fs::exists(m_trash + "info/" + expected[i] + ".trashinfo")) << i;
    }
}

TEST_F(TrashTest, trashesALinkAsTheLinkAndKeepsItsTarget)
{
    const std::string target = m_dir.writeFile("target.png", "png");
    const std::string link = m_dir.path() + "link.png";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

    ASSERT_EQ(MoveToTrash(link), 0);

    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_TRUE(fs::is_symlink(m_trash + "files/link.png"));
    EXPECT_EQ(readFile(target), "png");
}

TEST_F(TrashTest, reportsErrnoAndLeavesTheFileWhenItCannotBeTrashed)
{
    EXPECT_EQ(MoveToTrash(m_dir.path() + "missing.jpg"), ENOENT);
    EXPECT_FALSE(fs::exists(m_trash));

    // A plain file where the trash folder should be.
    const std::string file = m_dir.writeFile("keep.jpg", "keep");
    m_dir.writeFile("data/Trash", "not a folder");
    EXPECT_NE(MoveToTrash(file), 0);
    EXPECT_EQ(readFile(file), "keep");
}

TEST_F(TrashTest, removesTheReservedRecordWhenTheMoveFails)
{
    // Renaming a folder over into files/ works, but a name that vanished fails
    // after the record was reserved.
    EXPECT_EQ(MoveIntoTrashFolder(m_dir.path() + "gone.jpg", m_trash, "/gone.jpg"), ENOENT);
    EXPECT_FALSE(fs::exists(m_trash + "info/gone.jpg.trashinfo"));
}

TEST(PercentEncodePath, keepsUnreservedBytesAndSlashes)
{
    EXPECT_EQ(PercentEncodePath("/home/u/Az09-_.~/x"), "/home/u/Az09-_.~/x");
    EXPECT_EQ(PercentEncodePath("/a b/#?%&+"), "/a%20b/%23%3F%25%26%2B");
    EXPECT_EQ(PercentEncodePath("\xE6\x97\xA5.jpg"), "%E6%97%A5.jpg");
}

TEST(MountPointOf, findsTheTopFolderOfTheFileSystem)
{
    EXPECT_EQ(MountPointOf("/"), "/");
    TempDir dir;
    const std::string top = MountPointOf(dir.path());
    ASSERT_FALSE(top.empty());
    EXPECT_EQ(top.back(), '/');
    EXPECT_EQ(fs::canonical(dir.path()).string().rfind(top.substr(0, top.size() - 1), 0), 0u);
}

} // namespace
} // namespace ferrovin
