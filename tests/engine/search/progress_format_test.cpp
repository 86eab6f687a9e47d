#include "engine/search/progress_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace ferrovin {
namespace {

TEST(FormatElapsed, printsTwoDigitFieldsAndWrapsHoursPastNinetyNine)
{
    const struct {
        std::uint32_t ms;
        const char* text;
    } cases[] = {
        {0, "00:00:00"},
        {999, "00:00:00"},
        {1000, "00:00:01"},
        {3661000, "01:01:01"},
        {(99u * 3600 + 59 * 60 + 59) * 1000 + 999, "99:59:59"},
        {100u * 3600 * 1000, "00:00:00"},
        {101u * 3600 * 1000 + 5000, "01:00:05"},
        {UINT32_MAX, "93:02:47"},  // 1193 h 2 min 47 s
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatElapsed(c.ms), c.text) << c.ms;
}

TEST(FormatByteSize, picksTheUnitAtEachPowerOf1024)
{
    const struct {
        std::int64_t size;
        const char* text;
    } cases[] = {
        {-5, "-5 B"},
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1535, "1 KB"},
        {1048575, "1024 KB"},  // 1023.999 printed without decimals
        {1048576, "1.00 MB"},
        {1572864, "1.50 MB"},
        {1073741823, "1024.00 MB"},
        {1073741824, "1.000 GB"},
        {5368709120, "5.000 GB"},
        {INT64_MAX, "8589934592.000 GB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatByteSize(c.size), c.text) << c.size;
}

TEST(FormatByteSize, usesTheGivenDecimalSeparatorOnlyWhereDecimalsArePrinted)
{
    EXPECT_EQ(FormatByteSize(1073741824, ','), "1,000 GB");
    EXPECT_EQ(FormatByteSize(1572864, ','), "1,50 MB");
    EXPECT_EQ(FormatByteSize(2048, ','), "2 KB");
    EXPECT_EQ(FormatByteSize(1536, ','), "2 KB");  // 1.5 rounds to even
}

} // namespace
} // namespace ferrovin
