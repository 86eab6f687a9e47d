#pragma once

#include <cstdint>
#include <string>

#include "engine/catalogue/catalogue.h"

namespace ferrovin {

class FileSystem;

// What a delete or move of one picture of a pair came to.
enum class TActionOutcome {
    Done,      // the file left its folder; the pairs naming it are gone
    Missing,   // no file at the picture's path any more
    Changed,   // size or modification time differ from what the search saw
    SameFile,  // both pictures of the pair are one file on disk
    Failed,    // the system refused; `error` holds the errno
};

struct TActionResult {
    TActionOutcome outcome = TActionOutcome::Done;
    int error = 0;  // errno when Failed
};

// The acted-on picture of pair `row`: PicIndex1 for side 1, PicIndex2 for side 2.
std::int32_t ActedPicture(const Catalogue& catalogue, std::int32_t row, int side);

// The checks that come before any change to a picture file: it must still be
// there, unchanged since the search, and not the same file as its partner
// (deleting or moving either name of one file would lose the only copy).
TActionResult CheckPictureAction(FileSystem& fs, const Catalogue& catalogue, std::int32_t row,
                                 int side);

// Checks again, then deletes the file (to the trash when `toTrash`, else for
// good). Done drops every pair naming the picture and marks it Deleted;
// anything else leaves the file and the table as they were.
TActionResult DeletePicture(FileSystem& fs, Catalogue& catalogue, std::int32_t row, int side,
                            bool toTrash);

// Checks again, then moves the file into `folder` under its own name, never
// replacing a file there. Done drops the picture's pairs as a delete does.
TActionResult MovePicture(FileSystem& fs, Catalogue& catalogue, std::int32_t row, int side,
                          const std::string& folder);

// `folder` with a "/" appended when it has none, then `name`.
std::string MoveTarget(const std::string& folder, const std::string& name);

} // namespace ferrovin
