#include "cli/cli_options.h"

#include <charconv>
#include <limits>

namespace ferrovin::cli {

namespace {

std::optional<std::int32_t> parseCount(const std::string& text)
{
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || rest != end || value < 0)
        return std::nullopt;
    return value;
}

std::optional<TypeSelection> parseTypes(const std::string& list)
{
    TypeSelection types;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, comma - start);
        if (name == "bmp")
            types.Bmp = true;
        else if (name == "jpg")
            types.Jpg = true;
        else if (name == "gif")
            types.Gif = true;
        else if (name == "png")
            types.Png = true;
        else if (name == "tiff")
            types.Tiff = true;
        else
            return std::nullopt;
        start = comma + 1;
    }
    return types;
}

bool takesValue(const std::string& name)
{
    return name == "--types" || name == "--min-width" || name == "--min-height"
        || name == "--threads" || name == "--format" || name == "--settings" || name == "--cache";
}

} // namespace

std::string UsageText()
{
    return "Usage: ferrovin-cli [options] FOLDER...\n"
           "Finds duplicate and similar pictures in the folders and prints one line per pair:\n"
           "ORIGINAL, DUPLICATE, SIMILARITY (percent, one decimal).\n"
           "\n"
           "  --types LIST        comma-separated subset of bmp,jpg,gif,png,tiff\n"
           "                      (default jpg,bmp,gif,png)\n"
           "  --min-width N       smallest decoded picture width compared (default 100)\n"
           "  --min-height N      smallest decoded picture height compared (default 100)\n"
           "  --identical-only    pair byte-identical files only\n"
           "  --match-turned      also pair copies turned by 90, 180 or 270 degrees or\n"
           "                      mirrored (off by default)\n"
           "  --no-subfolders     do not walk subfolders\n"
           "  --threads N         analysing threads (default: one per processor)\n"
           "  --format F          tsv (default), csv or json\n"
           "  --settings FILE     take options from a Ferrovin.ini file; options given\n"
           "                      here override it\n"
           "  --reference         use the plain comparison loop (slow; for checking)\n"
           "  --verbose           list each file and folder passed over, with the reason\n"
           "  --cache FILE        keep what was found of each picture in FILE (default\n"
           "                      $XDG_CACHE_HOME/ferrovin/signatures.sqlite)\n"
           "  --no-cache          keep nothing: analyse every picture afresh\n"
           "  -h, --help          show this text\n"
           "\n"
           "The minimum sizes apply to the decoded size, which for large pictures is a\n"
           "quarter or an eighth of the stored size: a picture more than 1000 pixels high\n"
           "and wide decodes at an eighth, one more than 500 at a quarter (a 4352 x 3264\n"
           "photo measures 544 x 408).\n"
           "\n"
           "A picture whose file has not changed since a search analysed it is not\n"
           "decoded again; the results are the same with or without the cache, and\n"
           "deleting the cache file is always safe.\n"
           "\n"
           "The summary goes to standard error, followed by a count of the files that\n"
           "could not be read, the pictures that could not be decoded and the folders\n"
           "that could not be listed, when there were any.\n"
           "\n"
           "Exit status: 0 done, even when some files or folders were passed over;\n"
           "1 failed, interrupted, or none of the folders given could be searched (all\n"
           "missing or unreadable); 2 bad usage.\n";
}

ParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    ParseResult result;
    CliOptions& options = result.Options;
    auto fail = [&result](const std::string& message) {
        result.Error = message;
        return result;
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "-h") {
            options.Help = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (arg.empty())
                return fail("empty folder name");
            if (!optionsEnded && arg.size() > 1 && arg[0] == '-')
                return fail("unknown option: " + arg);
            options.Folders.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const std::size_t equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        if (takesValue(name)) {
            if (!value) {
                if (i + 1 >= args.size())
                    return fail("option " + name + " needs a value");
                value = args[++i];
            }
        } else if (value) {
            return fail("option " + name + " takes no value");
        }

        if (name == "--help") {
            options.Help = true;
        } else if (name == "--identical-only") {
            options.IdenticalOnly = true;
        } else if (name == "--match-turned") {
            options.MatchTurned = true;
        } else if (name == "--no-subfolders") {
            options.NoSubfolders = true;
        } else if (name == "--reference") {
            options.ReferenceMatcher = true;
        } else if (name == "--verbose") {
            options.Verbose = true;
        } else if (name == "--no-cache") {
            options.NoCache = true;
        } else if (name == "--cache") {
            if (value->empty())
                return fail("--cache needs a file name");
            options.CacheFile = *value;
        } else if (name == "--types") {
            options.Types = parseTypes(*value);
            if (!options.Types)
                return fail("--types takes a comma-separated list of bmp, jpg, gif, png, tiff: " + *value);
        } else if (name == "--min-width" || name == "--min-height") {
            const std::optional<std::int32_t> number = parseCount(*value);
            if (!number)
                return fail(name + " takes a whole number of pixels: " + *value);
            (name == "--min-width" ? options.MinWidth : options.MinHeight) = number;
        } else if (name == "--threads") {
            const std::optional<std::int32_t> number = parseCount(*value);
            if (!number || *number < 1 || *number > 1024)
                return fail("--threads takes a number from 1 to 1024: " + *value);
            options.Threads = *number;
        } else if (name == "--format") {
            if (*value == "tsv")
                options.Format = ReportFormat::Tsv;
            else if (*value == "csv")
                options.Format = ReportFormat::Csv;
            else if (*value == "json")
                options.Format = ReportFormat::Json;
            else
                return fail("--format takes tsv, csv or json: " + *value);
        } else if (name == "--settings") {
            if (value->empty())
                return fail("--settings needs a file name");
            options.SettingsFile = *value;
        } else {
            return fail("unknown option: " + name);
        }
    }
    if (options.NoCache && options.CacheFile)
        return fail("--cache and --no-cache exclude each other");
    if (!options.Help && options.Folders.empty())
        return fail("no folder given");
    return result;
}

Settings ApplyOptions(Settings base, const CliOptions& options)
{
    if (options.Types) {
        base.SearchBMP = options.Types->Bmp;
        base.SearchJPG = options.Types->Jpg;
        base.SearchGIF = options.Types->Gif;
        base.SearchPNG = options.Types->Png;
        base.SearchTIFF = options.Types->Tiff;
    }
    if (options.MinWidth)
        base.MinPicWidth = *options.MinWidth;
    if (options.MinHeight)
        base.MinPicHeight = *options.MinHeight;
    if (options.IdenticalOnly)
        base.SearchOnlyIdentical = true;
    if (options.MatchTurned)
        base.MatchTurnedAndMirrored = true;
    if (options.NoSubfolders)
        base.ScanSubfolders = false;
    return base;
}

} // namespace ferrovin::cli
