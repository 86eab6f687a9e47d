#include "engine/files/file_identity.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrovin {

namespace {

constexpr std::size_t kBlockSize = 1024;

// A read-only descriptor closed on every path. O_NONBLOCK keeps a FIFO that
// slipped into the catalogue from blocking the open; regular files ignore it.
class ReadOnlyFile final {
public:
    explicit ReadOnlyFile(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
    }
    ~ReadOnlyFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// Reads until `size` bytes are in or the file ends, so that an interrupted or
// short read never looks like an early end. False on a read error; `got` then
// counts the bytes read before it.
bool readFully(int fd, unsigned char* buffer, std::size_t size, std::size_t& got)
{
    got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

void ReadPreBuffer(const std::string& FileName, TPreBuffer& Buffer)
{
    const ReadOnlyFile file(FileName);
    if (!file.isOpen())
        return;
    unsigned char head[kPreBufferSize] = {};
    std::size_t got = 0;
    // On a read error the bytes not read stay zero, like those past a short end.
    readFully(file.fd(), head, sizeof head, got);
    std::memcpy(Buffer.data(), head, sizeof head);
}

bool FilesIdentical(const std::string& FileName1, const std::string& FileName2)
{
    const ReadOnlyFile file1(FileName1);
    if (!file1.isOpen())
        return false;
    const ReadOnlyFile file2(FileName2);
    if (!file2.isOpen())
        return false;

    struct stat st1 {};
    struct stat st2 {};
    if (::fstat(file1.fd(), &st1) != 0 || ::fstat(file2.fd(), &st2) != 0)
        return false;
    // One file under two names is never its own duplicate: deleting "the
    // duplicate" would delete the only copy.
    if (st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino)
        return false;
    // Only regular files have an end to reach; a device could be read forever.
    if (!S_ISREG(st1.st_mode) || !S_ISREG(st2.st_mode))
        return false;

    unsigned char block1[kBlockSize];
    unsigned char block2[kBlockSize];
    for (;;) {
        std::size_t n1 = 0;
        std::size_t n2 = 0;
        if (!readFully(file1.fd(), block1, kBlockSize, n1)
            || !readFully(file2.fd(), block2, kBlockSize, n2))
            return false;
        if (n1 != n2)
            return false;
        if (n1 == 0)
            return true;
        if (std::memcmp(block1, block2, n1) != 0)
            return false;
    }
}

} // namespace ferrovin
