#include "engine/files/file_identity.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

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

TEST(FilesIdentical, answersByContentLengthIncluded)
{
    TempDir dir;
    const std::string kib = bytesOfLength(1024);
    const std::string big = bytesOfLength(5000);
    std::string lastByteChanged = big;
    lastByteChanged.back() = static_cast<char>(lastByteChanged.back() ^ 1);
    std::string firstByteChanged = kib;
    firstByteChanged.front() = static_cast<char>(firstByteChanged.front() ^ 0x80);

    struct Case {
        const char* name;
        std::string first;
        std::string second;
        bool identical;
    };
    const Case cases[] = {
        {"two empty files", "", "", true},
        {"equal 1024-byte files end on a full block", kib, kib, true},
        {"equal files over several blocks", big, big, true},
        {"one byte appended after a full block", kib, kib + "x", false},
        {"1000 and 1001 bytes", bytesOfLength(1000), bytesOfLength(1001), false},
        {"empty and one byte", "", "x", false},
        {"last byte differs", big, lastByteChanged, false},
        {"first byte differs", kib, firstByteChanged, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string a = dir.writeFile("a" + std::to_string(n), c.first);
        const std::string b = dir.writeFile("b" + std::to_string(n++), c.second);
        EXPECT_EQ(FilesIdentical(a, b), c.identical) << c.name;
        EXPECT_EQ(FilesIdentical(b, a), c.identical) << c.name << " (swapped)";
    }
}

TEST(FilesIdentical, isFalseForOneFileUnderTwoNamesOrAFileThatCannotBeRead)
{
    TempDir dir;
    const std::string file = dir.writeFile("pic.jpg", bytesOfLength(3000));
    const std::string hardLink = dir.path() + "hard.jpg";
    const std::string symLink = dir.path() + "soft.jpg";
    ASSERT_EQ(::link(file.c_str(), hardLink.c_str()), 0);
    ASSERT_EQ(::symlink(file.c_str(), symLink.c_str()), 0);
    const std::string missing = dir.path() + "missing.jpg";
    const std::string folder = dir.makeDir("sub");

    const std::pair<std::string, std::string> cases[] = {
        {file, file}, {file, hardLink}, {symLink, file}, {file, missing}, {missing, file}, {missing, missing},
        {folder, folder}, {file, folder},
    };
    for (const auto& [a, b] : cases) {
        EXPECT_FALSE(FilesIdentical(a, b)) << a << " vs " << b;
        EXPECT_FALSE(FilesIdentical(b, a)) << b << " vs " << a;
    }
}

TEST(FilesIdentical, closesBothFilesOnEveryPath)
{
    TempDir dir;
    const std::string a = dir.writeFile("a", bytesOfLength(2048));
    const std::string b = dir.writeFile("b", bytesOfLength(2048));
    const std::string c = dir.writeFile("c", bytesOfLength(2049));
    const int before = nextDescriptor();
    for (int i = 0; i < 50; ++i) {
        FilesIdentical(a, b);
        FilesIdentical(a, c);
        FilesIdentical(a, a);
        FilesIdentical(a, dir.path() + "missing");
        TPreBuffer head{};
        ReadPreBuffer(a, head);
    }
    EXPECT_EQ(nextDescriptor(), before);
}

TEST(FilesIdentical, givesTheSameAnswersFromSeveralThreadsAtOnce)
{
    TempDir dir;
    const std::string big = bytesOfLength(200 * 1024);
    std::string changed = big;
    changed[150 * 1024] = 'z';
    const std::string a = dir.writeFile("a", big);
    const std::string b = dir.writeFile("b", big);
    const std::string c = dir.writeFile("c", changed);
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                wrong[t] += !FilesIdentical(a, b) + FilesIdentical(a, c);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(ReadPreBuffer, takesTheFirst256BytesWithZerosPastTheEnd)
{
    TempDir dir;
    const std::string ten = "0123456789";
    const std::string long_ = bytesOfLength(700);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {{"10 bytes", ten}, {"empty", ""}, {"255 bytes", bytesOfLength(255)},
                          {"256 bytes", bytesOfLength(256)}, {"700 bytes", long_}};
    for (const Case& c : cases) {
        const std::string path = dir.writeFile(c.name, c.bytes);
        TPreBuffer head;
        head.fill(0xAA);
        ReadPreBuffer(path, head);
        for (std::size_t i = 0; i < head.size(); ++i) {
            const auto expected = i < c.bytes.size() ? static_cast<std::uint8_t>(c.bytes[i]) : 0;
            ASSERT_EQ(head[i], expected) << c.name << " byte " << i;
        }
    }
}

TEST(ReadPreBuffer, leavesTheBufferAsItWasWhenTheFileCannotBeOpened)
{
    TempDir dir;
    TPreBuffer head;
    head.fill(0x5C);
    ReadPreBuffer(dir.path() + "missing.jpg", head);
    for (std::uint8_t byte : head)
        ASSERT_EQ(byte, 0x5C);
}
