#pragma once

#include <cstdint>
#include <string>

namespace ferrovin {

// Counters of a running search, for front ends that draw their own progress.
struct SearchProgress {
    std::int32_t catalogued = 0;  // pictures catalogued by the folder scan so far
    std::int32_t analysed = 0;    // position (k + 1) of the picture matching last finished
    std::int32_t total = 0;       // pictures in the trimmed catalogue (0 during the scan)
    std::int32_t pairs = 0;       // pairs found so far
};

// Something the search passed over, and why.
struct PassedOver {
    enum class Kind {
        UnreadableFile,      // a catalogued or listed file that could not be read
        UndecodablePicture,  // a file that was read but did not decode
        UnlistableFolder,    // a subfolder that could not be entered or listed
    };
    Kind What = Kind::UnreadableFile;
    std::string Path;    // the folder's path plus the name; a folder's ends in "/"
    std::string Reason;  // strerror text of the failed call, or the decoder's message
};

// The one channel between the engine and a front end: texts and counters go
// out, the stop request comes in. Called on the thread that runs the search,
// so a GUI implementation forwards to its own thread.
class SearchObserver {
public:
    virtual ~SearchObserver() = default;

    // Caption of the picture counter ("Total pictures scanned: ...").
    virtual void filesCountText(const std::string& /*text*/) {}
    // Caption of the pair counter ("Similar pictures found: ...").
    virtual void duplicatesFoundText(const std::string& /*text*/) {}
    // Raw counters, sent alongside the texts.
    virtual void progress(const SearchProgress& /*counters*/) {}
    // Polled at every stop test of the search.
    virtual bool stopRequested() { return false; }
    // Each file and folder passed over, in catalogue order: one the folder scan
    // met comes before every picture catalogued after it. The window says
    // nothing about them; the command line lists them.
    virtual void passedOver(const PassedOver& /*item*/) {}
};

} // namespace ferrovin

#include <atomic>

namespace ferrovin {

// A stop test of the search: a stop asked for through the observer raises the
// search's flag, and the flag decides. Once raised it stays raised.
inline bool StopTest(std::atomic<bool>& searchStopped, SearchObserver& observer)
{
    if (!searchStopped.load(std::memory_order_relaxed) && observer.stopRequested())
        searchStopped.store(true);
    return searchStopped.load();
}

} // namespace ferrovin
