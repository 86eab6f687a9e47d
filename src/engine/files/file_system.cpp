#include "engine/files/file_system.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace ferrovin {

namespace {

int result(int rc)
{
    return rc == 0 ? 0 : errno;
}

// A read or write, tried again when a signal interrupts it.
template <class Call>
int retried(const Call& call, std::size_t& done)
{
    for (;;) {
        const ssize_t n = call();
        if (n >= 0) {
            done = std::size_t(n);
            return 0;
        }
        if (errno != EINTR) {
            done = 0;
            return errno;
        }
    }
}

} // namespace

int FileSystem::stat(const std::string& path, struct stat& st)
{
    return result(::stat(path.c_str(), &st));
}

int FileSystem::lstat(const std::string& path, struct stat& st)
{
    return result(::lstat(path.c_str(), &st));
}

int FileSystem::renameNoReplace(const std::string& from, const std::string& to)
{
    return result(::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
}

int FileSystem::link(const std::string& from, const std::string& to)
{
    return result(::link(from.c_str(), to.c_str()));
}

int FileSystem::unlink(const std::string& path)
{
    return result(::unlink(path.c_str()));
}

int FileSystem::openRead(const std::string& path, int& fd)
{
    // Non-blocking, so a FIFO that took a picture's name cannot hang the action.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    return fd >= 0 ? 0 : errno;
}

int FileSystem::createExclusive(const std::string& path, mode_t mode, int& fd)
{
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    return fd >= 0 ? 0 : errno;
}

int FileSystem::read(int fd, void* buffer, std::size_t size, std::size_t& done)
{
    return retried([&] { return ::read(fd, buffer, size); }, done);
}

int FileSystem::write(int fd, const void* buffer, std::size_t size, std::size_t& done)
{
    return retried([&] { return ::write(fd, buffer, size); }, done);
}

int FileSystem::fstat(int fd, struct stat& st)
{
    return result(::fstat(fd, &st));
}

int FileSystem::setTimes(int fd, const struct timespec times[2])
{
    return result(::futimens(fd, times));
}

int FileSystem::fsync(int fd)
{
    return result(::fsync(fd));
}

int FileSystem::close(int fd)
{
    return result(::close(fd));
}

int FileSystem::syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = result(::fsync(fd));
    // Some file systems cannot flush a folder; the rename itself still stands.
    if (error == EINVAL || error == EROFS)
        error = 0;
    ::close(fd);
    return error;
}

FileSystem& SystemFileSystem()
{
    static FileSystem system;
    return system;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

} // namespace ferrovin
