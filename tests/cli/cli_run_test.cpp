// The built ferrovin-cli on a folder of generated pictures, with TZ and the
// locale pinned; its table is compared with the engine's own run.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>

#include "cli/report_writers.h"
#include "engine/search/search_observer.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"
#include "support/picture_writers.h"
#include "support/temp_dir.h"

namespace ferrovin::test {
namespace {

struct CliRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

CliRun runCli(const std::vector<std::string>& args, const TempDir& scratch)
{
    std::string command = "TZ=UTC LC_ALL=C " + shellQuote(FERROVIN_CLI_PATH);
    for (const std::string& arg : args)
        command += " " + shellQuote(arg);
    const std::string errPath = scratch.path() + "stderr.txt";
    command += " 2>" + shellQuote(errPath) + " </dev/null";
    CliRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.Out.append(buffer, got);
    const int status = ::pclose(pipe);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Err = readFile(errPath);
    return run;
}

// A small library: byte copies, a PNG twin of a JPEG, a different picture with
// a copy in a subfolder, a picture too small to count, and a non-picture.
class CliRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = library.makeDir("photos");
        library.makeDir("photos/sub");
        const Raster first = makeGradient(320, 240, 1);
        const Raster second = makeGradient(300, 300, 7);
        writeJpeg(root + "a.jpg", first);
        library.writeFile("photos/b.jpg", readFile(root + "a.jpg"));
        writePng(root + "c.png", first);
        writeJpeg(root + "d.jpg", second);
        library.writeFile("photos/sub/e.jpg", readFile(root + "d.jpg"));
        writeJpeg(root + "tiny.jpg", makeGradient(40, 40, 3));
        library.writeFile("photos/notes.txt", "not a picture");
    }

    // The same search in this process, formatted as the program formats it.
    std::string expectedTable(const Settings& settings, const std::vector<std::string>& folders,
                              cli::ReportFormat format = cli::ReportFormat::Tsv)
    {
        Catalogue catalogue;
        SearchObserver quiet;
        RunOptions options;
        options.Threads = 1;
        options.UseReferenceMatcher = true;
        RunSearch(catalogue, settings, folders, quiet, options);
        std::vector<cli::ReportRow> rows;
        for (std::int32_t p = 0; p <= catalogue.LastPairIndex; ++p) {
            const TPicturePair& pair = catalogue.PicturePairs[static_cast<std::size_t>(p)];
            rows.push_back({catalogue.FullPath(pair.PicIndex1), catalogue.FullPath(pair.PicIndex2),
                            pair.Similarity});
        }
        std::ostringstream out;
        cli::WriteReport(out, format, rows);
        return out.str();
    }

    TempDir library;
    TempDir scratch;
    std::string root;
};

TEST_F(CliRunTest, printsTheEnginesPairTableAndASummary)
{
    const CliRun run = runCli({root}, scratch);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, expectedTable(Settings{}, {root}));
    EXPECT_NE(run.Out.find(root + "a.jpg\t" + root + "b.jpg\t100.0\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find(root + "d.jpg\t" + root + "sub/e.jpg\t100.0\n"), std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.find("tiny.jpg"), std::string::npos);
    EXPECT_NE(run.Err.find("Files scanned: 6\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("Search finished.\n\nTotal pictures scanned: 6 / 6\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("Elapsed time: "), std::string::npos);
}

TEST_F(CliRunTest, optionsChangeWhatIsSearched)
{
    Settings noSubfolders;
    noSubfolders.ScanSubfolders = false;
    const CliRun flat = runCli({"--no-subfolders", root}, scratch);
    EXPECT_EQ(flat.Out, expectedTable(noSubfolders, {root}));
    EXPECT_EQ(flat.Out.find("sub/e.jpg"), std::string::npos);

    const CliRun identical = runCli({"--identical-only", "--threads", "2", root}, scratch);
    EXPECT_EQ(identical.Out, root + "a.jpg\t" + root + "b.jpg\t100.0\n" + root + "d.jpg\t" + root
                                 + "sub/e.jpg\t100.0\n");

    Settings pngOnly;
    pngOnly.SearchJPG = pngOnly.SearchBMP = pngOnly.SearchGIF = false;
    const CliRun png = runCli({"--types", "png", "--min-width=0", "--min-height=0", root}, scratch);
    EXPECT_EQ(png.Out, "");
    EXPECT_NE(png.Err.find("Files scanned: 1\n"), std::string::npos) << png.Err;
}

TEST_F(CliRunTest, jsonCarriesTheSameTable)
{
    const CliRun run = runCli({"--format", "json", "--threads", "2", root}, scratch);
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out, expectedTable(Settings{}, {root}, cli::ReportFormat::Json));
}

TEST_F(CliRunTest, settingsFileIsReadAndOptionsOverrideIt)
{
    const std::string ini = scratch.writeFile("custom.ini", "[Main]\nSearchJPG=0\nSearchPNG=1\nScanSubfolders=0\n");
    Settings fromFile;
    fromFile.SearchJPG = false;
    fromFile.ScanSubfolders = false;
    const CliRun run = runCli({"--settings", ini, root}, scratch);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Err.find("Files scanned: 1\n"), std::string::npos) << run.Err;

    const CliRun overridden = runCli({"--settings", ini, "--types", "jpg,png", root}, scratch);
    EXPECT_NE(overridden.Err.find("Files scanned: 5\n"), std::string::npos) << overridden.Err;

    const CliRun missing = runCli({"--settings", scratch.path() + "nowhere.ini", root}, scratch);
    EXPECT_EQ(missing.Status, 1);
}

TEST_F(CliRunTest, foldersAreFilteredAndMissingOnesReported)
{
    const std::string gone = library.path() + "gone/";
    // Nested and repeated folders are walked once; the folder text is kept as written.
    const CliRun run = runCli({root + "sub", root.substr(0, root.size() - 1), gone, root}, scratch);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, expectedTable(Settings{}, {root}));
    EXPECT_NE(run.Err.find("folder not found, passed over: " + gone), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("Files scanned: 6\n"), std::string::npos) << run.Err;
}

TEST_F(CliRunTest, badUsageExitsWithTwo)
{
    const CliRun run = runCli({"--min-width", "x", root}, scratch);
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.Err, "ferrovin-cli: --min-width takes a whole number of pixels: x\nTry 'ferrovin-cli --help'.\n");
    const CliRun help = runCli({"--help"}, scratch);
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.rfind("Usage: ferrovin-cli", 0), 0u);
}

} // namespace
} // namespace ferrovin::test
