#include "engine/results/file_actions.h"

#include <cerrno>

#include "engine/files/file_moves.h"
#include "engine/files/file_system.h"
#include "engine/files/folder_listing.h"
#include "engine/files/trash.h"

namespace ferrovin {

std::int32_t ActedPicture(const Catalogue& catalogue, std::int32_t row, int side)
{
    const TPicturePair& pair = catalogue.PicturePairs[static_cast<std::size_t>(row)];
    return side == 1 ? pair.PicIndex1 : pair.PicIndex2;
}

TActionResult CheckPictureAction(FileSystem& fs, const Catalogue& catalogue, std::int32_t row,
                                 int side)
{
    const std::int32_t p = ActedPicture(catalogue, row, side);
    const TPicInfo& pic = catalogue.PicList[static_cast<std::size_t>(p)];
    struct stat st {};
    if (int error = fs.stat(catalogue.FullPath(p), st); error != 0) {
        if (error == ENOENT || error == ENOTDIR)
            return {TActionOutcome::Missing, error};
        return {TActionOutcome::Failed, error};
    }
    // The search recorded the size and the two-second DOS time; a file that
    // was rewritten since is not the picture the user compared.
    if (st.st_size != pic.Size || DosDateTime(st.st_mtim) != pic.Time)
        return {TActionOutcome::Changed, 0};

    const std::int32_t partner = ActedPicture(catalogue, row, side == 1 ? 2 : 1);
    struct stat other {};
    if (fs.stat(catalogue.FullPath(partner), other) == 0 && other.st_dev == st.st_dev
        && other.st_ino == st.st_ino)
        return {TActionOutcome::SameFile, 0};
    return {};
}

TActionResult DeletePicture(FileSystem& fs, Catalogue& catalogue, std::int32_t row, int side,
                            bool toTrash)
{
    const TActionResult check = CheckPictureAction(fs, catalogue, row, side);
    if (check.outcome != TActionOutcome::Done)
        return check;
    const std::int32_t p = ActedPicture(catalogue, row, side);
    const std::string path = catalogue.FullPath(p);
    const int error = toTrash ? MoveToTrash(path, fs) : fs.unlink(path);
    if (error != 0)
        return {TActionOutcome::Failed, error};
    catalogue.RemovePairsOf(p);
    return {};
}

TActionResult MovePicture(FileSystem& fs, Catalogue& catalogue, std::int32_t row, int side,
                          const std::string& folder)
{
    const TActionResult check = CheckPictureAction(fs, catalogue, row, side);
    if (check.outcome != TActionOutcome::Done)
        return check;
    const std::int32_t p = ActedPicture(catalogue, row, side);
    const std::string source = catalogue.FullPath(p);
    const std::string target = MoveTarget(folder, catalogue.PicList[static_cast<std::size_t>(p)].FileName);
    if (int error = MoveFileSafely(fs, source, target); error != 0)
        return {TActionOutcome::Failed, error};
    catalogue.RemovePairsOf(p);
    return {};
}

std::string MoveTarget(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() != '/')
        return folder + "/" + name;
    return folder + name;
}

} // namespace ferrovin
