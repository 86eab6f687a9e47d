#pragma once

#include <array>
#include <cstdint>

namespace ferrovin {

// Turning or mirroring a picture moves its Haar coefficients to other places
// of the 128 x 128 matrix and flips some signs, so a turned copy keeps the
// original's positions under a fixed map. A token is position * 2 + (1 when
// negative), position = row * 128 + column, as the matcher indexes them.

// The index mirrored within its band: 0 stays, otherwise 3h - 1 - i where h
// is the largest power of two not above i.
int FlipIndex(int i);

inline constexpr int kTurnedOrientations = 7;  // the three turns and four mirrors
inline constexpr int kOrientationTokens = 128 * 128 * 2;

// Where each token goes in each orientation other than the picture as it is.
// Orientation o (1 ... 7) mirrors left-right when bit 0 is set (column
// mirrored, sign negated for columns >= 1), top-bottom when bit 1 is set (the
// same for rows), then transposes when bit 2 is set; entry o - 1 holds it.
using TokenMap = std::array<std::uint16_t, kOrientationTokens>;
const std::array<TokenMap, kTurnedOrientations>& TurnedTokenMaps();

} // namespace ferrovin
