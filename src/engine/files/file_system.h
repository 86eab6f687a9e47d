#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace ferrovin {

// The system calls the file actions make, behind one small interface so that
// tests can make any of them fail. Every call returns 0 or the errno of the
// failure; read and write report the byte count through `done`.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual int stat(const std::string& path, struct stat& st);   // links followed
    virtual int lstat(const std::string& path, struct stat& st);  // the link itself
    // Renames without ever replacing an existing `to` (EEXIST then).
    virtual int renameNoReplace(const std::string& from, const std::string& to);
    virtual int link(const std::string& from, const std::string& to);
    virtual int unlink(const std::string& path);
    virtual int openRead(const std::string& path, int& fd);
    // Creates `path`, failing with EEXIST when anything is already there.
    virtual int createExclusive(const std::string& path, mode_t mode, int& fd);
    virtual int read(int fd, void* buffer, std::size_t size, std::size_t& done);
    virtual int write(int fd, const void* buffer, std::size_t size, std::size_t& done);
    virtual int fstat(int fd, struct stat& st);
    virtual int setTimes(int fd, const struct timespec times[2]);
    virtual int fsync(int fd);
    virtual int close(int fd);
    // Flushes a folder's entries, so a rename or a new name survives a crash.
    virtual int syncFolder(const std::string& folder);
};

// The real calls; shared, stateless.
FileSystem& SystemFileSystem();

// The folder part of `path`, with its trailing "/" ("./" when there is none).
std::string FolderOf(const std::string& path);

} // namespace ferrovin
