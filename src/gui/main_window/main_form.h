#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/catalogue/catalogue.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"

class QAction;
class QCheckBox;
class QLabel;
class QListWidget;
class QMenu;
class QMenuBar;
class QMimeData;
class QPushButton;
class QSplitter;
class QTableView;
class QTimer;
class QToolButton;

namespace ferrovin {

class FileSystem;
class SearchObserver;
class TPreviewLoader;
struct TDecodedPicture;
struct TActionResult;
class TAboutForm;
class TCentralPanel;
class TClickLabel;
class TFolderDialog;
class TPanel;
class TPictureView;
class TResultListModel;
class TSettingsForm;
class TUpdateForm;

enum class TMessageKind { Error, Information };

// The program's one main window: the folder list and its tool bar on top, the
// progress overlay or the preview pair in the middle, the summary and the
// result list below. It owns the catalogue and the settings of the session.
class TMainForm final : public QMainWindow {
    Q_OBJECT
public:
    // The search itself, run on a worker thread: walks `folders` (list order)
    // into the catalogue and pairs the pictures, reporting through `observer`;
    // the engine's RunSearch unless a test replaces it.
    using SearchBody = std::function<SearchSummary(Catalogue& catalogue, const Settings& settings,
                                                   const std::vector<std::string>& folders,
                                                   SearchObserver& observer)>;
    using MessageHandler = std::function<void(TMessageKind, const QString&)>;
    // A Yes/No question; true for Yes.
    using ConfirmHandler = std::function<bool(const QString&)>;
    using SettingsSaver = std::function<void(const Settings&, const std::string& appFolder)>;

    // `appFolder` overrides the executable's folder as the home of Ferrovin.ini.
    explicit TMainForm(QWidget* parent = nullptr, const QString& appFolder = {});
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // The three other windows, created after this one; each may stay null.
    void AttachForms(TAboutForm* about, TSettingsForm* settings, TUpdateForm* update);

    // Hooks for tests and later wiring.
    void setSearchBody(SearchBody body) { m_searchBody = std::move(body); }
    void setMessageHandler(MessageHandler handler) { m_showMessage = std::move(handler); }
    void setConfirmHandler(ConfirmHandler handler) { m_confirm = std::move(handler); }
    // The file system the file actions use; the system's unless a test injects faults.
    void setFileSystem(FileSystem& fs) { m_fileSystem = &fs; }
    // The file manager hand-off of the browse buttons.
    void setBrowser(std::function<void(const QString&)> browse) { m_browse = std::move(browse); }
    void setSettingsSaver(SettingsSaver saver) { m_saveSettings = std::move(saver); }

    Catalogue& catalogue() { return m_catalogue; }
    Settings& settings() { return m_settings; }
    const QString& AppFolder() const { return m_appFolder; }
    bool FolderListIsPlaceholder() const { return m_folderListIsPlaceholder; }
    bool AutoCheckPending() const { return m_autoCheckPending; }
    bool searchRunning() const { return m_worker.joinable(); }
    // True while the preview waits for the pictures of the last selected pair.
    bool previewPending() const;
    std::int32_t sortColumn() const { return SortColumn; }
    bool sortDescending() const { return SortDescending; }
    // The folder-list entries (empty while the placeholder shows).
    QStringList folders() const;

    static QString FormatElapsed(std::uint32_t milliseconds);
    static QString FormatByteSize(std::int64_t size);

    // Controls, named as the window's layout names them.
    TPanel* TopPanel = nullptr;
    QListWidget* DirectoriesListBox = nullptr;
    TPanel* Panel2 = nullptr;
    QLabel* FoldersCaptionLabel = nullptr;
    QToolButton* AddFolderButton = nullptr;
    QToolButton* RemoveFolderButton = nullptr;
    QToolButton* MoveFolderUpButton = nullptr;
    QToolButton* MoveFolderDownButton = nullptr;
    QToolButton* ClearDirectoriesButton = nullptr;
    QPushButton* StartButton = nullptr;
    QCheckBox* ScanSubfoldersCheckBox = nullptr;
    TClickLabel* Label1 = nullptr;
    QSplitter* MainSplitter = nullptr;
    TCentralPanel* CentralPanel = nullptr;
    TPanel* SearchPanel = nullptr;
    QLabel* FilesCountLabel = nullptr;
    QLabel* CurrentDuplicatesFoundLabel = nullptr;
    QLabel* TimeLabel = nullptr;
    TPanel* ImagePanel1 = nullptr;
    TPictureView* LeftImage = nullptr;
    QLabel* Image3 = nullptr;
    TPanel* ImageTextPanel1 = nullptr;
    QLabel* ImageLabel1 = nullptr;
    TPanel* ImageButtonsPanel1 = nullptr;
    QToolButton* MoveImageButton1 = nullptr;
    QToolButton* BrowseImageButton1 = nullptr;
    QToolButton* DeleteImageButton1 = nullptr;
    QLabel* MoveImageLabel1 = nullptr;
    QLabel* BrowseImageLabel1 = nullptr;
    QLabel* DeleteImageLabel1 = nullptr;
    TPanel* BetweenImagesPanel = nullptr;
    QLabel* SimilarityLabel = nullptr;
    QLabel* PercentLabel = nullptr;
    QToolButton* SwapImagesButton = nullptr;
    TPanel* ImagePanel2 = nullptr;
    TPictureView* RightImage = nullptr;
    QLabel* Image4 = nullptr;
    TPanel* ImageTextPanel2 = nullptr;
    QLabel* ImageLabel2 = nullptr;
    TPanel* ImageButtonsPanel2 = nullptr;
    QToolButton* MoveImageButton2 = nullptr;
    QToolButton* BrowseImageButton2 = nullptr;
    QToolButton* DeleteImageButton2 = nullptr;
    QLabel* MoveImageLabel2 = nullptr;
    QLabel* BrowseImageLabel2 = nullptr;
    QLabel* DeleteImageLabel2 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    TPanel* BottomPanel = nullptr;
    TPanel* SummaryPanel = nullptr;
    QLabel* ScannedCountLabel = nullptr;
    QLabel* DuplicatesFoundLabel = nullptr;
    QLabel* DiskUsageLabel = nullptr;
    QTableView* ListView1 = nullptr;
    TResultListModel* ListModel = nullptr;
    QTimer* Timer1 = nullptr;
    QMenuBar* MainMenu1 = nullptr;
    QAction* StartSearch1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* Settings1 = nullptr;
    QAction* Howtouse1 = nullptr;
    QAction* CheckforUpdates1 = nullptr;
    QAction* Visitprogramswebsite1 = nullptr;
    QAction* About1 = nullptr;
    QAction* Donate1 = nullptr;
    TFolderDialog* AddFolderDialog = nullptr;

public slots:
    // Folder list.
    void AddFolderButtonClick();
    void RemoveFolderButtonClick();
    void MoveFolderUpButtonClick();
    void MoveFolderDownButtonClick();
    void ClearDirectoriesButtonClick();
    void Label1Click();
    // The drop handler: each dropped name in the order the drop lists them.
    void DropFiles(const QStringList& names);
    // The folders named on the command line (program name left out).
    void StartWithArguments(const QStringList& arguments);
    // The local files and folders of a drop, handed to DropFiles.
    void DropMimeData(const QMimeData& data);

    // Search and progress.
    void StartButtonClick();
    void RunSearch();
    void EnterSearchMode();
    void LeaveSearchMode();
    void CentralPanelResize();
    void Timer1Timer();
    void FormResize();

    // Result list, preview and file actions.
    void ListView1Click();
    void ListView1ColumnClick(int column);
    void ListView1KeyUp(int key);
    void LeftImageClick();
    void RightImageClick();
    void SwapImagesButtonClick();
    void DeleteImageButton1Click();
    void DeleteImageButton2Click();
    void MoveImageButton1Click();
    void MoveImageButton2Click();
    void BrowseImageButton1Click();
    void BrowseImageButton2Click();

    // Menu.
    void Exit1Click();
    void Settings1Click();
    void CheckforUpdates1Click();
    void Howtouse1Click();
    void Visitprogramswebsite1Click();
    void About1Click();
    void Donate1Click();

    // Runs the close steps once; later calls only allow the close.
    void FormCloseQuery(bool& canClose);

signals:
    // Both pictures of the selected pair are on screen (or a load error was shown).
    void previewShown();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Observer;

    void FormCreate();
    void FormShow();
    void buildLayout();
    void buildTopPanel();
    void buildCentralPanel();
    void buildImagePanel(int side);
    void buildBottomPanel();
    void buildMenu();
    void layoutCentralPanel();
    void DirectoriesListBoxKeyDown(int key);
    void showPlaceholder();
    void leavePlaceholder();
    void appendFolder(QString folder);
    int selectedFolderIndex() const;
    void setSearchControlsEnabled(bool enabled);
    void finishSearch(const std::shared_ptr<const SearchSummary>& summary, const QString& error);
    void waitForSearch();
    void showMessage(TMessageKind kind, const QString& text);
    bool confirm(const QString& question);

    // Results: wiring, the preview's arrival and the file actions' shared steps.
    void wireResults();
    int selectedRow() const;
    QString pictureName(std::int32_t picIndex) const;
    QString picturePath(std::int32_t picIndex) const;
    void showPreview(const TDecodedPicture& left, const TDecodedPicture& right);
    void openPicture(int side);
    void deletePicture(int side);
    void movePicture(int side);
    void browsePicture(int side);
    bool reportRefusal(const TActionResult& result, const QString& name, const QString& verb);
    // The checks before a delete or move; true when it may go on (results work begun).
    bool startFileAction(int side, const QString& verb, int& row, QString& name);
    void finishFileAction(int row);
    void highlightCaption(QObject* button, bool under);
    void beginResultsWork();
    void endResultsWork();

    Catalogue m_catalogue;
    Settings m_settings;
    QString m_appFolder;
    bool m_folderListIsPlaceholder = true;
    bool m_autoCheckPending = false;
    bool m_shownOnce = false;
    bool m_closeDone = false;
    std::int32_t SortColumn = 0;
    bool SortDescending = false;
    int m_searchPanelHeight = 0;
    TAboutForm* AboutForm = nullptr;
    TSettingsForm* SettingsForm = nullptr;
    TUpdateForm* UpdateForm = nullptr;
    SearchBody m_searchBody;
    MessageHandler m_showMessage;
    SettingsSaver m_saveSettings;
    ConfirmHandler m_confirm;
    std::function<void(const QString&)> m_browse;
    FileSystem* m_fileSystem = nullptr;
    TPreviewLoader* m_preview = nullptr;
    // The pair the preview is loading: its texts are fixed when it is asked for.
    struct PreviewTexts {
        QString type[2];
        std::int64_t size[2] = {};
        QString name[2];
        double similarity = 0;
    } m_previewTexts;
    // Set while a sort or a file action runs: anything else that would touch
    // the pair table waits, and a close request is taken up afterwards.
    bool m_resultsBusy = false;
    bool m_closeAfterResultsWork = false;
    std::unique_ptr<Observer> m_observer;
    std::thread m_worker;
};

} // namespace ferrovin
