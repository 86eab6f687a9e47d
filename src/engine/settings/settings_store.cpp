#include "engine/settings/settings.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine_error.h"
#include "engine/settings/ini_file.h"

namespace ferrovin {

namespace {

constexpr std::string_view kSection = "Main";

// The keys in the order they are read and written; a new file lists them so.
struct BoolKey {
    const char* name;
    bool Settings::*field;
};
constexpr std::array<BoolKey, 11> kBoolKeys{{
    {"SearchJPG", &Settings::SearchJPG},
    {"SearchBMP", &Settings::SearchBMP},
    {"SearchGIF", &Settings::SearchGIF},
    {"SearchPNG", &Settings::SearchPNG},
    {"SearchTIFF", &Settings::SearchTIFF},
    {"SearchSimilar", &Settings::SearchSimilar},
    {"MoveToRecycle", &Settings::MoveToRecycle},
    {"DeleteWithoutAsking", &Settings::DeleteWithoutAsking},
    {"SearchOnlyIdentical", &Settings::SearchOnlyIdentical},
    {"AutoCheckUpdates", &Settings::AutoCheckUpdates},
    {"ScanSubfolders", &Settings::ScanSubfolders},
}};
constexpr const char* kMinPicWidth = "MinPicWidth";
constexpr const char* kMinPicHeight = "MinPicHeight";
// Beyond the thirteen original keys: written after them, absent in older files.
constexpr const char* kMatchTurnedAndMirrored = "MatchTurnedAndMirrored";

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::int32_t> ParseSettingsInteger(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.starts_with("$")) {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
    std::int64_t magnitude = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0 || digit >= base)
            return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

namespace {

std::int32_t readInteger(const IniFile& ini, const char* key, std::int32_t fallback)
{
    const auto text = ini.value(kSection, key);
    if (!text)
        return fallback;
    return ParseSettingsInteger(*text).value_or(fallback);
}

struct FileContents {
    bool exists = false;
    bool readable = false;
    std::string bytes;
};

FileContents readWholeFile(const std::string& path)
{
    FileContents result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.exists = errno != ENOENT;
        return result;
    }
    result.exists = true;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return result;
        }
        if (n == 0)
            break;
        result.bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    result.readable = true;
    return result;
}

bool writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The new text goes to a temporary file beside the old one and is renamed over
// it, so a failure at any point leaves the old file as it was.
bool replaceFile(const std::string& path, const std::string& bytes)
{
    std::string target = path;
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
        // Replace the file the link points at, not the link.
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (!resolved)
            return false;
        target = resolved;
        ::free(resolved);
    }

    struct stat old {};
    const bool hadFile = ::stat(target.c_str(), &old) == 0;
    // A settings file the user made read-only stays as it is.
    if (hadFile && ::access(target.c_str(), W_OK) != 0)
        return false;

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool ok = writeAll(fd, bytes);
    if (ok && hadFile) {
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
        // Only matters when an administrator saves someone else's file; failing is harmless.
        if (ok && ::fchown(fd, old.st_uid, old.st_gid) != 0) {}
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }

    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);  // best effort: the rename itself has already succeeded
        ::close(dirFd);
    }
    return true;
}

} // namespace

Settings LoadSettings(const std::string& appFolder)
{
    Settings settings;
    const FileContents file = readWholeFile(appFolder + kSettingsFileName);
    if (!file.readable)
        return settings;

    const IniFile ini = IniFile::parse(file.bytes);
    for (const BoolKey& key : kBoolKeys) {
        bool& field = settings.*key.field;
        field = readInteger(ini, key.name, field ? 1 : 0) != 0;
    }
    settings.MinPicWidth = readInteger(ini, kMinPicWidth, settings.MinPicWidth);
    settings.MinPicHeight = readInteger(ini, kMinPicHeight, settings.MinPicHeight);
    if (settings.MinPicWidth < 0)
        settings.MinPicWidth = 0;
    if (settings.MinPicHeight < 0)
        settings.MinPicHeight = 0;
    settings.MatchTurnedAndMirrored = readInteger(ini, kMatchTurnedAndMirrored, 0) != 0;
    return settings;
}

void SaveSettings(const Settings& settings, const std::string& appFolder)
{
    const std::string path = appFolder + kSettingsFileName;
    const FileContents file = readWholeFile(path);
    // Rewriting a file we could not read would throw its other contents away.
    if (file.exists && !file.readable)
        throw EngineError("Unable to write to " + path);

    IniFile ini = IniFile::parse(file.bytes);
    for (const BoolKey& key : kBoolKeys)
        ini.setValue(kSection, key.name, (settings.*key.field) ? "1" : "0");
    ini.setValue(kSection, kMinPicWidth, std::to_string(settings.MinPicWidth));
    ini.setValue(kSection, kMinPicHeight, std::to_string(settings.MinPicHeight));
    ini.setValue(kSection, kMatchTurnedAndMirrored, settings.MatchTurnedAndMirrored ? "1" : "0");

    if (!replaceFile(path, ini.text()))
        throw EngineError("Unable to write to " + path);
}

} // namespace ferrovin
