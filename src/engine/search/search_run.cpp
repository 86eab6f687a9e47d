#include "engine/search/search_run.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <utility>

#include <sys/stat.h>

#include "engine/search/fast_matcher.h"
#include "engine/search/folder_scan.h"
#include "engine/search/pair_matching.h"
#include "engine/search/progress_format.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"

namespace ferrovin {

namespace {

std::string asciiUpper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string withDelimiter(const std::string& folder)
{
    if (folder.empty() || folder.back() == '/')
        return folder;
    return folder + "/";
}

bool directoryExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::uint32_t tickCount()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Forwards everything and remembers the last captions, which the closing
// message quotes. What the folder scan passes over is held back and released
// among the reports of matching, so that the front end gets them all in
// catalogue order.
class RunObserver final : public SearchObserver {
public:
    RunObserver(SearchObserver& inner, const Catalogue& catalogue) : m_inner(inner), m_catalogue(catalogue) {}

    void filesCountText(const std::string& text) override
    {
        FilesCount = text;
        m_inner.filesCountText(text);
    }
    void duplicatesFoundText(const std::string& text) override
    {
        DuplicatesFound = text;
        m_inner.duplicatesFoundText(text);
    }
    void progress(const SearchProgress& counters) override
    {
        // Matching has finished picture analysed - 1: what lies before the next one may go.
        if (!m_scanning)
            release(counters.analysed);
        m_inner.progress(counters);
    }
    bool stopRequested() override { return m_inner.stopRequested(); }
    void passedOver(const PassedOver& item) override
    {
        // The scan's reports lie before the next picture it catalogues; matching
        // reports on the picture it is at.
        if (m_scanning) {
            m_held.push_back({m_catalogue.LastPicIndex + 1, item});
            return;
        }
        release(m_catalogue.LastPicIndex);
        m_inner.passedOver(item);
    }

    void endScan() { m_scanning = false; }
    void releaseAll() { release(std::numeric_limits<std::int32_t>::max()); }

    std::string FilesCount = FilesCountText(0, 0);
    std::string DuplicatesFound = DuplicatesCountText(0);

private:
    // Passes on the held reports that lie before picture `position`, or at it.
    void release(std::int32_t position)
    {
        for (; m_released < m_held.size() && m_held[m_released].first <= position; ++m_released)
            m_inner.passedOver(m_held[m_released].second);
    }

    SearchObserver& m_inner;
    const Catalogue& m_catalogue;
    bool m_scanning = true;
    std::vector<std::pair<std::int32_t, PassedOver>> m_held;  // (position, report)
    std::size_t m_released = 0;
};

// Analysis through the cache: a picture whose file is unchanged since a
// search remembered it skips the decode, and each result found afresh is
// remembered. Runs on the pipeline's threads, in its order.
MatchingEnvironment cachedEnvironment(const MatchingEnvironment& inner, SignatureCache& cache,
                                      const Settings& settings)
{
    MatchingEnvironment environment = inner;
    environment.Analyse = [&inner, &cache, &settings](const std::string& path, AnalysisWorkspace& workspace,
                                                      AnalysedPicture& out) {
        const std::optional<FileStamp> stamp = ReadFileStamp(path);
        if (stamp && cache.lookup(path, *stamp, settings, out))
            return;
        inner.Analyse(path, workspace, out);
        if (stamp)
            cache.store(path, *stamp, settings, out);
    };
    return environment;
}

} // namespace

std::string FormatGroupedCount(std::int64_t value, const std::string& separator)
{
    const bool negative = value < 0;
    std::string digits = std::to_string(negative ? -value : value);
    std::string grouped;
    const std::size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    grouped.append(digits, 0, lead);
    for (std::size_t i = lead; i < digits.size(); i += 3) {
        grouped += separator;
        grouped.append(digits, i, 3);
    }
    return negative ? "-" + grouped : grouped;
}

std::vector<std::size_t> FilterFolders(const std::vector<std::string>& folders)
{
    std::vector<std::string> upper;
    upper.reserve(folders.size());
    for (const std::string& folder : folders)
        upper.push_back(asciiUpper(folder));
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < upper.size(); ++i) {
        const std::string& p = upper[i];
        bool passedOver = false;
        for (std::size_t j = 0; j < upper.size() && !passedOver; ++j) {
            if (upper[j] != p)
                passedOver = p.find(upper[j]) != std::string::npos;  // inside a listed folder
            else
                passedOver = j < i;  // a repeat of an earlier entry
        }
        if (!passedOver)
            kept.push_back(i);
    }
    return kept;
}

SearchSummary RunSearch(Catalogue& catalogue, const Settings& settings,
                        const std::vector<std::string>& folders, SearchObserver& observer,
                        const RunOptions& options)
{
    SearchSummary summary;
    if (folders.empty()) {
        summary.Refused = true;
        summary.RefusalText = kNoFolderText;
        catalogue.SearchStopped = true;
        return summary;
    }
    if (!settings.SearchJPG && !settings.SearchBMP && !settings.SearchGIF && !settings.SearchPNG
        && !settings.SearchTIFF) {
        summary.Refused = true;
        summary.RefusalText = kNoFileTypeText;
        catalogue.SearchStopped = true;
        return summary;
    }

    RunObserver relay(observer, catalogue);
    relay.filesCountText(relay.FilesCount);
    relay.duplicatesFoundText(relay.DuplicatesFound);
    const MatchingEnvironment defaultEnvironment = DefaultMatchingEnvironment(settings);
    const MatchingEnvironment& environment =
        options.Environment ? *options.Environment : defaultEnvironment;

    std::vector<std::string> listed;
    listed.reserve(folders.size());
    for (const std::string& folder : folders)
        listed.push_back(withDelimiter(folder));

    try {
        catalogue.SearchStopped = false;
        catalogue.SearchStartTick = tickCount();
        catalogue.Reset();

        // One scan object for all roots, so its (device, inode) guard spans them.
        FolderScan scan(catalogue, settings, options.TrashFolders, relay);
        for (std::size_t i : FilterFolders(listed)) {
            if (!directoryExists(listed[i])) {
                if (options.MissingFolder)
                    options.MissingFolder(listed[i]);
            } else if (const int error = scan.ScanRoot(listed[i]); error != 0) {
                if (options.UnlistableFolder)
                    options.UnlistableFolder(listed[i], std::strerror(error));
            } else {
                ++summary.FoldersSearched;
            }
            if (StopTest(catalogue.SearchStopped, relay))
                break;
        }
        relay.endScan();
        catalogue.TrimAfterScan();

        if (!StopTest(catalogue.SearchStopped, relay)) {
            catalogue.AllocatePairs();
            try {
                SignatureCache cache(options.Cache);
                const MatchingEnvironment cached =
                    cache.active() ? cachedEnvironment(environment, cache, settings) : environment;
                if (options.UseReferenceMatcher)
                    MatchPictures(catalogue, settings, relay, cached);
                else
                    MatchPicturesFast(catalogue, settings, relay, cached, options.Threads);
                cache.finish();
                summary.CacheWarning = cache.warning();
            } catch (...) {
                catalogue.TrimAfterMatching();
                throw;
            }
            catalogue.TrimAfterMatching();
        }
        relay.releaseAll();

        summary.PairCount = catalogue.LastPairIndex + 1;
        summary.FilesScanned = catalogue.LastPicIndex + 1;
        summary.DuplicatesFoundText =
            "Duplicates found: " + FormatGroupedCount(summary.PairCount, options.ThousandsSeparator);
        summary.DiskUsageText = "Disk Space Usage: " + FormatByteSize(catalogue.DuplicatesSize);
        summary.ScannedCountText =
            "Files scanned: " + FormatGroupedCount(summary.FilesScanned, options.ThousandsSeparator);
    } catch (...) {
        catalogue.SearchStopped = true;
        throw;
    }

    summary.ElapsedMilliseconds = tickCount() - catalogue.SearchStartTick;
    summary.Stopped = catalogue.SearchStopped.load();
    summary.FilesCountText = relay.FilesCount;
    summary.CurrentDuplicatesFoundText = relay.DuplicatesFound;
    summary.TimeText = "Elapsed time: " + FormatElapsed(summary.ElapsedMilliseconds);
    const std::string head = summary.Stopped ? "Search interrupted." : "Search finished.";
    summary.ClosingMessage = head + std::string(36, ' ') + "\n\r\n\r" + summary.FilesCountText
        + "\n\r" + summary.CurrentDuplicatesFoundText + "\n\r" + summary.TimeText + "\n\r";
    catalogue.SearchStopped = true;
    return summary;
}

} // namespace ferrovin
