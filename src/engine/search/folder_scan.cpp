#include "engine/search/folder_scan.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_set>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/catalogue/catalogue.h"
#include "engine/files/folder_listing.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"

namespace ferrovin {

namespace {

struct PictureMask {
    const char* pattern;
    bool Settings::*enabled;
};

// Tried in this order in every folder; the order decides the order of PicList.
constexpr std::array<PictureMask, 5> kMasks{{
    {"*.bmp", &Settings::SearchBMP},
    {"*.jp*g", &Settings::SearchJPG},
    {"*.gif", &Settings::SearchGIF},
    {"*.png", &Settings::SearchPNG},
    {"*.tif*", &Settings::SearchTIFF},
}};

std::string currentFolder()
{
    std::array<char, PATH_MAX> buffer{};
    if (::getcwd(buffer.data(), buffer.size()))
        return buffer.data();
    return ".";
}

} // namespace

FolderScan::FolderScan(Catalogue& catalogue, const Settings& settings,
                       std::vector<std::string> trashFolders, SearchObserver& observer)
    : m_catalogue(catalogue), m_settings(settings), m_trashFolders(std::move(trashFolders)),
      m_observer(observer)
{
    // The test is a prefix test on whole folder names: "/x/Trash" must not catch "/x/Trashy/".
    for (std::string& trash : m_trashFolders) {
        if (!trash.empty() && trash.back() != '/')
            trash += '/';
    }
}

int FolderScan::ScanRoot(const std::string& folder)
{
    std::string path = folder.empty() ? currentFolder() : folder;
    if (path.back() != '/')
        path += '/';
    return ScanFolder(path);
}

bool FolderScan::EnterFolder(const std::string& path, int& error)
{
    error = 0;
    for (const std::string& trash : m_trashFolders) {
        if (!trash.empty() && path.starts_with(trash))
            return false;
    }
    // One folder reached by two routes (links, bind mounts) is walked once, by the
    // first: a link cycle ends here, and no file is catalogued twice.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = errno;
        return false;
    }
    return m_walked.emplace(static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino))
        .second;
}

int FolderScan::ScanFolder(std::string& path)
{
    int error = 0;
    if (!EnterFolder(path, error))
        return error;

    const std::size_t length = path.size();
    bool registered = false;
    // Names catalogued from this folder: the same-name test of the later masks
    // looks only at them, since they are the newest entries of PicList.
    std::unordered_set<std::string> catalogued;
    std::unordered_set<std::string> unreadable;  // a name may match two masks; told once

    for (std::size_t maskIndex = 0; maskIndex < kMasks.size(); ++maskIndex) {
        const PictureMask& mask = kMasks[maskIndex];
        if (!(m_settings.*mask.enabled))
            continue;
        if (StopTest(m_catalogue.SearchStopped, m_observer))
            return error;
        const Listing<FolderEntry> listing = ListFolder(path, mask.pattern);
        if (listing.Error != 0) {
            if (error == 0)
                error = listing.Error;
            continue;
        }
        for (const FolderEntry& entry : listing.Items) {
            if (entry.StatError != 0) {
                if (unreadable.insert(entry.Name).second)
                    m_observer.passedOver({PassedOver::Kind::UnreadableFile, path + entry.Name,
                                           std::strerror(entry.StatError)});
                continue;
            }
            if (entry.IsDirectory || entry.Size == 0)
                continue;
            if (!registered) {
                m_catalogue.RegisterFolder(path);
                registered = true;
            } else if (maskIndex > 0 && catalogued.contains(entry.Name)) {
                continue;
            }
            catalogued.insert(entry.Name);

            TPicInfo& pic = m_catalogue.CataloguePicture();
            pic.Time = DosDateTime(entry.LastWrite);
            pic.Size = entry.Size;
            pic.Attr = FileAttributes(entry.Name, entry.IsRegular, entry.OwnerWritable);
            pic.FileName = entry.Name;
            pic.PathInd = m_catalogue.LastPathIndex;
            pic.Deleted = false;
            pic.CCVStage = TCCVStage::None;

            const std::int32_t last = m_catalogue.LastPicIndex;
            if (last % 10 == 0) {
                m_observer.filesCountText("Total pictures scanned: 0 / " + std::to_string(last + 1));
                SearchProgress counters;
                counters.catalogued = last + 1;
                m_observer.progress(counters);
            }
            if (StopTest(m_catalogue.SearchStopped, m_observer))
                break;
        }
    }

    if (!m_settings.ScanSubfolders)
        return error;
    const Listing<std::string> subfolders = ListSubfolders(path);
    if (subfolders.Error != 0)
        return error != 0 ? error : subfolders.Error;
    // Depth of recursion = depth of folders; the path-length limit of the system
    // (opendir fails beyond PATH_MAX) bounds it to about two thousand levels.
    for (const std::string& name : subfolders.Items) {
        path += name;
        path += '/';
        if (const int failed = ScanFolder(path))
            m_observer.passedOver({PassedOver::Kind::UnlistableFolder, path, std::strerror(failed)});
        path.resize(length);
    }
    return error;
}

} // namespace ferrovin
