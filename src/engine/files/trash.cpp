#include "engine/files/trash.h"

#include "engine/files/file_moves.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrovin {

namespace {

std::string withSlash(std::string path)
{
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

// Creates `path` and its missing parents with mode 0700, as the trash rules ask
// for folders the program makes itself.
int makeFolders(const std::string& path)
{
    std::string partial;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        partial = path.substr(0, end);
        start = end + 1;
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Absolute form of `path` with its folder part resolved; the last component is
// kept as it is so that a link is trashed as the link, not as its target.
std::string absoluteOf(const std::string& path, int& error)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char resolved[PATH_MAX];
    if (::realpath(folder.c_str(), resolved) == nullptr) {
        error = errno;
        return {};
    }
    error = 0;
    return withSlash(resolved) + name;
}

std::string deletionDate()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// "photo.jpg" -> "photo 2.jpg"; a leading dot does not start an extension.
std::string numberedName(const std::string& name, int n)
{
    const std::size_t dot = name.rfind('.');
    // Appended rather than '" " + text': GCC 12 warns falsely (-Wrestrict) on
    // the insertion at the front that the operator does.
    std::string suffix = " ";
    suffix += std::to_string(n);
    if (dot == std::string::npos || dot == 0)
        return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

} // namespace

std::string HomeTrashFolder()
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/')
        return withSlash(dataHome) + "Trash/";
    const char* home = std::getenv("HOME");
    return withSlash(home != nullptr ? home : "") + ".local/share/Trash/";
}

std::string MountPointOf(const std::string& path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        return "/";
    std::string current = resolved;
    struct stat st {};
    if (::stat(current.c_str(), &st) != 0)
        return "/";
    const dev_t device = st.st_dev;
    // Climb while the parent still lies on the same device.
    while (current != "/") {
        const std::size_t slash = current.rfind('/');
        const std::string parent = slash == 0 ? "/" : current.substr(0, slash);
        if (::stat(parent.c_str(), &st) != 0 || st.st_dev != device)
            break;
        current = parent;
    }
    return withSlash(current);
}

std::string PercentEncodePath(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : path) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
            || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~'
            || c == '/';
        if (plain) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int MoveIntoTrashFolder(const std::string& path, const std::string& trashFolder,
                        const std::string& infoPath, FileSystem& fs)
{
    const std::string trash = withSlash(trashFolder);
    if (int error = makeFolders(trash + "files"); error != 0)
        return error;
    if (int error = makeFolders(trash + "info"); error != 0)
        return error;

    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string record = "[Trash Info]\nPath=" + PercentEncodePath(infoPath)
        + "\nDeletionDate=" + deletionDate() + "\n";

    // The info file is created exclusively first: it reserves the name against
    // another program trashing a file of the same name at the same moment.
    for (int n = 1;; ++n) {
        const std::string trashName = n == 1 ? name : numberedName(name, n);
        const std::string infoFile = trash + "info/" + trashName + ".trashinfo";
        const std::string target = trash + "files/" + trashName;
        const int fd = ::open(infoFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        struct stat st {};
        if (::lstat(target.c_str(), &st) == 0) {
            // An orphan in files/ without its record: leave it and try the next name.
            ::close(fd);
            ::unlink(infoFile.c_str());
            continue;
        }
        const bool written = writeAll(fd, record);
        int error = written ? 0 : errno;
        if (::close(fd) != 0 && error == 0)
            error = errno;
        if (error == 0)
            error = MoveFileSafely(fs, path, target);
        if (error != 0)
            ::unlink(infoFile.c_str());
        if (error == EEXIST)
            continue;  // a file took that name in files/ meanwhile
        return error;
    }
}

int MoveToTrash(const std::string& path, FileSystem& fs)
{
    struct stat file {};
    if (int error = fs.lstat(path, file); error != 0)
        return error;
    int error = 0;
    const std::string absolute = absoluteOf(path, error);
    if (error != 0)
        return error;

    const std::string home = HomeTrashFolder();
    // The home trash may not exist yet: judge its device by the nearest folder
    // that does.
    std::string probe = home;
    struct stat trashStat {};
    while (::stat(probe.c_str(), &trashStat) != 0) {
        if (probe.size() <= 1)
            break;
        probe.pop_back();
        const std::size_t slash = probe.rfind('/');
        probe = slash == std::string::npos ? "/" : probe.substr(0, slash + 1);
    }
    if (trashStat.st_dev == file.st_dev)
        return MoveIntoTrashFolder(absolute, home, absolute, fs);

    const std::size_t slash = absolute.rfind('/');
    const std::string top = MountPointOf(absolute.substr(0, slash + 1));
    const std::string trash = top + ".Trash-" + std::to_string(::getuid()) + "/";
    // A trash at a mount point records the path relative to that mount point,
    // so the record stays right wherever the medium is mounted next time.
    return MoveIntoTrashFolder(absolute, trash, absolute.substr(top.size()), fs);
}

} // namespace ferrovin
