#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace ferrovin {

// One entry of a folder listing, described by stat with links followed: a
// symbolic link shows as what it points at.
struct FolderEntry {
    std::string Name;
    bool IsDirectory = false;
    bool IsRegular = false;
    bool OwnerWritable = false;
    std::int64_t Size = 0;
    std::timespec LastWrite{};
    int StatError = 0;  // errno of a failed stat (dangling link, no permission); then only Name holds
};

// Last-write time as an MS-DOS date (high 16 bits) and time (low 16 bits) in
// local time, two-second resolution; 0 for times before 1980 or after 2107.
std::int32_t DosDateTime(const std::timespec& lastWrite);

// Attribute bits of a catalogued file: 0x01 read-only (owner may not write),
// 0x02 hidden (name starts with "."), 0x20 archive (a regular file).
std::uint32_t FileAttributes(const std::string& name, bool isRegular, bool ownerWritable);

// True when `name` matches the wildcard `mask`: '*' stands for any run of
// characters (dots included), '?' for one, ASCII letters match either case.
bool MatchesMask(std::string_view name, std::string_view mask);

// The listing order: names compared byte by byte with ASCII a-z upper-cased,
// names equal under that comparison ordered by their raw bytes.
bool ListingLess(std::string_view a, std::string_view b);

// What a listing gives: the items in listing order, or, when the folder could
// not be opened, nothing but the errno of opendir.
template <typename Item>
struct Listing {
    std::vector<Item> Items;
    int Error = 0;
};

// The entries of `folder` whose names match `mask`, without "." and ".."; an
// entry whose stat fails is kept with StatError set.
Listing<FolderEntry> ListFolder(const std::string& folder, std::string_view mask);

// The names of the subfolders of `folder` (links to folders included), without
// "." and "..".
Listing<std::string> ListSubfolders(const std::string& folder);

} // namespace ferrovin
