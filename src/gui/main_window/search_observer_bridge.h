#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "engine/search/search_observer.h"
#include "gui/main_window/main_form.h"

namespace ferrovin {

// Carries the search's progress texts from the worker thread to the window.
// Only the newest text of each counter matters, so a burst of updates costs
// one queued call, not one per picture.
class TMainForm::Observer final : public SearchObserver {
public:
    explicit Observer(TMainForm& form) : m_form(form) {}

    void filesCountText(const std::string& text) override { post(m_filesCount, text); }
    void duplicatesFoundText(const std::string& text) override { post(m_duplicatesFound, text); }
    bool stopRequested() override { return m_stop.load(); }

    // The Stop command and the close request; cleared when a search starts.
    void requestStop(bool stop) { m_stop.store(stop); }

    // On the GUI thread: shows the newest texts.
    void flush();

private:
    struct Slot {
        std::string text;
        bool fresh = false;
    };

    void post(Slot& slot, const std::string& text);

    TMainForm& m_form;
    std::mutex m_mutex;
    Slot m_filesCount;
    Slot m_duplicatesFound;
    bool m_posted = false;
    std::atomic<bool> m_stop{false};
};

} // namespace ferrovin
