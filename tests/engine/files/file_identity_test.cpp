#include "engine/files/file_identity.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "support/temp_dir.h"

using namespace ferrovin;
using ferrovin::test::TempDir;

namespace {

std::string bytesOfLength(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    return bytes;
}

// The lowest free descriptor number: it grows when a call leaks one.
int nextDescriptor()
{
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}

} // namespace

TEST(FilesIdentical, answersByContentLengthIncludedInEitherOrder)
{
    TempDir dir;
    const std::string kib = bytesOfLength(1024), big = bytesOfLength(5000);
    std::string lastChanged = big;
    lastChanged.back() ^= 1;
    const struct {
        const char* name;
        std::string first, second;
        bool identical;
    } cases[] = {
        {"two empty files", "", "", true},
        {"equal 1024-byte files", kib, kib, true},
        {"equal files of several blocks", big, big, true},
        {"one byte appended", kib, kib + "x", false},
        {"1000 and 1001 bytes", bytesOfLength(1000), bytesOfLength(1001), false},
        {"last byte differs", big, lastChanged, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string a = dir.writeFile("a" + std::to_string(n), c.first);
        const std::string b = dir.writeFile("b" + std::to_string(n++), c.second);
        EXPECT_EQ(FilesIdentical(a, b), c.identical) << c.name;
        EXPECT_EQ(FilesIdentical(b, a), c.identical) << c.name << " (swapped)";
    }
}

TEST(FilesIdentical, isFalseForOneFileUnderTwoNamesOrAFileThatCannotBeReadAndLeaksNothing)
{
    TempDir dir;
    const std::string file = dir.writeFile("pic.jpg", bytesOfLength(3000));
    const std::string hardLink = dir.path() + "hard.jpg", symLink = dir.path() + "soft.jpg";
    ASSERT_EQ(::link(file.c_str(), hardLink.c_str()), 0);
    ASSERT_EQ(::symlink(file.c_str(), symLink.c_str()), 0);
    const std::string missing = dir.path() + "missing.jpg", folder = dir.makeDir("sub");

    const int before = nextDescriptor();
    for (const std::string& other : {file, hardLink, symLink, missing, folder}) {
        EXPECT_FALSE(FilesIdentical(file, other)) << other;
        EXPECT_FALSE(FilesIdentical(other, file)) << other;
    }
    EXPECT_FALSE(FilesIdentical(missing, missing));
    EXPECT_EQ(nextDescriptor(), before);
}

TEST(ReadPreBuffer, takesTheFirst256BytesWithZerosPastTheEndOrLeavesTheBufferWhenUnopenable)
{
    TempDir dir;
    for (std::size_t size : {0, 10, 255, 256, 700}) {
        const std::string bytes = bytesOfLength(size);
        TPreBuffer head;
        head.fill(0xAA);
        ReadPreBuffer(dir.writeFile("f" + std::to_string(size), bytes), head);
        for (std::size_t i = 0; i < head.size(); ++i)
            ASSERT_EQ(head[i], i < size ? std::uint8_t(bytes[i]) : 0) << size << " bytes, at " << i;
    }
    TPreBuffer head;
    head.fill(0x5C);
    ReadPreBuffer(dir.path() + "missing.jpg", head);
    EXPECT_EQ(std::count(head.begin(), head.end(), 0x5C), 256);
}
