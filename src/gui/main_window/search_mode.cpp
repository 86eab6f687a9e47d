// The window's searching and idle states, the progress overlay and the run of
// one search on a worker thread.
#include "gui/main_window/main_form.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMetaObject>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include <chrono>
#include <exception>

#include "engine/search/progress_format.h"
#include "gui/main_window/search_observer_bridge.h"
#include "gui/main_window/widgets.h"
#include "gui/results/preview_loader.h"
#include "gui/results/result_list_model.h"

namespace ferrovin {

namespace {

// Milliseconds of a steady clock, wrapping like the tick counts they are compared with.
std::uint32_t TickCount()
{
    using namespace std::chrono;
    return std::uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

QString fromEngine(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Line break of the closing message: line feed, then carriage return.
const QString kBreak = QStringLiteral("\n\r");

} // namespace

void TMainForm::Observer::post(Slot& slot, const std::string& text)
{
    std::lock_guard lock(m_mutex);
    slot.text = text;
    slot.fresh = true;
    if (m_posted)
        return;
    m_posted = true;
    QMetaObject::invokeMethod(&m_form, [this] { flush(); }, Qt::QueuedConnection);
}

void TMainForm::Observer::flush()
{
    Slot files;
    Slot duplicates;
    {
        std::lock_guard lock(m_mutex);
        files = std::exchange(m_filesCount, Slot{});
        duplicates = std::exchange(m_duplicatesFound, Slot{});
        m_posted = false;
    }
    if (files.fresh)
        m_form.FilesCountLabel->setText(fromEngine(files.text));
    if (duplicates.fresh)
        m_form.CurrentDuplicatesFoundLabel->setText(fromEngine(duplicates.text));
}

QString TMainForm::FormatElapsed(std::uint32_t milliseconds)
{
    return fromEngine(ferrovin::FormatElapsed(milliseconds));
}

QString TMainForm::FormatByteSize(std::int64_t size)
{
    // The engine prints '.', the only dot in its text; the locale's separator
    // may be more than one byte.
    QString text = fromEngine(ferrovin::FormatByteSize(size, '.'));
    return text.replace(QLatin1Char('.'), QLocale::system().decimalPoint());
}

void TMainForm::StartButtonClick()
{
    if (m_resultsBusy)
        return;
    if (!m_catalogue.SearchStopped) {
        m_catalogue.SearchStopped = true;
        m_observer->requestStop(true);
        return;
    }
    // A stopped search that is still unwinding finishes before another starts.
    if (searchRunning())
        return;
    m_catalogue.SearchStopped = false;
    RunSearch();
}

void TMainForm::RunSearch()
{
    if (DirectoriesListBox->count() == 0 || m_folderListIsPlaceholder) {
        showMessage(TMessageKind::Error, QStringLiteral("Please, add one or more directories to search."));
        m_catalogue.SearchStopped = true;
        return;
    }
    if (!(m_settings.SearchJPG || m_settings.SearchBMP || m_settings.SearchGIF
          || m_settings.SearchPNG || m_settings.SearchTIFF)) {
        showMessage(TMessageKind::Error,
                    QStringLiteral("Please, choose one or more file types in Settings menu."));
        m_catalogue.SearchStopped = true;
        return;
    }
    if (searchRunning())
        return;

    EnterSearchMode();
    m_catalogue.SearchStopped = false;
    m_observer->requestStop(false);
    m_catalogue.SearchStartTick = TickCount();
    Timer1->start();
    ListModel->setItemCount(0);

    std::vector<std::string> folders;
    for (int i = 0; i < DirectoriesListBox->count(); ++i)
        folders.push_back(QFile::encodeName(DirectoriesListBox->item(i)->text()).toStdString());
    m_settings.ScanSubfolders = ScanSubfoldersCheckBox->isChecked();

    // The worker gets its own copy of the settings and the folder list; the
    // catalogue is out of the window's reach while the search mode lasts.
    m_worker = std::thread([this, folders = std::move(folders), settings = m_settings] {
        std::shared_ptr<const SearchSummary> summary;
        QString error;
        try {
            summary = std::make_shared<const SearchSummary>(
                m_searchBody(m_catalogue, settings, folders, *m_observer));
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
            if (error.isEmpty())
                error = QStringLiteral("Search failed.");
        }
        QMetaObject::invokeMethod(
            this, [this, summary, error] { finishSearch(summary, error); }, Qt::QueuedConnection);
    });
}

void TMainForm::waitForSearch()
{
    if (m_worker.joinable())
        m_worker.join();
}

void TMainForm::finishSearch(const std::shared_ptr<const SearchSummary>& summary,
                             const QString& error)
{
    waitForSearch();
    if (m_closeDone)
        return;
    m_observer->flush();

    const bool completed = summary != nullptr && !summary->Refused;
    if (completed) {
        ListModel->setItemCount(summary->PairCount);
        DuplicatesFoundLabel->setText(fromEngine(summary->DuplicatesFoundText));
        DiskUsageLabel->setText(fromEngine(summary->DiskUsageText));
        ScannedCountLabel->setText(fromEngine(summary->ScannedCountText));
        FilesCountLabel->setText(fromEngine(summary->FilesCountText));
        CurrentDuplicatesFoundLabel->setText(fromEngine(summary->CurrentDuplicatesFoundText));
        TimeLabel->setText(fromEngine(summary->TimeText));
    }

    Timer1->stop();
    LeaveSearchMode();
    if (completed) {
        // A cache that could not be used changes nothing but speed: one line
        // under the closing text says so.
        QString closing = fromEngine(summary->ClosingMessage);
        if (!summary->CacheWarning.empty())
            closing += kBreak + fromEngine(summary->CacheWarning) + kBreak;
        showMessage(TMessageKind::Information, closing);
    } else if (summary != nullptr) {
        showMessage(TMessageKind::Error, fromEngine(summary->RefusalText));
    } else {
        // An error ends the search: the closing box quotes the overlay as it
        // stands, then the error itself is reported.
        showMessage(TMessageKind::Information,
                    QStringLiteral("Search interrupted.") + QString(36, QLatin1Char(' ')) + kBreak
                        + kBreak + FilesCountLabel->text() + kBreak
                        + CurrentDuplicatesFoundLabel->text() + kBreak + TimeLabel->text() + kBreak);
        showMessage(TMessageKind::Error, error);
    }
    m_catalogue.SearchStopped = true;

    if (completed && summary->PairCount > 0) {
        ListView1->selectRow(0);
        ListView1Click();
    }
}

void TMainForm::setSearchControlsEnabled(bool enabled)
{
    for (QWidget* control : std::initializer_list<QWidget*>{
             DirectoriesListBox, AddFolderButton, RemoveFolderButton, MoveFolderUpButton,
             MoveFolderDownButton, ClearDirectoriesButton, SwapImagesButton, MoveImageButton1,
             BrowseImageButton1, DeleteImageButton1, MoveImageButton2, BrowseImageButton2,
             DeleteImageButton2, ListView1, ScanSubfoldersCheckBox})
        control->setEnabled(enabled);
    Settings1->setEnabled(enabled);
    About1->setEnabled(enabled);
}

void TMainForm::EnterSearchMode()
{
    setSearchControlsEnabled(false);

    ScannedCountLabel->setText(QStringLiteral("Files scanned: 0"));
    DuplicatesFoundLabel->setText(QStringLiteral("Duplicates found: 0"));
    DiskUsageLabel->setText(QStringLiteral("Disk Space Usage: 0 MB"));
    ImageLabel1->setText(QStringLiteral("No Image"));
    ImageLabel2->setText(QStringLiteral("No Image"));
    PercentLabel->setText(QStringLiteral("0%"));
    StartButton->setText(QStringLiteral("Stop Search"));
    StartSearch1->setText(QStringLiteral("Stop Search"));

    m_preview->cancel();
    LeftImage->setEnabled(false);
    LeftImage->clear();
    RightImage->setEnabled(false);
    RightImage->clear();

    m_searchPanelHeight = CentralPanel->height();
    layoutCentralPanel();

    FilesCountLabel->setText(QStringLiteral("Total pictures scanned: 0 / 0"));
    CurrentDuplicatesFoundLabel->setText(QStringLiteral("Similar pictures found: 0"));
    TimeLabel->setText(QStringLiteral("Elapsed time: 00:00:00"));

    CentralPanelResize();
}

void TMainForm::LeaveSearchMode()
{
    setSearchControlsEnabled(true);
    StartButton->setText(QStringLiteral("Start Search"));
    StartSearch1->setText(QStringLiteral("Start Search"));
    LeftImage->setEnabled(true);
    RightImage->setEnabled(true);
    m_searchPanelHeight = 0;
    layoutCentralPanel();
}

void TMainForm::CentralPanelResize()
{
    if (m_catalogue.SearchStopped)
        return;
    m_searchPanelHeight = CentralPanel->height();
    layoutCentralPanel();
    // Offsets in screen pixels: the three counters stacked round the middle.
    const int first = SearchPanel->height() / 2 - 64;
    FilesCountLabel->move(0, first);
    CurrentDuplicatesFoundLabel->move(0, first + 32);
    TimeLabel->move(0, first + 64);
}

void TMainForm::Timer1Timer()
{
    if (m_catalogue.SearchStopped)
        return;
    TimeLabel->setText(QStringLiteral("Elapsed time: ")
                       + FormatElapsed(TickCount() - m_catalogue.SearchStartTick));
}

} // namespace ferrovin
