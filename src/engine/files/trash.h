#pragma once

#include <string>

#include "engine/files/file_system.h"

namespace ferrovin {

// Moves one file (or link) to the desktop's trash the freedesktop.org way, with
// a .trashinfo record, so the desktop's trash can restore it. A file on the
// same file system as the home trash goes to $XDG_DATA_HOME/Trash (default
// ~/.local/share/Trash); any other to <mount point>/.Trash-<uid>. Returns 0 when
// the file has left its folder, else the errno of the failed step (the file is
// then still where it was).
int MoveToTrash(const std::string& path, FileSystem& fs = SystemFileSystem());

// The home trash folder, with a trailing "/".
std::string HomeTrashFolder();

// The top folder of the file system that holds `path` (which must exist),
// with a trailing "/"; "/" for the root file system.
std::string MountPointOf(const std::string& path);

// Moves `path` into `trashFolder` (files/ and info/ are created when missing),
// recording `infoPath` as the original location. Names already in the trash
// get a " 2", " 3" ... before their extension; nothing in the trash is ever
// replaced. Returns 0 or an errno.
int MoveIntoTrashFolder(const std::string& path, const std::string& trashFolder,
                        const std::string& infoPath, FileSystem& fs = SystemFileSystem());

// Percent-encodes every byte outside A-Z a-z 0-9 - _ . ~ and "/", as the
// trash's Path key wants.
std::string PercentEncodePath(const std::string& path);

} // namespace ferrovin
