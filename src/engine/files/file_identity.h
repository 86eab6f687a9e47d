#pragma once

#include <string>

#include "engine/catalogue/catalogue.h"

namespace ferrovin {

// The first 256 bytes of the file, zeros past its end. A file that cannot be
// opened leaves Buffer as it was. Never throws.
void ReadPreBuffer(const std::string& FileName, TPreBuffer& Buffer);

// True only when both files open read-only and hold the same bytes, length
// included. The same file under two names (same device and inode) is false, as
// is any file that cannot be read. Compares in 1024-byte blocks. Never throws.
bool FilesIdentical(const std::string& FileName1, const std::string& FileName2);

} // namespace ferrovin
