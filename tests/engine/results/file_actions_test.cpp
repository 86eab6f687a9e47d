#include "engine/results/file_actions.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/files/file_system.h"
#include "engine/files/folder_listing.h"
#include "support/temp_dir.h"

using namespace ferrovin;
using test::readFile;

namespace {

// The real calls, but each listed call fails with its errno on its nth use
// (1 = first); optionally a target appears just before the exclusive create,
// or every written block is damaged.
class FaultyFileSystem final : public FileSystem {
public:
    struct Fault {
        std::string call;
        int error;
        int nth = 1;
    };
    std::vector<Fault> faults;
    std::function<void()> beforeCreate;
    bool corruptWrites = false;

    int renameNoReplace(const std::string& a, const std::string& b) override
    {
        return failing("rename", [&] { return FileSystem::renameNoReplace(a, b); });
    }
    int link(const std::string& a, const std::string& b) override
    {
        return failing("link", [&] { return FileSystem::link(a, b); });
    }
    int unlink(const std::string& path) override
    {
        return failing("unlink", [&] { return FileSystem::unlink(path); });
    }
    int openRead(const std::string& path, int& fd) override
    {
        return failing("openRead", [&] { return FileSystem::openRead(path, fd); });
    }
    int createExclusive(const std::string& path, mode_t mode, int& fd) override
    {
        if (beforeCreate)
            beforeCreate();
        return failing("create", [&] { return FileSystem::createExclusive(path, mode, fd); });
    }
    int read(int fd, void* buffer, std::size_t size, std::size_t& done) override
    {
        return failing("read", [&] { return FileSystem::read(fd, buffer, size, done); });
    }
    int write(int fd, const void* buffer, std::size_t size, std::size_t& done) override
    {
        std::string block(static_cast<const char*>(buffer), size);
        if (corruptWrites)
            block[0] ^= 1;
        return failing("write", [&] { return FileSystem::write(fd, block.data(), size, done); });
    }
    int fsync(int fd) override
    {
        return failing("fsync", [&] { return FileSystem::fsync(fd); });
    }
    int close(int fd) override
    {
        const int closed = FileSystem::close(fd);  // the descriptor never leaks
        return failing("close", [&] { return closed; });
    }

private:
    template <class Call>
    int failing(const char* call, const Call& real)
    {
        for (Fault& fault : faults) {
            if (fault.call == call && fault.nth > 0 && --fault.nth == 0)
                return fault.error;
        }
        return real();
    }
};

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class FileActionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("XDG_DATA_HOME", (m_dir.path() + "data").c_str(), 1);
        // Three megabytes: the copy takes several blocks, so faults land mid-copy.
        m_bytes.assign(3 << 20, 'x');
        for (std::size_t i = 0; i < m_bytes.size(); i += 4093)
            m_bytes[i] = char(i);
        resetFiles();
    }
    void TearDown() override { ::unsetenv("XDG_DATA_HOME"); }

    // a.jpg is the earlier partner of two pairs; acting on it takes both rows.
    void resetFiles()
    {
        std::filesystem::remove_all(m_dir.path() + "pics");
        std::filesystem::remove_all(m_dir.path() + "target");
        std::filesystem::remove_all(m_dir.path() + "data");
        m_dir.makeDir("target");
        m_dir.writeFile("pics/a.jpg", m_bytes);
        m_dir.writeFile("pics/b.jpg", "other");
        m_dir.writeFile("pics/c.jpg", "third");
        m_catalogue.PathList = {m_dir.path() + "pics/"};
        m_catalogue.PicList.clear();
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
            struct stat st {};
            ASSERT_EQ(::stat((m_dir.path() + "pics/" + name).c_str(), &st), 0);
            TPicInfo pic;
            pic.FileName = name;
            pic.Size = st.st_size;
            pic.Time = DosDateTime(st.st_mtim);
            m_catalogue.PicList.push_back(pic);
        }
        m_catalogue.PicturePairs = m_pairs;
        m_catalogue.LastPairIndex = 2;
        m_catalogue.PairCapacity = 3;
    }

    TActionResult act(FileSystem& fs, const std::string& action)
    {
        if (action == "move")
            return MovePicture(fs, m_catalogue, 0, 1, m_dir.path() + "target");
        return DeletePicture(fs, m_catalogue, 0, 1, action == "trash");
    }

    void expectUntouched()
    {
        EXPECT_EQ(readFile(source()), m_bytes);
        EXPECT_FALSE(exists(target()));
        EXPECT_EQ(m_catalogue.PicturePairs, m_pairs);
        EXPECT_FALSE(m_catalogue.PicList[0].Deleted);
    }

    std::string source() const { return m_dir.path() + "pics/a.jpg"; }
    std::string target() const { return m_dir.path() + "target/a.jpg"; }

    test::TempDir m_dir;
    Catalogue m_catalogue;
    std::string m_bytes;
    const TPicturePairs m_pairs{{0, 1, 80.0}, {1, 2, 60.0}, {0, 2, 99.2}};
};

} // namespace

// Whatever step fails, the source keeps its bytes, no partial copy (or trash
// entry) is left, and the pair table stays as it was.
TEST_F(FileActionsTest, everyInjectedFaultLeavesTheSourceAndTheTable)
{
    using F = FaultyFileSystem::Fault;
    const struct {
        const char* action;  // move, delete (for good) or trash
        std::vector<F> faults;
        int expected;
    } cases[] = {
        {"move", {{"rename", EACCES}}, EACCES},
        {"move", {{"rename", EXDEV}, {"openRead", EACCES}}, EACCES},
        {"move", {{"rename", EXDEV}, {"create", EACCES}}, EACCES},
        {"move", {{"rename", EXDEV}, {"write", ENOSPC, 2}}, ENOSPC},   // disk full mid-copy
        {"move", {{"rename", EXDEV}, {"read", EIO, 2}}, EIO},         // read error mid-copy
        {"move", {{"rename", EXDEV}, {"read", EIO, 6}}, EIO},         // while comparing
        {"move", {{"rename", EXDEV}, {"fsync", EIO}}, EIO},
        {"move", {{"rename", EXDEV}, {"close", EIO, 1}}, EIO},
        {"move", {{"rename", EXDEV}, {"unlink", EACCES}}, EACCES},    // source cannot go
        {"move", {{"rename", EINVAL}, {"link", EACCES}}, EACCES},
        {"move", {{"rename", EINVAL}, {"unlink", EBUSY}}, EBUSY},
        {"delete", {{"unlink", EPERM}}, EPERM},
        {"trash", {{"rename", EACCES}}, EACCES},
        {"trash", {{"rename", EXDEV}, {"write", ENOSPC}}, ENOSPC},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.action << " failing at " << c.faults.back().call
                                        << " #" << c.faults.back().nth);
        resetFiles();
        FaultyFileSystem fs;
        fs.faults = c.faults;
        const TActionResult result = act(fs, c.action);
        EXPECT_EQ(result.outcome, TActionOutcome::Failed);
        EXPECT_EQ(result.error, c.expected);
        expectUntouched();
        const std::string trash = m_dir.path() + "data/Trash/";
        EXPECT_FALSE(exists(trash + "files/a.jpg"));
        EXPECT_FALSE(exists(trash + "info/a.jpg.trashinfo"));
    }
}

TEST_F(FileActionsTest, aCopyThatReadsBackWrongIsRemoved)
{
    FaultyFileSystem fs;
    fs.faults = {{"rename", EXDEV}};
    fs.corruptWrites = true;
    const TActionResult result = act(fs, "move");
    EXPECT_EQ(result.error, EIO);
    expectUntouched();
}

TEST_F(FileActionsTest, movesAcrossFileSystemsByCopyKeepingTheModificationTime)
{
    using F = FaultyFileSystem::Fault;
    for (const auto& faults : {std::vector<F>{{"rename", EXDEV}},
                               std::vector<F>{{"rename", EINVAL}, {"link", EPERM}}}) {
        resetFiles();
        struct stat old {};
        ASSERT_EQ(::stat(source().c_str(), &old), 0);
        FaultyFileSystem fs;
        fs.faults = faults;
        const TActionResult result = act(fs, "move");
        ASSERT_EQ(result.outcome, TActionOutcome::Done) << result.error;
        EXPECT_EQ(readFile(target()), m_bytes);
        EXPECT_FALSE(exists(source()));
        struct stat moved {};
        ASSERT_EQ(::stat(target().c_str(), &moved), 0);
        EXPECT_EQ(moved.st_mtim.tv_sec, old.st_mtim.tv_sec);
        EXPECT_EQ(moved.st_mtim.tv_nsec, old.st_mtim.tv_nsec);
        EXPECT_EQ(m_catalogue.PicturePairs, (TPicturePairs{{1, 2, 60.0}}));
        EXPECT_EQ(m_catalogue.LastPairIndex, 0);
        EXPECT_TRUE(m_catalogue.PicList[0].Deleted);
    }
}

TEST_F(FileActionsTest, neverReplacesATargetEvenOneThatAppearsMidMove)
{
    const std::string theirs = "someone else's picture";
    for (const bool appearsLater : {false, true}) {
        resetFiles();
        FaultyFileSystem fs;
        if (appearsLater) {
            // The rename sees no target; the copy's exclusive create does.
            fs.faults = {{"rename", EXDEV}};
            fs.beforeCreate = [&] { m_dir.writeFile("target/a.jpg", theirs); };
        } else {
            m_dir.writeFile("target/a.jpg", theirs);
        }
        const TActionResult r = act(fs, "move");
        EXPECT_EQ(r.outcome, TActionOutcome::Failed);
        EXPECT_EQ(r.error, EEXIST);
        EXPECT_EQ(readFile(target()), theirs);
        EXPECT_EQ(readFile(source()), m_bytes);
        EXPECT_EQ(m_catalogue.PicturePairs, m_pairs);
    }
}

TEST_F(FileActionsTest, refusesMissingChangedAndSameFilePictures)
{
    const std::string pics = m_dir.path() + "pics/";
    const struct {
        const char* what;
        std::function<void()> prepare;
        TActionOutcome outcome;
    } cases[] = {
        {"missing", [&] { ::unlink((pics + "a.jpg").c_str()); }, TActionOutcome::Missing},
        {"size changed", [&] { m_dir.writeFile("pics/a.jpg", "shorter"); }, TActionOutcome::Changed},
        {"time changed",
         [&] {
             const struct timespec t[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
             ::utimensat(AT_FDCWD, (pics + "a.jpg").c_str(), t, 0);
         },
         TActionOutcome::Changed},
        {"partner is a hard link",
         [&] {
             ::unlink((pics + "b.jpg").c_str());
             ::link((pics + "a.jpg").c_str(), (pics + "b.jpg").c_str());
         },
         TActionOutcome::SameFile},
        {"partner is a symbolic link to it",
         [&] {
             ::unlink((pics + "b.jpg").c_str());
             ::symlink("a.jpg", (pics + "b.jpg").c_str());
         },
         TActionOutcome::SameFile},
    };
    for (const auto& c : cases) {
        for (const char* action : {"delete", "trash", "move"}) {
            SCOPED_TRACE(testing::Message() << c.what << ", " << action);
            resetFiles();
            c.prepare();
            const bool missing = c.outcome == TActionOutcome::Missing;
            const std::string before = missing ? std::string() : readFile(source());
            EXPECT_EQ(act(SystemFileSystem(), action).outcome, c.outcome);
            EXPECT_EQ(m_catalogue.PicturePairs, m_pairs);
            EXPECT_FALSE(exists(target()));
            if (!missing) {
                EXPECT_EQ(readFile(source()), before);
            }
        }
    }
}
