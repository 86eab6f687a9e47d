#include "engine/search/analysis_pipeline.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include <sys/stat.h>

#include "engine/analysis/decoders/jpeg_codec.h"
#include "engine/analysis/picture_loading.h"
#include "engine/engine_error.h"
#include "engine/files/file_identity.h"
#include "engine/settings/settings.h"

namespace ferrovin {

void AnalysePicture(const std::string& path, const Settings& settings,
                    AnalysisWorkspace& workspace, AnalysedPicture& out)
{
    out = AnalysedPicture{};
    StreamSize streamSize;
    try {
        LoadPicture(path, workspace.Full, workspace.Small, settings, &streamSize);
    } catch (const EngineError& error) {
        // The picture is skipped; the reason goes with it to the front end.
        out.Unreadable = error.systemError() != 0;
        out.Failure = out.Unreadable ? std::strerror(error.systemError()) : error.what();
        out.Transient = out.Unreadable;
        out.StreamWidth = streamSize.Width;
        out.StreamHeight = streamSize.Height;
        return;
    } catch (const std::exception& error) {
        out.Failure = error.what();
        out.Transient = true;
        return;
    }
    out.StreamWidth = streamSize.Width;
    out.StreamHeight = streamSize.Height;
    out.Decoded = true;
    out.Height = workspace.Full.Height;
    out.Width = workspace.Full.Width;
    if (!PassesSizeTest(out.Height, out.Width, settings))
        return;
    ReadPreBuffer(path, out.PreBuffer);
    // Files of different lengths are never identical: the size lets the
    // matcher skip reading files whose heads merely agree.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        out.FileSize = static_cast<std::int64_t>(info.st_size);
    if (settings.SearchOnlyIdentical)
        return;
    ReduceToGrey8(workspace.Small, 1);
    const std::int32_t mean = MeanGrey(workspace.Small);
    ComputeWaveletMatrix(workspace.Small, *workspace.Matrix, mean);
    ExtractWaveletCoefs(*workspace.Matrix, out.Pos, out.Neg);
}

void StoreAnalysis(Catalogue& catalogue, std::int32_t index, const AnalysedPicture& analysed, bool onlyIdentical)
{
    TPicInfo& info = catalogue.PicList[static_cast<std::size_t>(index)];
    info.Height = analysed.Height;
    info.Width = analysed.Width;
    info.PreBuffer = analysed.PreBuffer;
    if (!onlyIdentical)
        catalogue.StoreWaveletCoefs(index, analysed.Pos, analysed.Neg);
    info.CCVStage = TCCVStage::Full;
}

int EffectiveThreadCount(int requested)
{
    if (requested > 0)
        return requested;
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

AnalysisPipeline::AnalysisPipeline(AnalyseFunction analyse, std::int32_t count, int threads,
                                   std::int32_t window)
    : m_analyse(std::move(analyse)), m_count(count), m_window(std::max<std::int32_t>(window, 1))
{
    if (threads <= 1 || count <= 1)
        return;
    m_slots.resize(static_cast<std::size_t>(m_window));
    const int workers = std::min<std::int64_t>(threads, count);
    m_workers.reserve(static_cast<std::size_t>(workers));
    for (int t = 0; t < workers; ++t)
        m_workers.emplace_back([this] { workerLoop(); });
}

AnalysisPipeline::~AnalysisPipeline()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_slotFree.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

void AnalysisPipeline::workerLoop()
{
    AnalysisWorkspace workspace;
    AnalysedPicture result;
    for (;;) {
        std::int32_t index = 0;
        {
            std::unique_lock lock(m_mutex);
            // A picture may start only when its ring slot is no longer held.
            m_slotFree.wait(lock, [this] {
                return m_stopping || m_nextToClaim >= m_count
                    || m_nextToClaim < m_consumed + m_window;
            });
            if (m_stopping || m_nextToClaim >= m_count)
                return;
            index = m_nextToClaim++;
        }
        std::exception_ptr error;
        try {
            m_analyse(index, workspace, result);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(m_mutex);
            Slot& slot = m_slots[static_cast<std::size_t>(index % m_window)];
            slot.Result = result;
            slot.Error = error;
            slot.Ready = true;
        }
        m_resultReady.notify_all();
    }
}

bool AnalysisPipeline::ready(std::int32_t index)
{
    if (m_workers.empty() || index >= m_count)
        return false;
    std::lock_guard lock(m_mutex);
    // The slot can hold no other picture: earlier users of it were all taken.
    return index < m_consumed + m_window && m_slots[static_cast<std::size_t>(index % m_window)].Ready;
}

const AnalysedPicture& AnalysisPipeline::take(std::int32_t index)
{
    if (m_workers.empty()) {
        m_analyse(index, m_inlineWorkspace, m_inlineResult);
        return m_inlineResult;
    }
    std::unique_lock lock(m_mutex);
    if (index > 0) {
        // The previous result has been used: its slot may be refilled. Idle
        // workers are woken once a stretch of slots is free, not for each one,
        // so that a fast consumer does not keep every thread switching.
        m_slots[static_cast<std::size_t>((index - 1) % m_window)].Ready = false;
        m_consumed = index;
        if (index % std::clamp(m_window / 4, 1, kWakeStride) == 0 || !m_slots[static_cast<std::size_t>(index % m_window)].Ready)
            m_slotFree.notify_all();
    }
    Slot& slot = m_slots[static_cast<std::size_t>(index % m_window)];
    m_resultReady.wait(lock, [&slot] { return slot.Ready; });
    if (slot.Error)
        std::rethrow_exception(slot.Error);
    return slot.Result;
}

} // namespace ferrovin
