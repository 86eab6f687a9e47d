#include <QAction>
#include <QCheckBox>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <chrono>
#include <stdexcept>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "engine/catalogue/catalogue.h"
#include "engine/search/search_observer.h"
#include "gui/folders/folder_dialog.h"
#include "gui/main_window/main_form.h"
#include "gui/main_window/widgets.h"
#include "gui/results/result_list_model.h"
#include "gui/update/update_form.h"
#include "support/temp_dir.h"

using namespace ferrovin;

namespace {

const QString kPlaceholder = QStringLiteral("       You can drag directories from the file manager");

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

// A new folder's path without its trailing slash, as pickers and drops give it.
QString newFolder(const test::TempDir& temp, const std::string& name)
{
    QString path = q(temp.makeDir(name));
    while (path.endsWith('/'))
        path.chop(1);
    return path;
}

QStringList entries(const TMainForm& form)
{
    QStringList texts;
    for (int i = 0; i < form.DirectoriesListBox->count(); ++i)
        texts << form.DirectoriesListBox->item(i)->text();
    return texts;
}

// A search that runs until it is told to stop.
SearchSummary untilStopped(Catalogue& catalogue, const Settings&, const std::vector<std::string>&,
                           SearchObserver& observer)
{
    catalogue.Reset(100);
    observer.filesCountText("Total pictures scanned: 0 / 7");
    while (!observer.stopRequested())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // Reads the tables after the stop request: they must still be there.
    catalogue.TrimAfterScan();
    SearchSummary summary;
    summary.Stopped = true;
    summary.DuplicatesFoundText = "Duplicates found: 0";
    summary.ClosingMessage = "Search interrupted.";
    return summary;
}

SearchSummary failing(Catalogue&, const Settings&, const std::vector<std::string>&,
                      SearchObserver& observer)
{
    observer.filesCountText("Total pictures scanned: 0 / 3");
    throw std::runtime_error("Out of memory");
}

} // namespace

class MainFormTest final : public QObject {
    Q_OBJECT
private:
    struct Message {
        TMessageKind kind;
        QString text;
    };

    // A window whose settings live in a temporary folder and whose message
    // boxes and settings writes are recorded instead of shown.
    std::unique_ptr<TMainForm> makeForm()
    {
        auto form = std::make_unique<TMainForm>(nullptr, q(m_temp->path()));
        form->setMessageHandler([this](TMessageKind kind, const QString& text) {
            m_messages.push_back({kind, text});
        });
        form->setSettingsSaver([this](const Settings&, const std::string&) { ++m_saves; });
        return form;
    }

    std::unique_ptr<test::TempDir> m_temp;
    std::vector<Message> m_messages;
    int m_saves = 0;

private slots:
    void init()
    {
        m_temp = std::make_unique<test::TempDir>();
        m_messages.clear();
        m_saves = 0;
    }

    void startsIdleWithGreyDisabledPlaceholderAndSamplePair()
    {
        auto form = makeForm();
        QCOMPARE(entries(*form), (QStringList{QString(), QString(), kPlaceholder}));
        QCOMPARE(kPlaceholder.size(), 53);
        QVERIFY(form->FolderListIsPlaceholder());
        QVERIFY(!form->DirectoriesListBox->isEnabled());
        QVERIFY(form->folders().isEmpty());
        QCOMPARE(form->DirectoriesListBox->palette().color(QPalette::Active, QPalette::Text),
                 form->DirectoriesListBox->palette().color(QPalette::Disabled, QPalette::Text));

        QCOMPARE(form->windowTitle(), QStringLiteral("Ferrovin"));
        QCOMPARE(form->StartButton->text(), QStringLiteral("Start Search"));
        QCOMPARE(form->StartSearch1->text(), QStringLiteral("Start Search"));
        QCOMPARE(form->ImageLabel1->text(), QStringLiteral("JPG  220 x 290  17 KB"));
        QCOMPARE(form->ImageLabel2->text(), QStringLiteral("JPG  220 x 290  12 KB"));
        QCOMPARE(form->PercentLabel->text(), QStringLiteral("56%"));
        QVERIFY(!form->LeftImage->picture().isNull());
        QCOMPARE(form->SearchPanel->height(), 0);
        QVERIFY(form->ScanSubfoldersCheckBox->isChecked());
        QCOMPARE(form->ScanSubfoldersCheckBox->text(), QStringLiteral(" "));
        QCOMPARE(form->Label1->text(), QStringLiteral(" Scan Subdirectories"));
        QVERIFY(!form->Timer1->isActive());
        QCOMPARE(form->Timer1->interval(), 1000);
        QCOMPARE(form->AddFolderDialog->Flags(), 0x41u);
        QCOMPARE(form->AppFolder(), q(m_temp->path()));

        const std::pair<const char*, const char*> hints[] = {
            {"AddFolderButton", "Add Folder"}, {"RemoveFolderButton", "Remove Selected Folder"},
            {"MoveFolderUpButton", "Move Up"}, {"MoveFolderDownButton", "Move Down"},
            {"ClearDirectoriesButton", "Clear All"}, {"MoveImageButton1", "Move file"},
            {"BrowseImageButton2", "Browse file"}, {"DeleteImageButton1", "Delete file"},
            {"SwapImagesButton", "Swap Images"}};
        for (const auto& [name, hint] : hints) {
            auto* button = form->findChild<QToolButton*>(QLatin1String(name));
            QVERIFY2(button != nullptr, name);
            QCOMPARE(button->toolTip(), QLatin1String(hint));
            QVERIFY2(!button->icon().isNull(), name);
        }
        const char* named[] = {"TopPanel", "Panel2", "FoldersCaptionLabel", "Splitter1",
                               "CentralPanel", "SearchPanel", "ImagePanel1", "Image3",
                               "ImageTextPanel1", "ImageButtonsPanel1", "BetweenImagesPanel",
                               "SimilarityLabel", "ImagePanel2", "Image4", "Splitter2",
                               "BottomPanel", "SummaryPanel", "ScannedCountLabel",
                               "DuplicatesFoundLabel", "DiskUsageLabel", "ListView1", "Timer1",
                               "MainMenu1", "Image1", "Image2"};
        for (const char* name : named)
            QVERIFY2(form->findChild<QObject*>(QLatin1String(name)) != nullptr, name);
        QCOMPARE(form->ListModel->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("Similarity"));
    }

    void addFolderAppendsThePickedFolderWithASlash()
    {
        auto form = makeForm();
        const QString picked = newFolder(*m_temp, "Photos");  // no trailing slash
        std::optional<QString> answer;
        QString caption;
        form->AddFolderDialog->setChooser([&](const TFolderRequest& request, TFolderDialog&) {
            caption = request.caption;
            return answer;
        });

        form->AddFolderButton->click();  // cancelled
        QVERIFY(form->FolderListIsPlaceholder());
        QCOMPARE(caption, QStringLiteral("Add folder to search"));

        answer = picked;
        form->AddFolderButton->click();
        form->AddFolderButton->click();
        QCOMPARE(entries(*form), (QStringList{picked + QLatin1Char('/'), picked + QLatin1Char('/')}));
        QVERIFY(!form->FolderListIsPlaceholder());
        QVERIFY(form->DirectoriesListBox->isEnabled());

        answer = QStringLiteral("/");
        form->AddFolderButton->click();
        QCOMPARE(entries(*form).last(), QStringLiteral("/"));
    }

    void toolBarButtonsEditTheListAndKeepTheMovedEntrySelected()
    {
        auto form = makeForm();
        const QString a = newFolder(*m_temp, "a"), b = newFolder(*m_temp, "b"), c = newFolder(*m_temp, "c");
        form->DropFiles({a, b, c});
        QCOMPARE(entries(*form), (QStringList{a + '/', b + '/', c + '/'}));
        QListWidget* list = form->DirectoriesListBox;

        // Nothing selected: every button leaves the list alone.
        list->clearSelection();
        form->MoveFolderUpButton->click();
        form->MoveFolderDownButton->click();
        form->RemoveFolderButton->click();
        QCOMPARE(list->count(), 3);

        list->setCurrentRow(0);
        form->MoveFolderUpButton->click();  // first entry: stays
        QCOMPARE(entries(*form).first(), a + '/');
        form->MoveFolderDownButton->click();
        QCOMPARE(entries(*form), (QStringList{b + '/', a + '/', c + '/'}));
        QCOMPARE(list->currentRow(), 1);
        form->MoveFolderDownButton->click();
        form->MoveFolderDownButton->click();  // last entry: stays
        QCOMPARE(entries(*form), (QStringList{b + '/', c + '/', a + '/'}));
        QCOMPARE(list->currentRow(), 2);
        QVERIFY(list->item(2)->isSelected());
        form->MoveFolderUpButton->click();
        QCOMPARE(entries(*form), (QStringList{b + '/', a + '/', c + '/'}));
        QCOMPARE(list->currentRow(), 1);

        form->RemoveFolderButton->click();
        QCOMPARE(entries(*form), (QStringList{b + '/', c + '/'}));

        form->ClearDirectoriesButton->click();
        QVERIFY(form->FolderListIsPlaceholder());
        QCOMPARE(entries(*form).last(), kPlaceholder);
        form->ClearDirectoriesButton->click();  // on the placeholder: nothing
        QCOMPARE(list->count(), 3);

        form->DropFiles({a});
        list->setCurrentRow(0);
        form->RemoveFolderButton->click();  // the last folder brings the placeholder back
        QVERIFY(form->FolderListIsPlaceholder());
        QVERIFY(!list->isEnabled());
    }

    void deleteKeyRemovesTheSelectionAndLeavesAnEmptyEnabledList()
    {
        auto form = makeForm();
        form->DropFiles({newFolder(*m_temp, "x")});
        form->DirectoriesListBox->setCurrentRow(0);
        QTest::keyClick(form->DirectoriesListBox, Qt::Key_Delete);
        QCOMPARE(form->DirectoriesListBox->count(), 0);
        QVERIFY(!form->FolderListIsPlaceholder());
        QVERIFY(form->DirectoriesListBox->isEnabled());
        QTest::keyClick(form->DirectoriesListBox, Qt::Key_Delete);  // nothing to delete
        QCOMPARE(form->DirectoriesListBox->count(), 0);

        // The empty list is not the placeholder, but there is nothing to search.
        form->StartButton->click();
        QCOMPARE(m_messages.size(), 1u);
        QCOMPARE(m_messages[0].text, QStringLiteral("Please, add one or more directories to search."));
        QVERIFY(form->catalogue().SearchStopped);
    }

    void dropsAppendFoldersAndTheFoldersOfFiles_data()
    {
        QTest::addColumn<QStringList>("dropped");  // relative to the temp folder; "@" = as is
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("folder gains its slash") << QStringList{"pics"} << QStringList{"pics/"};
        QTest::newRow("folder with its slash") << QStringList{"pics/"} << QStringList{"pics/"};
        QTest::newRow("each file gives its folder")
            << QStringList{"pics/1.jpg", "pics/2.jpg", "pics/1.jpg"}
            << QStringList{"pics/", "pics/", "pics/"};
        QTest::newRow("file in a missing folder is ignored")
            << QStringList{"gone/1.jpg", "pics"} << QStringList{"pics/"};
        QTest::newRow("file at the root gives the root")
            << QStringList{"@/no-such-file.jpg"} << QStringList{"@/"};
        QTest::newRow("nothing usable") << QStringList{"gone/deeper"} << QStringList{};
    }
    void dropsAppendFoldersAndTheFoldersOfFiles()
    {
        QFETCH(QStringList, dropped);
        QFETCH(QStringList, listed);
        m_temp->writeFile("pics/1.jpg", "1");
        m_temp->writeFile("pics/2.jpg", "2");
        const auto resolve = [this](const QString& name) {
            return name.startsWith('@') ? name.mid(1) : q(m_temp->path()) + name;
        };
        auto form = makeForm();
        QList<QUrl> urls;
        for (const QString& name : dropped)
            urls << QUrl::fromLocalFile(resolve(name));
        urls << QUrl(QStringLiteral("https://example.org/remote.jpg"));  // not a local file

        QMimeData mime;
        mime.setUrls(urls);
        form->DropMimeData(mime);

        QStringList expected;
        for (const QString& name : listed)
            expected << resolve(name);
        QCOMPARE(entries(*form), expected);
        // Every drop leaves the placeholder, even one that adds nothing.
        QVERIFY(!form->FolderListIsPlaceholder());
        QVERIFY(form->DirectoriesListBox->isEnabled());
    }

    void labelTogglesTheSubfolderSettingAndTwoClicksUndoIt()
    {
        auto form = makeForm();
        QTest::mouseClick(form->Label1, Qt::LeftButton);
        QVERIFY(!form->ScanSubfoldersCheckBox->isChecked());
        QVERIFY(!form->settings().ScanSubfolders);
        QTest::mouseClick(form->Label1, Qt::LeftButton);
        QVERIFY(form->ScanSubfoldersCheckBox->isChecked());
        QVERIFY(form->settings().ScanSubfolders);
    }

    void previewHalvesSplitTheCentralWidthLessSixty()
    {
        auto form = makeForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        for (const int width : {1035, 1036, 900, 901}) {
            form->resize(width, form->height());
            QTRY_COMPARE(form->CentralPanel->width(), width);
            QCOMPARE(form->ImagePanel1->width(), (width - 60) / 2);
            QCOMPARE(form->ImagePanel2->x() + form->ImagePanel2->width(), width);
            QCOMPARE(form->SearchPanel->height(), 0);  // idle resizes keep the overlay hidden
        }
    }

    void searchModeDisablesTheControlsAndCoversThePreview()
    {
        auto form = makeForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QWidget* controls[] = {form->DirectoriesListBox, form->AddFolderButton,
                               form->RemoveFolderButton, form->MoveFolderUpButton,
                               form->MoveFolderDownButton, form->ClearDirectoriesButton,
                               form->SwapImagesButton, form->MoveImageButton1,
                               form->BrowseImageButton1, form->DeleteImageButton1,
                               form->MoveImageButton2, form->BrowseImageButton2,
                               form->DeleteImageButton2, form->ListView1,
                               form->ScanSubfoldersCheckBox, form->LeftImage, form->RightImage};

        form->catalogue().SearchStopped = false;
        form->EnterSearchMode();
        for (QWidget* control : controls)
            QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY(!form->Settings1->isEnabled());
        QVERIFY(!form->About1->isEnabled());
        QVERIFY(form->Exit1->isEnabled() && form->Donate1->isEnabled()
                && form->CheckforUpdates1->isEnabled() && form->StartSearch1->isEnabled());
        QCOMPARE(form->StartButton->text(), QStringLiteral("Stop Search"));
        QCOMPARE(form->StartSearch1->text(), QStringLiteral("Stop Search"));
        QCOMPARE(form->ImageLabel1->text(), QStringLiteral("No Image"));
        QCOMPARE(form->PercentLabel->text(), QStringLiteral("0%"));
        QCOMPARE(form->DiskUsageLabel->text(), QStringLiteral("Disk Space Usage: 0 MB"));
        QVERIFY(form->LeftImage->picture().isNull());

        for (const int height : {700, 611}) {
            form->resize(form->width(), height);
            QTRY_COMPARE(form->SearchPanel->height(), form->CentralPanel->height());
            const int top = form->CentralPanel->height() / 2 - 64;
            QCOMPARE(form->FilesCountLabel->y(), top);
            QCOMPARE(form->CurrentDuplicatesFoundLabel->y(), top + 32);
            QCOMPARE(form->TimeLabel->y(), top + 64);
        }

        form->catalogue().SearchStopped = true;
        form->LeaveSearchMode();
        for (QWidget* control : controls)
            QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
        QCOMPARE(form->StartButton->text(), QStringLiteral("Start Search"));
        QCOMPARE(form->SearchPanel->height(), 0);
        QCOMPARE(form->ImageLabel1->text(), QStringLiteral("No Image"));  // kept
        // Leaving search mode enables the list box even on the placeholder.
        QVERIFY(form->FolderListIsPlaceholder());
    }

    void timerShowsTheElapsedTimeOnlyWhileSearching()
    {
        auto form = makeForm();
        using namespace std::chrono;
        const auto now = std::uint32_t(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
        form->catalogue().SearchStartTick = now - 3661000;
        form->Timer1Timer();
        QCOMPARE(form->TimeLabel->text(), QStringLiteral("Elapsed time: 00:00:00"));
        form->catalogue().SearchStopped = false;
        form->Timer1Timer();
        QCOMPARE(form->TimeLabel->text(), QStringLiteral("Elapsed time: 01:01:01"));
        form->catalogue().SearchStopped = true;
    }

    void searchFindsIdenticalPicturesAndSumsUpWhenItEnds()
    {
        auto form = makeForm();
        const QString folder = newFolder(*m_temp, "pics") + '/';
        QVERIFY(QFile::copy(":/samples/sample1.jpg", folder + "a.jpg"));
        QVERIFY(QFile::copy(":/samples/sample1.jpg", folder + "b.jpg"));
        m_temp->writeFile("pics/empty.jpg", "");  // never catalogued
        form->DropFiles({folder + "a.jpg"});
        form->StartButton->click();
        QVERIFY(!form->DirectoriesListBox->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!m_messages.empty(), 20000);
        QVERIFY(!form->searchRunning());

        const QString br = QStringLiteral("\n\r");
        QCOMPARE(m_messages.size(), 1u);
        QCOMPARE(m_messages[0].kind, TMessageKind::Information);
        QCOMPARE(m_messages[0].text,
                 QStringLiteral("Search finished.") + QString(36, ' ') + br + br
                     + "Total pictures scanned: 2 / 2" + br + "Similar pictures found: 1" + br
                     + "Elapsed time: 00:00:00" + br);
        QCOMPARE(form->DuplicatesFoundLabel->text(), QStringLiteral("Duplicates found: 1"));
        QCOMPARE(form->ScannedCountLabel->text(), QStringLiteral("Files scanned: 2"));
        QCOMPARE(form->StartButton->text(), QStringLiteral("Start Search"));
        QVERIFY(form->catalogue().SearchStopped);
        QVERIFY(!form->Timer1->isActive());
        QVERIFY(form->DirectoriesListBox->isEnabled());
        QCOMPARE(form->SearchPanel->height(), 0);

        QCOMPARE(form->ListModel->rowCount(), 1);
        QCOMPARE(form->ListView1->currentIndex().row(), 0);
        const auto cell = [&](int column) {
            return form->ListModel->index(0, column).data().toString();
        };
        QCOMPARE(cell(0), folder + "a.jpg");
        QCOMPARE(cell(1), folder + "b.jpg");
        QCOMPARE(cell(2), QStringLiteral("100"));
    }

    void searchErrorStillRestoresTheIdleStateAndIsReported()
    {
        auto form = makeForm();
        form->setSearchBody(&failing);
        form->DropFiles({newFolder(*m_temp, "pics")});
        form->StartButton->click();
        QTRY_COMPARE(m_messages.size(), 2u);
        QVERIFY(m_messages[0].text.startsWith("Search interrupted."));
        QVERIFY(m_messages[0].text.contains("\n\rTotal pictures scanned: 0 / 3\n\r"));
        QCOMPARE(m_messages[1].kind, TMessageKind::Error);
        QCOMPARE(m_messages[1].text, QStringLiteral("Out of memory"));
        QCOMPARE(form->DuplicatesFoundLabel->text(), QStringLiteral("Duplicates found: 0"));
        QCOMPARE(form->StartButton->text(), QStringLiteral("Start Search"));
        QVERIFY(form->catalogue().SearchStopped);
    }

    void stopEndsTheSearchWithTheInterruptedMessage()
    {
        auto form = makeForm();
        form->setSearchBody(&untilStopped);
        form->DropFiles({newFolder(*m_temp, "pics")});
        form->StartButton->click();
        QVERIFY(form->searchRunning());
        QTRY_COMPARE(form->FilesCountLabel->text(), QStringLiteral("Total pictures scanned: 0 / 7"));
        QVERIFY(!form->DirectoriesListBox->isEnabled());

        form->StartButton->click();  // captioned "Stop Search" now
        QTRY_VERIFY(!m_messages.empty());
        QCOMPARE(m_messages[0].text, QStringLiteral("Search interrupted."));
        QCOMPARE(form->DuplicatesFoundLabel->text(), QStringLiteral("Duplicates found: 0"));
        QCOMPARE(form->ListModel->rowCount(), 0);
        QVERIFY(form->DirectoriesListBox->isEnabled());
    }

    void searchRefusesWithoutFileTypes()
    {
        auto form = makeForm();
        Settings& settings = form->settings();
        settings.SearchJPG = settings.SearchBMP = settings.SearchGIF = settings.SearchPNG =
            settings.SearchTIFF = false;
        form->DropFiles({newFolder(*m_temp, "pics")});
        form->StartButtonClick();
        QCOMPARE(m_messages.size(), 1u);
        QCOMPARE(m_messages[0].text,
                 QStringLiteral("Please, choose one or more file types in Settings menu."));
        QVERIFY(!form->searchRunning());
        QCOMPARE(form->StartButton->text(), QStringLiteral("Start Search"));
    }

    void closingDuringASearchStopsItSavesOnceAndReleasesTheTables()
    {
        auto form = makeForm();
        form->setSearchBody(&untilStopped);
        form->DropFiles({newFolder(*m_temp, "pics")});
        form->show();
        form->StartButton->click();
        QVERIFY(form->searchRunning());

        QVERIFY(form->close());
        QVERIFY(!form->searchRunning());
        QCOMPARE(m_saves, 1);
        QVERIFY(form->catalogue().PicList.empty());
        QCOMPARE(form->catalogue().LastPairIndex, -1);
        QCOMPARE(form->ListModel->rowCount(), 0);
        QTest::qWait(20);  // the search's own closing steps must not run after the close
        QVERIFY(m_messages.empty());

        form->Exit1Click();  // a later close does not save again
        QCOMPARE(m_saves, 1);
    }

    void exitSavesTheSettingsFileOnce()
    {
        auto form = std::make_unique<TMainForm>(nullptr, q(m_temp->path()));
        form->setMessageHandler([this](TMessageKind kind, const QString& text) {
            m_messages.push_back({kind, text});
        });
        form->show();
        form->Exit1Click();
        QVERIFY(!form->isVisible());
        const QString ini = q(m_temp->path()) + "Ferrovin.ini";
        QVERIFY(QFileInfo::exists(ini));
        QFile::remove(ini);
        form->close();  // already closed: nothing is written again
        QVERIFY(!QFileInfo::exists(ini));
        QVERIFY(m_messages.empty());
    }

    void unwritableSettingsAreReportedAndTheWindowStillCloses()
    {
        const QString missing = q(m_temp->path()) + "no/such/folder/";
        auto form = std::make_unique<TMainForm>(nullptr, missing);
        form->setMessageHandler([this](TMessageKind kind, const QString& text) {
            m_messages.push_back({kind, text});
        });
        form->show();
        QVERIFY(form->close());
        QCOMPARE(m_messages.size(), 1u);
        QCOMPARE(m_messages[0].kind, TMessageKind::Error);
        QVERIFY2(m_messages[0].text.startsWith(QStringLiteral("Unable to write to ")),
                 qPrintable(m_messages[0].text));
    }

    void automaticUpdateCheckOpensOnceWhenTheWindowIsShown_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::newRow("AutoCheckUpdates on") << true;
        QTest::newRow("AutoCheckUpdates off") << false;
    }
    void automaticUpdateCheckOpensOnceWhenTheWindowIsShown()
    {
        QFETCH(bool, enabled);
        m_temp->writeFile("Ferrovin.ini", enabled ? "[Main]\r\nAutoCheckUpdates=1\r\n"
                                                  : "[Main]\r\nAutoCheckUpdates=0\r\n");
        auto form = makeForm();
        QCOMPARE(form->AutoCheckPending(), enabled);
        TUpdateForm update(form.get());
        form->AttachForms(nullptr, nullptr, &update);
        int opened = 0;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, this, [&] {
            if (update.isVisible()) {
                ++opened;
                update.reject();
            }
        });
        watcher.start(5);

        form->show();
        QTest::qWait(100);
        form->hide();
        form->show();  // shown again: no second automatic check
        QTest::qWait(100);
        QCOMPARE(opened, enabled ? 1 : 0);
        QVERIFY(!form->AutoCheckPending());
    }

    void aCacheWarningIsTheClosingMessagesLastLine()
    {
        auto form = makeForm();
        form->setSearchBody([](Catalogue& catalogue, const Settings&, const std::vector<std::string>&,
                               SearchObserver&) {
            catalogue.Reset(100);
            catalogue.TrimAfterScan();
            SearchSummary summary;
            summary.ClosingMessage = "Search finished.";
            summary.CacheWarning = "The signature cache is damaged; searching without it.";
            return summary;
        });
        form->DropFiles({newFolder(*m_temp, "pics")});
        form->StartButton->click();
        QTRY_COMPARE(m_messages.size(), 1u);
        QCOMPARE(m_messages[0].text, QStringLiteral("Search finished.\n\rThe signature cache is damaged; "
                                                    "searching without it.\n\r"));
    }

    void foldersOnTheCommandLineAreListedAsIfDropped()
    {
        auto form = makeForm();
        const QString one = newFolder(*m_temp, "one");
        m_temp->writeFile("two/p.jpg", "x");
        form->StartWithArguments({"-platform", one, q(m_temp->path() + "two/p.jpg")});
        QCOMPARE(entries(*form), (QStringList{one + '/', q(m_temp->path()) + "two/"}));
        QVERIFY(!form->FolderListIsPlaceholder());
    }

    void formatsUseTheSystemDecimalSeparator()
    {
        QCOMPARE(TMainForm::FormatElapsed(3661000), QStringLiteral("01:01:01"));
        const QString point = QLocale::system().decimalPoint();
        QCOMPARE(TMainForm::FormatByteSize(1073741824), QStringLiteral("1") + point + "000 GB");
        QCOMPARE(TMainForm::FormatByteSize(1048575), QStringLiteral("1024 KB"));
    }
};

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
