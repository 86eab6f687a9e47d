#pragma once

#include <cstdint>
#include <string>

namespace ferrovin {

// Milliseconds as "hh:mm:ss", two digits each; hours past 99 keep their last
// two digits, so 100 hours read "00:00:00".
std::string FormatElapsed(std::uint32_t milliseconds);

// A byte count as "1.234 GB", "12.34 MB", "12 KB" or "512 B" (zero and negative
// counts stay in bytes). Decimals are fixed per unit, never grouped, and use
// `decimalSeparator` so the front end can pass its locale's separator.
std::string FormatByteSize(std::int64_t size, char decimalSeparator = '.');

} // namespace ferrovin
