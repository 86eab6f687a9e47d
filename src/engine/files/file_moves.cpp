#include "engine/files/file_moves.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/files/file_system.h"

namespace ferrovin {

namespace {

constexpr std::size_t kBlock = 1 << 20;

// Closes a descriptor on every path out of a step.
class Descriptor final {
public:
    explicit Descriptor(FileSystem& fs) : m_fs(fs) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            m_fs.close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int& fd() { return m_fd; }
    int close()
    {
        const int error = m_fs.close(m_fd);
        m_fd = -1;
        return error;
    }

private:
    FileSystem& m_fs;
    int m_fd = -1;
};

int readFull(FileSystem& fs, int fd, char* buffer, std::size_t size, std::size_t& got)
{
    got = 0;
    while (got < size) {
        std::size_t n = 0;
        if (int error = fs.read(fd, buffer + got, size - got, n); error != 0)
            return error;
        if (n == 0)
            break;
        got += n;
    }
    return 0;
}

int writeFull(FileSystem& fs, int fd, const char* buffer, std::size_t size)
{
    std::size_t put = 0;
    while (put < size) {
        std::size_t n = 0;
        if (int error = fs.write(fd, buffer + put, size - put, n); error != 0)
            return error;
        if (n == 0)
            return EIO;
        put += n;
    }
    return 0;
}

// Writes the copy and flushes it; `created` tells the caller it has a file to
// remove if anything fails later.
int writeCopy(FileSystem& fs, const std::string& source, const std::string& target,
              bool& created)
{
    Descriptor in(fs);
    if (int error = fs.openRead(source, in.fd()); error != 0)
        return error;
    struct stat st {};
    if (int error = fs.fstat(in.fd(), st); error != 0)
        return error;
    if (!S_ISREG(st.st_mode))
        return EINVAL;

    Descriptor out(fs);
    if (int error = fs.createExclusive(target, st.st_mode & 07777, out.fd()); error != 0)
        return error;
    created = true;

    std::vector<char> buffer(kBlock);
    for (;;) {
        std::size_t got = 0;
        if (int error = readFull(fs, in.fd(), buffer.data(), buffer.size(), got); error != 0)
            return error;
        if (got == 0)
            break;
        if (int error = writeFull(fs, out.fd(), buffer.data(), got); error != 0)
            return error;
    }
    // The moved file keeps its modification time, as a rename would.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (int error = fs.setTimes(out.fd(), times); error != 0)
        return error;
    if (int error = fs.fsync(out.fd()); error != 0)
        return error;
    if (int error = out.close(); error != 0)
        return error;
    return fs.syncFolder(FolderOf(target));
}

// Reads both files back from the start and compares them byte for byte.
int compareCopy(FileSystem& fs, const std::string& source, const std::string& target)
{
    Descriptor a(fs);
    Descriptor b(fs);
    if (int error = fs.openRead(source, a.fd()); error != 0)
        return error;
    if (int error = fs.openRead(target, b.fd()); error != 0)
        return error;
    std::vector<char> left(kBlock);
    std::vector<char> right(kBlock);
    for (;;) {
        std::size_t gotLeft = 0;
        std::size_t gotRight = 0;
        if (int error = readFull(fs, a.fd(), left.data(), left.size(), gotLeft); error != 0)
            return error;
        if (int error = readFull(fs, b.fd(), right.data(), right.size(), gotRight); error != 0)
            return error;
        if (gotLeft != gotRight || std::memcmp(left.data(), right.data(), gotLeft) != 0)
            return EIO;
        if (gotLeft == 0)
            return 0;
    }
}

int copyThenRemove(FileSystem& fs, const std::string& source, const std::string& target)
{
    bool created = false;
    int error = writeCopy(fs, source, target, created);
    if (error == 0)
        error = compareCopy(fs, source, target);
    if (error == 0)
        error = fs.unlink(source);
    if (error != 0) {
        // Only a file this move created is removed; the source stays untouched.
        if (created)
            fs.unlink(target);
        return error;
    }
    fs.syncFolder(FolderOf(source));
    return 0;
}

} // namespace

int MoveFileSafely(FileSystem& fs, const std::string& source, const std::string& target)
{
    int error = fs.renameNoReplace(source, target);
    if (error == 0) {
        fs.syncFolder(FolderOf(target));
        return 0;
    }
    if (error == EXDEV)
        return copyThenRemove(fs, source, target);
    if (error != EINVAL && error != ENOSYS)
        return error;

    // A file system that cannot rename without replacing: a second name for
    // the file fails on an existing target just the same.
    error = fs.link(source, target);
    if (error == EXDEV || error == EPERM || error == EOPNOTSUPP || error == EMLINK)
        return copyThenRemove(fs, source, target);
    if (error != 0)
        return error;
    if (error = fs.unlink(source); error != 0) {
        fs.unlink(target);
        return error;
    }
    fs.syncFolder(FolderOf(target));
    return 0;
}

} // namespace ferrovin
