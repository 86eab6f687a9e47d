#include "engine/search/progress_format.h"

#include <cstdio>

namespace ferrovin {

namespace {

std::string twoDigits(std::uint32_t value)
{
    const char text[3] = {char('0' + value / 10 % 10), char('0' + value % 10), '\0'};
    return text;
}

// printf writes the decimal point of the process locale (Qt front ends set it
// from the environment); swap in the separator the caller asked for.
std::string fixed(double value, int decimals, char decimalSeparator)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    if (decimals > 0) {
        const std::size_t point = text.find_first_not_of("-0123456789");
        if (point != std::string::npos)
            text.replace(point, text.find_first_of("0123456789", point) - point,
                         1, decimalSeparator);
    }
    return text;
}

} // namespace

std::string FormatElapsed(std::uint32_t milliseconds)
{
    const std::uint32_t s = milliseconds / 1000;
    return twoDigits(s / 3600) + ":" + twoDigits(s % 3600 / 60) + ":" + twoDigits(s % 60);
}

std::string FormatByteSize(std::int64_t size, char decimalSeparator)
{
    if (size >= 1073741824)
        return fixed(double(size) / 1073741824.0, 3, decimalSeparator) + " GB";
    if (size >= 1048576)
        return fixed(double(size) / 1048576.0, 2, decimalSeparator) + " MB";
    if (size >= 1024)
        return fixed(double(size) / 1024.0, 0, decimalSeparator) + " KB";
    return std::to_string(size) + " B";
}

} // namespace ferrovin
