// The built ferrovin-cli on a folder of generated pictures, with TZ and the
// locale pinned; its table is compared with the engine's own run.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/report_writers.h"
#include "engine/search/search_observer.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"
#include "support/picture_writers.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

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
    // Each test keeps its own signature cache, one per user that runs the program:
    // later runs of a test search warm, and nothing reaches the real ~/.cache.
    const std::string cacheHome = scratch.path() + "cache-" + std::to_string(::geteuid());
    std::string command = "TZ=UTC LC_ALL=C XDG_CACHE_HOME=" + shellQuote(cacheHome) + " "
        + shellQuote(FERROVIN_CLI_PATH);
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

// Standard error after the summary's last line: what the run passed over.
std::string afterSummary(const std::string& err)
{
    const std::size_t elapsed = err.find("Elapsed time: ");
    return elapsed == std::string::npos ? "(no summary)" : err.substr(err.find('\n', elapsed) + 1);
}

// A check run as another user cannot fail the test itself: it prints what
// differs and gives its verdict as its exit status.
bool matches(const std::string& what, const std::string& seen, const std::string& expected)
{
    if (seen == expected)
        return true;
    std::cerr << what << ":\n--- seen\n" << seen << "\n--- expected\n" << expected << "\n---\n";
    return false;
}

// Root reads every file and lists every folder, so permission cases run as an
// ordinary user there.
bool passesWithoutPrivileges(const std::function<bool()>& check)
{
    return ::geteuid() == 0 ? passesAsUnprivilegedUser(check) : check();
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

    // Things to pass over, each for its own reason, and the temporary folders
    // opened to the user that permission checks run as.
    void addTrouble()
    {
        library.writeFile("photos/x.png", "not a picture");
        library.writeFile("photos/t.jpg", readFile(root + "a.jpg").substr(0, 200));
        library.writeFile("photos/y.jpxg", readFile(root + "a.jpg"));
        library.writeFile("photos/locked.jpg", readFile(root + "d.jpg"));
        library.writeFile("photos/private/f.jpg", readFile(root + "a.jpg"));
        ASSERT_EQ(::symlink("nowhere.jpg", (root + "lost.jpg").c_str()), 0);
        ASSERT_EQ(::chmod((root + "locked.jpg").c_str(), 0), 0);
        ASSERT_EQ(::chmod((root + "private").c_str(), 0), 0);
        ASSERT_EQ(::chmod(library.path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(scratch.path().c_str(), 0777), 0);
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

TEST_F(CliRunTest, cacheOptionsChangeOnlyWhereAnalysisIsKept)
{
    const std::string table = expectedTable(Settings{}, {root});
    const std::string own = scratch.path() + "own.sqlite";
    for (const std::vector<std::string>& args : {std::vector<std::string>{root}, {root}, {"--cache", own, root},
                                                 {"--cache", own, root}, {"--no-cache", root}}) {
        const CliRun run = runCli(args, scratch);
        EXPECT_EQ(run.Out, table) << args[0];
        EXPECT_EQ(run.Err.find("ferrovin-cli:"), std::string::npos) << run.Err;
    }
    EXPECT_EQ(::access((scratch.path() + "cache-" + std::to_string(::geteuid()) + "/ferrovin/signatures.sqlite").c_str(),
                       F_OK), 0);
    scratch.writeFile("own.sqlite", "not a database, not at all");
    const CliRun spoilt = runCli({"--cache", own, root}, scratch);
    EXPECT_EQ(spoilt.Status, 0);
    EXPECT_EQ(spoilt.Out, table);
    EXPECT_EQ(spoilt.Err.rfind("ferrovin-cli: Signature cache " + own + " is damaged (", 0), 0u) << spoilt.Err;
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

TEST_F(CliRunTest, passedOverItemsAreCountedAndWithVerboseListedInCatalogueOrder)
{
    addTrouble();
    const std::string counts = "Files that could not be read: 2 (Permission denied)\n"
                               "Pictures that could not be decoded: 3\n"
                               "Folders that could not be listed: 1\n";
    const std::string listed = root + "locked.jpg: Permission denied\n"
        + root + "lost.jpg: No such file or directory\n"
        + root + "t.jpg: Invalid JPEG file structure: missing SOS marker\n"
        + root + "y.jpxg: Unknown picture file extension (.jpxg)\n"
        + root + "x.png: Invalid PNG file\n"
        + root + "private/: Permission denied\n";
    EXPECT_TRUE(passesWithoutPrivileges([&] {
        const std::string table = expectedTable(Settings{}, {root});
        const CliRun plain = runCli({root}, scratch);
        bool passed = matches("status", std::to_string(plain.Status), "0") && matches("table", plain.Out, table)
            && matches("after the summary", afterSummary(plain.Err), counts);
        // The list changes nothing else, whatever the matcher and its threads.
        for (const std::vector<std::string>& options :
             {std::vector<std::string>{"--verbose"}, {"--verbose", "--threads", "3"}, {"--verbose", "--reference"}}) {
            std::vector<std::string> args = options;
            args.push_back(root);
            const CliRun verbose = runCli(args, scratch);
            passed = matches(args[1] + " table", verbose.Out, table)
                && matches(args[1] + " list", afterSummary(verbose.Err), listed + counts) && passed;
        }
        return passed;
    }));
}

TEST_F(CliRunTest, exitStatusSaysWhetherAnyFolderGivenCouldBeSearched)
{
    addTrouble();
    const std::string gone = library.path() + "gone/";
    const std::string elsewhere = library.path() + "elsewhere/";
    const std::string locked = root + "private/";
    const auto notFound = [](const std::string& folder) {
        return "ferrovin-cli: folder not found, passed over: " + folder + "\n";
    };
    const std::string notListed = "ferrovin-cli: folder cannot be listed (Permission denied), passed over: " + locked + "\n";
    const std::string nothing = "ferrovin-cli: none of the folders given could be searched\n";
    struct Case {
        std::vector<std::string> folders;
        int status;
        std::string before;  // what is said before the summary
        std::string after;
    };
    const std::vector<Case> cases{
        {{gone, elsewhere}, 1, notFound(gone) + notFound(elsewhere), nothing},
        {{locked, gone}, 1, notListed + notFound(gone), nothing},
        {{gone, root + "sub"}, 0, notFound(gone), ""},
    };
    EXPECT_TRUE(passesWithoutPrivileges([&] {
        bool passed = true;
        for (const Case& c : cases) {
            const CliRun run = runCli(c.folders, scratch);
            const std::string what = c.folders[0] + " " + c.folders[1];
            passed = matches(what + " status", std::to_string(run.Status), std::to_string(c.status))
                && matches(what + " before", run.Err.substr(0, c.before.size()), c.before)
                && matches(what + " after", afterSummary(run.Err), c.after) && passed;
        }
        return passed;
    }));
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
    EXPECT_EQ(runCli({"-h"}, scratch).Out, help.Out);
}

} // namespace
} // namespace ferrovin::test
