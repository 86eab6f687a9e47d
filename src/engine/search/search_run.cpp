#include "engine/search/search_run.h"

#include <chrono>
#include <exception>

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
// message quotes.
class CaptionKeeper final : public SearchObserver {
public:
    explicit CaptionKeeper(SearchObserver& inner) : m_inner(inner) {}

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
    void progress(const SearchProgress& counters) override { m_inner.progress(counters); }
    bool stopRequested() override { return m_inner.stopRequested(); }

    std::string FilesCount = FilesCountText(0, 0);
    std::string DuplicatesFound = DuplicatesCountText(0);

private:
    SearchObserver& m_inner;
};

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

    CaptionKeeper captions(observer);
    captions.filesCountText(captions.FilesCount);
    captions.duplicatesFoundText(captions.DuplicatesFound);
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
        FolderScan scan(catalogue, settings, options.TrashFolders, captions);
        for (std::size_t i : FilterFolders(listed)) {
            if (directoryExists(listed[i]))
                scan.ScanRoot(listed[i]);
            else if (options.MissingFolder)
                options.MissingFolder(listed[i]);
            if (StopTest(catalogue.SearchStopped, captions))
                break;
        }
        catalogue.TrimAfterScan();

        if (!StopTest(catalogue.SearchStopped, captions)) {
            catalogue.AllocatePairs();
            try {
                if (options.UseReferenceMatcher)
                    MatchPictures(catalogue, settings, captions, environment);
                else
                    MatchPicturesFast(catalogue, settings, captions, environment, options.Threads);
            } catch (...) {
                catalogue.TrimAfterMatching();
                throw;
            }
            catalogue.TrimAfterMatching();
        }

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
    summary.FilesCountText = captions.FilesCount;
    summary.CurrentDuplicatesFoundText = captions.DuplicatesFound;
    summary.TimeText = "Elapsed time: " + FormatElapsed(summary.ElapsedMilliseconds);
    const std::string head = summary.Stopped ? "Search interrupted." : "Search finished.";
    summary.ClosingMessage = head + std::string(36, ' ') + "\n\r\n\r" + summary.FilesCountText
        + "\n\r" + summary.CurrentDuplicatesFoundText + "\n\r" + summary.TimeText + "\n\r";
    catalogue.SearchStopped = true;
    return summary;
}

} // namespace ferrovin
