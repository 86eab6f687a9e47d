#pragma once

#include <string>
#include <vector>

namespace ferrovin {

// The folders that hold deleted files, each ending in "/": the home trash
// ($XDG_DATA_HOME/Trash/, by default ~/.local/share/Trash/), and at the top of
// every mounted file system .Trash/ and .Trash-<uid>/. The folder scan skips
// everything below them.
std::vector<std::string> TrashFolders();

// The home trash alone, as above; empty when no home folder can be found.
std::string HomeTrashFolder();

} // namespace ferrovin
