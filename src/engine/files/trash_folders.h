#pragma once

#include <string>
#include <vector>

namespace ferrovin {

// The folders that hold deleted files, each ending in "/": the home trash
// ($XDG_DATA_HOME/Trash/, by default ~/.local/share/Trash/), and at the top of
// every mounted file system .Trash/ and .Trash-<uid>/. The folder scan skips
// everything below them. The home trash comes first; it is left out when no
// home folder can be found.
std::vector<std::string> TrashFolders();

} // namespace ferrovin
