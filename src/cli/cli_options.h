#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/settings/settings.h"

namespace ferrovin::cli {

enum class ReportFormat { Tsv, Csv, Json };

// Which file types --types named.
struct TypeSelection {
    bool Bmp = false;
    bool Jpg = false;
    bool Gif = false;
    bool Png = false;
    bool Tiff = false;
};

// The command line as given; options not given stay empty so that a settings
// file can supply them.
struct CliOptions {
    std::optional<std::string> SettingsFile;
    std::optional<TypeSelection> Types;
    std::optional<std::int32_t> MinWidth;
    std::optional<std::int32_t> MinHeight;
    bool IdenticalOnly = false;
    bool MatchTurned = false;  // also pair turned and mirrored copies
    bool NoSubfolders = false;
    int Threads = 0;                  // 0 = one per hardware thread
    bool ReferenceMatcher = false;    // the plain comparison loop, for checking
    ReportFormat Format = ReportFormat::Tsv;
    bool Verbose = false;             // list each file and folder passed over
    std::optional<std::string> CacheFile;  // --cache; none = the default signature cache
    bool NoCache = false;             // --no-cache: keep nothing between searches
    bool Help = false;
    std::vector<std::string> Folders;
};

struct ParseResult {
    CliOptions Options;
    std::string Error;  // one line; non-empty means bad usage
};

// `args` without the program name. "--name value" and "--name=value" both work;
// "--" ends the options.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// `base` (defaults or a settings file) with the explicit options laid over it.
Settings ApplyOptions(Settings base, const CliOptions& options);

std::string UsageText();

} // namespace ferrovin::cli
