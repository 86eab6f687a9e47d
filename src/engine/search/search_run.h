#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/cache/signature_cache.h"
#include "engine/catalogue/catalogue.h"

namespace ferrovin {

struct Settings;
class SearchObserver;
struct MatchingEnvironment;

// How a front end wants the search run; every field has a working default.
struct RunOptions {
    int Threads = 0;                      // analysing threads; 0 = one per hardware thread
    bool UseReferenceMatcher = false;     // the plain quadratic loop instead of the index
    std::string ThousandsSeparator = ","; // grouping of the summary counts ("#,##0")
    std::vector<std::string> TrashFolders;  // folders the scan never enters (each ends in "/")
    // Told about each listed folder that is walked-worthy but does not exist.
    std::function<void(const std::string& folder)> MissingFolder;
    // Told about each such folder that exists but cannot be entered or listed,
    // with the strerror text of the failed call. Its subfolders' failures go
    // to the observer instead.
    std::function<void(const std::string& folder, const std::string& reason)> UnlistableFolder;
    // Replaces file decoding and comparison (tests); null = real files.
    const MatchingEnvironment* Environment = nullptr;
    // Where what analysis found is kept between searches; Cache.File empty (the
    // default) = nothing kept. Front ends pass DefaultCacheFile().
    CacheOptions Cache;
};

// What a search leaves for the front end to show.
struct SearchSummary {
    bool Refused = false;            // nothing was searched; RefusalText says why
    std::string RefusalText;
    bool Stopped = false;            // ended by a stop request
    std::int32_t PairCount = 0;      // LastPairIndex + 1
    std::int32_t FilesScanned = 0;   // LastPicIndex + 1
    std::int32_t FoldersSearched = 0;  // listed folders walked: neither missing nor unlistable
    std::string DuplicatesFoundText; // "Duplicates found: 1,234"
    std::string DiskUsageText;       // "Disk Space Usage: 0 B" (its label is hidden)
    std::string ScannedCountText;    // "Files scanned: 56"
    std::string FilesCountText;      // last "Total pictures scanned: ..." caption
    std::string CurrentDuplicatesFoundText;  // last "Similar pictures found: ..." caption
    std::string TimeText;            // "Elapsed time: hh:mm:ss"
    std::string ClosingMessage;      // the closing box text, line breaks as "\n\r"
    std::uint32_t ElapsedMilliseconds = 0;
    // One line when the signature cache could not be used or kept up; the
    // search ran on without it and its results are the same. Else empty.
    std::string CacheWarning;
};

inline constexpr const char* kNoFolderText = "Please, add one or more directories to search.";
inline constexpr const char* kNoFileTypeText = "Please, choose one or more file types in Settings menu.";

// The whole search behind the Start command: checks, folder walk through the
// folder filter, matching, summary texts. Sets catalogue.SearchStopped false at
// the start and true at the end; a front end stops it by raising that flag or
// through observer.stopRequested(). An unexpected error is rethrown after the
// flag has been raised.
SearchSummary RunSearch(Catalogue& catalogue, const Settings& settings,
                        const std::vector<std::string>& folders, SearchObserver& observer,
                        const RunOptions& options = {});

// Indices of `folders` the folder filter lets through, in order: a folder lying
// inside another listed folder, or repeating an earlier one (ASCII letters
// compared without case), is passed over.
std::vector<std::size_t> FilterFolders(const std::vector<std::string>& folders);

// `value` with its digits grouped by three ("#,##0").
std::string FormatGroupedCount(std::int64_t value, const std::string& separator);

} // namespace ferrovin
