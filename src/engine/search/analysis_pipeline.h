#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/analysis/analysed_picture.h"
#include "engine/analysis/picture_processing.h"
#include "engine/analysis/raster.h"
#include "engine/catalogue/catalogue.h"

namespace ferrovin {

struct Settings;

// Records an analysed picture in its catalogue entry and marks it Full: both
// matchers store the same fields (no signature when only identity counts).
void StoreAnalysis(Catalogue& catalogue, std::int32_t index, const AnalysedPicture& analysed, bool onlyIdentical);

// The buffers one analysing thread reuses from picture to picture.
struct AnalysisWorkspace {
    Raster Full;
    Raster Small;
    std::unique_ptr<TWaveletMatrix> Matrix = std::make_unique<TWaveletMatrix>();
};

// Load, size test, file head and (unless only identical files are sought) the
// signature of one file. Failures leave `out.Decoded` false; never throws for a
// bad picture. Safe to call from several threads with distinct workspaces.
void AnalysePicture(const std::string& path, const Settings& settings,
                    AnalysisWorkspace& workspace, AnalysedPicture& out);

// Analyses pictures 0 .. count-1 on a pool of threads while one consumer takes
// the results strictly in order. At most `window` results are held ahead of the
// consumer, which bounds memory whatever the catalogue size. With one thread
// the analysis runs inline on the consumer's thread.
class AnalysisPipeline final {
public:
    using AnalyseFunction =
        std::function<void(std::int32_t index, AnalysisWorkspace&, AnalysedPicture&)>;

    AnalysisPipeline(AnalyseFunction analyse, std::int32_t count, int threads,
                     std::int32_t window = 256);
    ~AnalysisPipeline();  // stops and joins the workers; unconsumed results are dropped
    AnalysisPipeline(const AnalysisPipeline&) = delete;
    AnalysisPipeline& operator=(const AnalysisPipeline&) = delete;

    // The result of picture `index`, which must be the next one in order. The
    // reference stays valid until the next call.
    const AnalysedPicture& take(std::int32_t index);
    // True when take(index) would not wait: its analysis is done. Always false
    // without workers, where take() does the analysis itself.
    bool ready(std::int32_t index);

private:
    struct Slot {
        AnalysedPicture Result;
        std::exception_ptr Error;  // an unexpected failure, rethrown to the consumer
        bool Ready = false;
    };

    void workerLoop();

    static constexpr std::int32_t kWakeStride = 16;

    AnalyseFunction m_analyse;
    std::int32_t m_count;
    std::int32_t m_window;
    std::vector<Slot> m_slots;        // ring of `window` results, indexed by index % window
    std::int32_t m_nextToClaim = 0;   // next picture a worker may start
    std::int32_t m_consumed = 0;      // pictures the consumer has taken (their slots are free)
    bool m_stopping = false;
    std::mutex m_mutex;
    std::condition_variable m_resultReady;
    std::condition_variable m_slotFree;
    std::vector<std::thread> m_workers;
    AnalysisWorkspace m_inlineWorkspace;  // used when running without workers
    AnalysedPicture m_inlineResult;
};

// Threads to use for `requested` (0 = one per hardware thread, at least 1).
int EffectiveThreadCount(int requested);

} // namespace ferrovin
