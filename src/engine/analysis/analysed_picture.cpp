#include "engine/analysis/analysed_picture.h"

#include <algorithm>

#include "engine/settings/settings.h"

namespace ferrovin {

namespace {
constexpr std::int32_t kMinimumSideBound = 5;
}

bool PassesSizeTest(std::int32_t height, std::int32_t width, const Settings& settings)
{
    if (height < std::max(settings.MinPicHeight, kMinimumSideBound))
        return false;
    return width >= std::max(settings.MinPicWidth, kMinimumSideBound);
}

} // namespace ferrovin
