#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <set>
#include <vector>

namespace ferrovin {

struct Catalogue;
struct Settings;
class SearchObserver;

// Walks listed folders into the catalogue: enabled masks in their fixed order,
// zero-byte files skipped, a folder registered on its first catalogued file,
// subfolders (when Settings::ScanSubfolders) in listing order. Folders under one
// of `trashFolders` are skipped; a folder already walked in this search (same
// device and inode) is not walked again. One object serves one search.
class FolderScan final {
public:
    FolderScan(Catalogue& catalogue, const Settings& settings,
               std::vector<std::string> trashFolders, SearchObserver& observer);

    // `folder` as written ("/" appended when missing; empty = current directory).
    // Returns the errno that kept the folder itself from being listed, 0 when
    // it was walked (or passed over as trash or as one walked already); that
    // failure is left to the caller, while those below it go to the observer.
    int ScanRoot(const std::string& folder);

private:
    // Walks one folder and returns what ScanRoot returns for it.
    int ScanFolder(std::string& path);
    // The trash test and the (device, inode) guard: false when `path` is not
    // walked, with `error` set when its stat failed.
    bool EnterFolder(const std::string& path, int& error);

    Catalogue& m_catalogue;
    const Settings& m_settings;
    std::vector<std::string> m_trashFolders;
    SearchObserver& m_observer;
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_walked;  // (device, inode)
};

} // namespace ferrovin
