#include "engine/search/orientations.h"

#include <bit>
#include <utility>

namespace ferrovin {

int FlipIndex(int i)
{
    if (i == 0)
        return 0;
    const int h = int(std::bit_floor(unsigned(i)));
    return 3 * h - 1 - i;
}

const std::array<TokenMap, kTurnedOrientations>& TurnedTokenMaps()
{
    static const std::array<TokenMap, kTurnedOrientations> maps = [] {
        std::array<TokenMap, kTurnedOrientations> made{};
        for (int o = 1; o <= kTurnedOrientations; ++o) {
            for (int token = 0; token < kOrientationTokens; ++token) {
                int row = (token >> 1) / 128;
                int column = (token >> 1) % 128;
                bool negative = (token & 1) != 0;
                if (o & 1) {
                    negative ^= column >= 1;
                    column = FlipIndex(column);
                }
                if (o & 2) {
                    negative ^= row >= 1;
                    row = FlipIndex(row);
                }
                if (o & 4)
                    std::swap(row, column);
                made[std::size_t(o - 1)][std::size_t(token)] =
                    std::uint16_t((row * 128 + column) * 2 + (negative ? 1 : 0));
            }
        }
        return made;
    }();
    return maps;
}

} // namespace ferrovin
