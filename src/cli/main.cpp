// ferrovin-cli: parses the command line, runs the engine's search and prints
// the pair table; everything it decides lives in the engine.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_options.h"
#include "cli/report_writers.h"
#include "engine/cache/signature_cache.h"
#include "engine/catalogue/catalogue.h"
#include "engine/engine_error.h"
#include "engine/files/trash_folders.h"
#include "engine/search/search_observer.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"

using namespace ferrovin;
using namespace ferrovin::cli;

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int)
{
    // The search stops at its next stop test; a second Ctrl-C ends the program
    // (SA_RESETHAND restored the default action).
    g_interrupted.store(true);
}

void installInterruptHandler()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
}

// Progress on one rewritten stderr line when a person watches; silent otherwise.
// Keeps what the search passed over for the lines after the summary.
class CliObserver final : public SearchObserver {
public:
    CliObserver() : m_terminal(isatty(STDERR_FILENO) != 0) {}

    bool stopRequested() override { return g_interrupted.load(); }

    void progress(const SearchProgress& counters) override
    {
        if (!m_terminal)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (m_shown && now - m_lastShown < std::chrono::milliseconds(200))
            return;
        m_lastShown = now;
        m_shown = true;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count();
        std::fprintf(stderr, "\r\033[K%s", ProgressText(counters, static_cast<std::uint32_t>(elapsed)).c_str());
        std::fflush(stderr);
    }

    void passedOver(const PassedOver& item) override { PassedOverItems.push_back(item); }

    void clearLine()
    {
        if (m_terminal && m_shown)
            std::fputs("\r\033[K", stderr);
    }

    std::vector<PassedOver> PassedOverItems;  // in catalogue order

private:
    bool m_terminal;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_lastShown;
};

// The engine's settings store reads "Ferrovin.ini" in a folder; a file of
// another name is read through a private copy under that name.
std::optional<Settings> loadSettingsFile(const std::string& file)
{
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        return std::nullopt;
    if (S_ISDIR(info.st_mode))
        return LoadSettings(file.back() == '/' ? file : file + "/");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string("./") : file.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (name == kSettingsFileName)
        return LoadSettings(folder);

    std::ostringstream contents;
    contents << in.rdbuf();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ferrovin-cli-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return std::nullopt;
    const std::string copyFolder = pattern + "/";
    const std::string copy = copyFolder + kSettingsFileName;
    std::optional<Settings> settings;
    {
        std::ofstream out(copy, std::ios::binary);
        out << contents.str();
        if (out.flush())
            settings = LoadSettings(copyFolder);
    }
    std::remove(copy.c_str());
    ::rmdir(pattern.c_str());
    return settings;
}

// The closing message reads better on a terminal with plain line breaks and
// without the trailing spaces that pad its head in a message box.
std::string terminalText(const std::string& closing)
{
    std::string text;
    for (std::size_t i = 0; i < closing.size(); ++i) {
        if (closing[i] == '\n' && i + 1 < closing.size() && closing[i + 1] == '\r') {
            while (!text.empty() && text.back() == ' ')
                text.pop_back();
            text += '\n';
            ++i;
        } else {
            text += closing[i];
        }
    }
    while (text.size() >= 2 && text[text.size() - 1] == '\n' && text[text.size() - 2] == '\n')
        text.pop_back();
    return text;
}

int run(int argc, char** argv)
{
    const ParseResult parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Error.empty()) {
        std::cerr << "ferrovin-cli: " << parsed.Error << "\nTry 'ferrovin-cli --help'.\n";
        return 2;
    }
    const CliOptions& options = parsed.Options;
    if (options.Help) {
        std::cout << UsageText();
        return 0;
    }

    Settings base;
    if (options.SettingsFile) {
        const std::optional<Settings> loaded = loadSettingsFile(*options.SettingsFile);
        if (!loaded) {
            std::cerr << "ferrovin-cli: cannot read settings file " << *options.SettingsFile << '\n';
            return 1;
        }
        base = *loaded;
    }
    const Settings settings = ApplyOptions(base, options);

    RunOptions runOptions;
    runOptions.Threads = options.Threads;
    runOptions.UseReferenceMatcher = options.ReferenceMatcher;
    runOptions.ThousandsSeparator = ",";
    runOptions.TrashFolders = TrashFolders();
    if (!options.NoCache)
        runOptions.Cache.File = options.CacheFile.value_or(DefaultCacheFile());
    runOptions.MissingFolder = [](const std::string& folder) {
        std::cerr << "ferrovin-cli: folder not found, passed over: " << folder << '\n';
    };
    runOptions.UnlistableFolder = [](const std::string& folder, const std::string& reason) {
        std::cerr << "ferrovin-cli: folder cannot be listed (" << reason << "), passed over: " << folder << '\n';
    };

    installInterruptHandler();
    Catalogue catalogue;
    CliObserver observer;
    const SearchSummary summary = RunSearch(catalogue, settings, options.Folders, observer, runOptions);
    observer.clearLine();
    if (!summary.CacheWarning.empty())
        std::cerr << "ferrovin-cli: " << summary.CacheWarning << '\n';
    if (summary.Refused) {
        std::cerr << "ferrovin-cli: " << summary.RefusalText << '\n';
        return 1;
    }

    std::vector<ReportRow> rows;
    rows.reserve(static_cast<std::size_t>(summary.PairCount));
    for (std::int32_t p = 0; p <= catalogue.LastPairIndex; ++p) {
        const TPicturePair& pair = catalogue.PicturePairs[static_cast<std::size_t>(p)];
        rows.push_back({catalogue.FullPath(pair.PicIndex1), catalogue.FullPath(pair.PicIndex2), pair.Similarity});
    }
    WriteReport(std::cout, options.Format, rows);
    std::cout.flush();

    std::cerr << summary.DuplicatesFoundText << '\n'
              << summary.ScannedCountText << '\n'
              << terminalText(summary.ClosingMessage);
    WritePassedOver(std::cerr, observer.PassedOverItems, options.Verbose);
    if (!std::cout) {
        std::cerr << "ferrovin-cli: cannot write the pair table\n";
        return 1;
    }
    // A script must not take a run that searched nothing for one that found nothing.
    if (summary.FoldersSearched == 0 && !summary.Stopped) {
        std::cerr << "ferrovin-cli: none of the folders given could be searched\n";
        return 1;
    }
    return summary.Stopped ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const EngineError& error) {
        std::cerr << "ferrovin-cli: " << error.what() << '\n';
    } catch (const std::exception& error) {
        std::cerr << "ferrovin-cli: " << error.what() << '\n';
    }
    return 1;
}
