#include "engine/files/folder_listing.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace ferrovin {

namespace {

unsigned char upper(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

std::int32_t DosDateTime(const std::timespec& lastWrite)
{
    const std::time_t seconds = lastWrite.tv_sec;
    std::tm local {};
    if (!::localtime_r(&seconds, &local))
        return 0;
    const int year = local.tm_year + 1900;
    // Seven bits of year from 1980: times outside 1980-2107 cannot be packed.
    if (year < 1980 || year > 2107)
        return 0;
    const auto date = static_cast<std::uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    // A leap second (tm_sec 60) would overflow the five bits of seconds / 2.
    const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    const auto time = static_cast<std::uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | (second / 2));
    return static_cast<std::int32_t>((date << 16) | time);
}

std::uint32_t FileAttributes(const std::string& name, bool isRegular, bool ownerWritable)
{
    std::uint32_t attr = 0;
    if (!ownerWritable)
        attr |= 0x01;
    if (!name.empty() && name.front() == '.')
        attr |= 0x02;
    if (isRegular)
        attr |= 0x20;
    return attr;
}

bool MatchesMask(std::string_view name, std::string_view mask)
{
    // Greedy match with one backtrack point: the last '*' seen.
    std::size_t n = 0, m = 0;
    std::size_t starMask = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < mask.size()
                   && (mask[m] == '?'
                       || upper(static_cast<unsigned char>(mask[m])) == upper(static_cast<unsigned char>(name[n])))) {
            ++m;
            ++n;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

bool ListingLess(std::string_view a, std::string_view b)
{
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const unsigned char x = upper(static_cast<unsigned char>(a[i]));
        const unsigned char y = upper(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;  // std::string_view compares as unsigned bytes
}

Listing<FolderEntry> ListFolder(const std::string& folder, std::string_view mask)
{
    DirHandle dir(::opendir(folder.c_str()));
    if (!dir)
        return {{}, errno};
    const int fd = ::dirfd(dir.get());
    Listing<FolderEntry> listing;
    std::vector<FolderEntry>& entries = listing.Items;
    while (const dirent* item = ::readdir(dir.get())) {
        if (isDotOrDotDot(item->d_name) || !MatchesMask(item->d_name, mask))
            continue;
        FolderEntry& entry = entries.emplace_back();
        entry.Name = item->d_name;
        struct stat info {};
        if (::fstatat(fd, item->d_name, &info, 0) != 0) {
            entry.StatError = errno;
            continue;
        }
        entry.IsDirectory = S_ISDIR(info.st_mode);
        entry.IsRegular = S_ISREG(info.st_mode);
        entry.OwnerWritable = (info.st_mode & S_IWUSR) != 0;
        entry.Size = static_cast<std::int64_t>(info.st_size);
        entry.LastWrite = info.st_mtim;
    }
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return ListingLess(a.Name, b.Name); });
    return listing;
}

Listing<std::string> ListSubfolders(const std::string& folder)
{
    DirHandle dir(::opendir(folder.c_str()));
    if (!dir)
        return {{}, errno};
    const int fd = ::dirfd(dir.get());
    Listing<std::string> listing;
    std::vector<std::string>& names = listing.Items;
    while (const dirent* item = ::readdir(dir.get())) {
        if (isDotOrDotDot(item->d_name))
            continue;
        bool isDirectory = item->d_type == DT_DIR;
        // Only links and file systems that do not report the type need a stat;
        // this keeps folders of many files cheap to walk.
        if (item->d_type == DT_LNK || item->d_type == DT_UNKNOWN) {
            struct stat info {};
            isDirectory = ::fstatat(fd, item->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
        }
        if (isDirectory)
            names.emplace_back(item->d_name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return ListingLess(a, b); });
    return listing;
}

} // namespace ferrovin
