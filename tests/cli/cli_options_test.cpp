#include <gtest/gtest.h>

#include "cli/cli_options.h"

namespace ferrovin::cli {
namespace {

TEST(CliOptions, badUsageIsRejectedWithOneLine)
{
    const std::vector<std::vector<std::string>> cases = {
        {},                                   // no folder
        {"--identical-only"},                 // still no folder
        {"--frobnicate", "/p"},
        {"-x", "/p"},
        {""},                                 // empty folder text
        {"/p", ""},
        {"--min-width", "ten", "/p"},
        {"--min-width", "-1", "/p"},
        {"--min-height=12px", "/p"},
        {"--threads", "0", "/p"},
        {"--format", "xml", "/p"},
        {"--types", "jpg,webp", "/p"},
        {"--types", "", "/p"},
        {"--types", "jpg,", "/p"},
        {"/p", "--min-width"},                // value missing
        {"--no-subfolders=yes", "/p"},
        {"--cache=", "/p"},
        {"--cache", "c.sqlite", "--no-cache", "/p"},
        {"--no-cache=1", "/p"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const std::string& arg : args)
            joined += "[" + arg + "]";
        const ParseResult result = ParseCommandLine(args);
        EXPECT_FALSE(result.Error.empty()) << joined;
        EXPECT_EQ(result.Error.find('\n'), std::string::npos) << joined;
    }
}

TEST(CliOptions, explicitOptionsOverrideTheSettingsFile)
{
    const ParseResult result = ParseCommandLine(
        {"--types=png,tiff", "--min-width", "0", "--min-height=640", "--identical-only",
         "--match-turned", "--no-subfolders", "--threads", "3", "--format", "json", "--verbose", "--cache",
         "/c.sqlite", "/a", "--", "--odd-folder", "-h"});
    ASSERT_EQ(result.Error, "");
    EXPECT_EQ(result.Options.CacheFile, "/c.sqlite");
    EXPECT_EQ(result.Options.Folders, (std::vector<std::string>{"/a", "--odd-folder", "-h"}));
    EXPECT_TRUE(result.Options.Verbose);
    EXPECT_FALSE(result.Options.Help);
    EXPECT_EQ(result.Options.Threads, 3);
    EXPECT_EQ(result.Options.Format, ReportFormat::Json);

    Settings fromFile;
    fromFile.SearchJPG = true;
    fromFile.SearchOnlyIdentical = false;
    fromFile.MinPicHeight = 5;
    const Settings settings = ApplyOptions(fromFile, result.Options);
    EXPECT_FALSE(settings.SearchJPG);
    EXPECT_FALSE(settings.SearchBMP);
    EXPECT_TRUE(settings.SearchPNG);
    EXPECT_TRUE(settings.SearchTIFF);
    EXPECT_EQ(settings.MinPicWidth, 0);
    EXPECT_EQ(settings.MinPicHeight, 640);
    EXPECT_TRUE(settings.SearchOnlyIdentical);
    EXPECT_TRUE(settings.MatchTurnedAndMirrored);
    EXPECT_FALSE(settings.ScanSubfolders);

    // Options not given leave the file's values alone.
    const Settings untouched = ApplyOptions(fromFile, ParseCommandLine({"/a"}).Options);
    EXPECT_EQ(untouched, fromFile);
}

} // namespace
} // namespace ferrovin::cli
