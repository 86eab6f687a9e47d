#pragma once

#include <string>

namespace ferrovin {

class FileSystem;

// Moves the file `source` to the full path `target`. Never replaces anything
// at `target` (EEXIST). Across file systems the file is copied, flushed and
// compared with the source before the source goes; on any failure the copy
// is removed and the source is left as it was. Returns 0 or the errno of the
// step that failed (EIO when the copy read back differs).
int MoveFileSafely(FileSystem& fs, const std::string& source, const std::string& target);

} // namespace ferrovin
