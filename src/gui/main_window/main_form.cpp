#include "gui/main_window/main_form.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "engine/engine_error.h"
#include "engine/files/file_system.h"
#include "engine/files/trash_folders.h"
#include "gui/about/about_form.h"
#include "gui/about/web_links.h"
#include "gui/folders/folder_dialog.h"
#include "gui/main_window/glyphs.h"
#include "gui/main_window/search_observer_bridge.h"
#include "gui/main_window/widgets.h"
#include "gui/results/result_list_model.h"
#include "gui/settings/settings_form.h"
#include "gui/shell/shell_services.h"
#include "gui/update/update_form.h"

// Resources of a static library must be registered by name, outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(ferrovin);
}

namespace ferrovin {

namespace {

QFont windowFont(int designHeight, bool bold = false)
{
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(Dp(designHeight));
    font.setBold(bold);
    return font;
}

QLabel* makeLabel(const QString& name, const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QToolButton* makePictureButton(const QString& name, const QString& hint, const QIcon& glyph,
                               QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setToolTip(hint);
    button->setAutoRaise(true);
    button->setFixedSize(Dp(47), Dp(47));
    button->setIconSize(QSize(Dp(30), Dp(30)));
    button->setIcon(glyph);
    button->setFocusPolicy(Qt::NoFocus);  // flat picture buttons never hold the focus
    // The style's hover panel is a light square that swallows the white glyph;
    // a faint veil keeps the glyph readable and still shows the button is live.
    button->setStyleSheet(QStringLiteral(
        "QToolButton { border: none; border-radius: 4px; background: transparent; }"
        "QToolButton:hover { background: rgba(255, 255, 255, 40); }"
        "QToolButton:pressed { background: rgba(255, 255, 255, 80); }"));
    return button;
}

// The list box's fixed item height.
class FixedHeightDelegate final : public QStyledItemDelegate {
public:
    FixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), m_height(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), m_height};
    }

private:
    int m_height;
};

TMainForm::SearchBody defaultSearchBody()
{
    return [](Catalogue& catalogue, const Settings& settings,
              const std::vector<std::string>& folders, SearchObserver& observer) {
        RunOptions options;
        // "#,##0" of the summary counts groups with the system's separator.
        options.ThousandsSeparator = QLocale::system().groupSeparator().toStdString();
        options.TrashFolders = TrashFolders();
        options.Cache.File = DefaultCacheFile();
        return RunSearch(catalogue, settings, folders, observer, options);
    };
}

} // namespace

TMainForm::TMainForm(QWidget* parent, const QString& appFolder)
    : QMainWindow(parent),
      m_appFolder(appFolder),
      m_searchBody(defaultSearchBody()),
      m_saveSettings(&SaveSettings),
      m_observer(std::make_unique<Observer>(*this))
{
    initResources();
    FormCreate();
}

TMainForm::~TMainForm()
{
    m_catalogue.SearchStopped = true;
    m_observer->requestStop(true);
    waitForSearch();
}

void TMainForm::AttachForms(TAboutForm* about, TSettingsForm* settings, TUpdateForm* update)
{
    AboutForm = about;
    SettingsForm = settings;
    UpdateForm = update;
    if (UpdateForm != nullptr)
        UpdateForm->setAutoCheckPending(&m_autoCheckPending);
}

void TMainForm::FormCreate()
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Ferrovin"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/ferrovin.svg")));
    setFont(windowFont(14));
    buildLayout();
    buildMenu();
    m_fileSystem = &SystemFileSystem();
    wireResults();

    // Files and folders dropped from the file manager fill the folder list.
    setAcceptDrops(true);

    m_catalogue.SearchStopped = true;
    SortColumn = 0;
    SortDescending = false;
    m_folderListIsPlaceholder = true;

    if (m_appFolder.isEmpty())
        m_appFolder = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    else if (!m_appFolder.endsWith(QLatin1Char('/')))
        m_appFolder += QLatin1Char('/');
    m_settings = LoadSettings(QFile::encodeName(m_appFolder).toStdString());
    ScanSubfoldersCheckBox->setChecked(m_settings.ScanSubfolders);

    LeaveSearchMode();
    showPlaceholder();
    m_autoCheckPending = m_settings.AutoCheckUpdates;

    resize(Dp(1035), Dp(861));
    setMinimumSize(Dp(785), Dp(615));
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TMainForm::buildLayout()
{
    MainSplitter = new QSplitter(Qt::Vertical, this);
    MainSplitter->setObjectName(QStringLiteral("MainSplitter"));
    MainSplitter->setHandleWidth(Dp(12));
    MainSplitter->setChildrenCollapsible(false);
    setCentralWidget(MainSplitter);

    buildTopPanel();
    buildCentralPanel();
    buildBottomPanel();

    MainSplitter->addWidget(TopPanel);
    MainSplitter->addWidget(CentralPanel);
    MainSplitter->addWidget(BottomPanel);
    MainSplitter->setStretchFactor(0, 0);
    MainSplitter->setStretchFactor(1, 1);
    MainSplitter->setStretchFactor(2, 0);
    MainSplitter->handle(1)->setObjectName(QStringLiteral("Splitter1"));
    MainSplitter->handle(2)->setObjectName(QStringLiteral("Splitter2"));
    MainSplitter->setSizes({Dp(157), Dp(861) - Dp(157) - Dp(204) - 2 * Dp(12), Dp(204)});

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);

    AddFolderDialog = new TFolderDialog(this);
    AddFolderDialog->setObjectName(QStringLiteral("AddFolderDialog"));
    AddFolderDialog->SetOptions(FolderOption(fdoReturnOnlyFSDirs) | FolderOption(fdoNewDialogStyle));
    AddFolderDialog->SetDialogX(0);
    AddFolderDialog->SetDialogY(0);
}

void TMainForm::buildTopPanel()
{
    TopPanel = new TPanel(QStringLiteral("TopPanel"), this, false);
    TopPanel->setMinimumHeight(Dp(78));
    auto* column = new QVBoxLayout(TopPanel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    DirectoriesListBox = new QListWidget(TopPanel);
    DirectoriesListBox->setObjectName(QStringLiteral("DirectoriesListBox"));
    DirectoriesListBox->setFont(windowFont(15));
    DirectoriesListBox->setItemDelegate(new FixedHeightDelegate(Dp(18), DirectoriesListBox));
    DirectoriesListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    DirectoriesListBox->installEventFilter(this);
    column->addWidget(DirectoriesListBox, 1);

    Panel2 = new TPanel(QStringLiteral("Panel2"), TopPanel);
    Panel2->setFixedHeight(Dp(63));
    column->addWidget(Panel2);
    auto* bar = new QHBoxLayout(Panel2);
    bar->setContentsMargins(Dp(10), 0, Dp(10), 0);
    bar->setSpacing(Dp(4));

    FoldersCaptionLabel = makeLabel(QStringLiteral("FoldersCaptionLabel"), QStringLiteral("Folders:"), Panel2);
    FoldersCaptionLabel->setFont(windowFont(28));
    bar->addWidget(FoldersCaptionLabel);
    bar->addSpacing(Dp(10));

    AddFolderButton = makePictureButton(QStringLiteral("AddFolderButton"), QStringLiteral("Add Folder"),
        Glyph(QStringLiteral("folder-new-symbolic"), QStringLiteral(":/icons/add-folder.svg")), Panel2);
    RemoveFolderButton = makePictureButton(QStringLiteral("RemoveFolderButton"), QStringLiteral("Remove Selected Folder"),
        Glyph(QStringLiteral("list-remove-symbolic"), QStringLiteral(":/icons/remove-folder.svg")), Panel2);
    MoveFolderUpButton = makePictureButton(QStringLiteral("MoveFolderUpButton"), QStringLiteral("Move Up"),
        Glyph(QStringLiteral("go-up-symbolic"), QStringLiteral(":/icons/move-up.svg")), Panel2);
    MoveFolderDownButton = makePictureButton(QStringLiteral("MoveFolderDownButton"), QStringLiteral("Move Down"),
        Glyph(QStringLiteral("go-down-symbolic"), QStringLiteral(":/icons/move-down.svg")), Panel2);
    ClearDirectoriesButton = makePictureButton(QStringLiteral("ClearDirectoriesButton"), QStringLiteral("Clear All"),
        Glyph(QStringLiteral("edit-clear-all-symbolic"), QStringLiteral(":/icons/clear-all.svg")), Panel2);
    for (QToolButton* button : {AddFolderButton, RemoveFolderButton, MoveFolderUpButton,
                                MoveFolderDownButton, ClearDirectoriesButton})
        bar->addWidget(button);
    connect(AddFolderButton, &QToolButton::clicked, this, &TMainForm::AddFolderButtonClick);
    connect(RemoveFolderButton, &QToolButton::clicked, this, &TMainForm::RemoveFolderButtonClick);
    connect(MoveFolderUpButton, &QToolButton::clicked, this, &TMainForm::MoveFolderUpButtonClick);
    connect(MoveFolderDownButton, &QToolButton::clicked, this, &TMainForm::MoveFolderDownButtonClick);
    connect(ClearDirectoriesButton, &QToolButton::clicked, this, &TMainForm::ClearDirectoriesButtonClick);
    bar->addSpacing(Dp(20));

    StartButton = new QPushButton(QStringLiteral("Start Search"), Panel2);
    StartButton->setObjectName(QStringLiteral("StartButton"));
    StartButton->setFixedSize(Dp(148), Dp(44));
    QPalette buttonColours = QApplication::palette();
    StartButton->setPalette(buttonColours);
    connect(StartButton, &QPushButton::clicked, this, &TMainForm::StartButtonClick);
    bar->addWidget(StartButton);
    bar->addSpacing(Dp(20));

    ScanSubfoldersCheckBox = new QCheckBox(QStringLiteral(" "), Panel2);
    ScanSubfoldersCheckBox->setObjectName(QStringLiteral("ScanSubfoldersCheckBox"));
    ScanSubfoldersCheckBox->setChecked(true);
    connect(ScanSubfoldersCheckBox, &QCheckBox::toggled, this,
            [this](bool checked) { m_settings.ScanSubfolders = checked; });
    bar->addWidget(ScanSubfoldersCheckBox);
    Label1 = new TClickLabel(QStringLiteral("Label1"), QStringLiteral(" Scan Subdirectories"), Panel2);
    connect(Label1, &TClickLabel::clicked, this, &TMainForm::Label1Click);
    bar->addWidget(Label1);
    bar->addStretch(1);
}

void TMainForm::buildCentralPanel()
{
    CentralPanel = new TCentralPanel(QStringLiteral("CentralPanel"), this);
    CentralPanel->setMinimumHeight(Dp(131));
    connect(CentralPanel, &TCentralPanel::resized, this, [this] {
        FormResize();
        CentralPanelResize();
        layoutCentralPanel();
    });

    SearchPanel = new TPanel(QStringLiteral("SearchPanel"), CentralPanel);
    FilesCountLabel = makeLabel(QStringLiteral("FilesCountLabel"),
                                QStringLiteral("Total pictures scanned: 0 / 0"), SearchPanel);
    CurrentDuplicatesFoundLabel = makeLabel(QStringLiteral("CurrentDuplicatesFoundLabel"),
                                            QStringLiteral("Similar pictures found: 0"), SearchPanel);
    TimeLabel = makeLabel(QStringLiteral("TimeLabel"), QStringLiteral("Elapsed time: 00:00:00"), SearchPanel);
    for (QLabel* label : {FilesCountLabel, CurrentDuplicatesFoundLabel, TimeLabel}) {
        label->setFont(windowFont(23));
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }

    buildImagePanel(1);

    BetweenImagesPanel = new TPanel(QStringLiteral("BetweenImagesPanel"), CentralPanel);
    auto* middle = new QVBoxLayout(BetweenImagesPanel);
    middle->setContentsMargins(0, 0, 0, 0);
    middle->addStretch(1);
    SimilarityLabel = makeLabel(QStringLiteral("SimilarityLabel"), QStringLiteral("Similarity:"), BetweenImagesPanel);
    PercentLabel = makeLabel(QStringLiteral("PercentLabel"), QStringLiteral("56%"), BetweenImagesPanel);
    PercentLabel->setFont(windowFont(23));
    SwapImagesButton = makePictureButton(QStringLiteral("SwapImagesButton"), QStringLiteral("Swap Images"),
        Glyph(QString(), QStringLiteral(":/icons/swap-images.svg")),
        BetweenImagesPanel);
    middle->addWidget(SimilarityLabel, 0, Qt::AlignHCenter);
    middle->addWidget(PercentLabel, 0, Qt::AlignHCenter);
    middle->addSpacing(Dp(8));
    middle->addWidget(SwapImagesButton, 0, Qt::AlignHCenter);
    middle->addStretch(1);

    buildImagePanel(2);

    // Spare picture holders of the preview; never shown.
    Image1 = makeLabel(QStringLiteral("Image1"), {}, CentralPanel);
    Image2 = makeLabel(QStringLiteral("Image2"), {}, CentralPanel);
    Image1->hide();
    Image2->hide();

    // The sample pair shown until the first search.
    LeftImage->setPicture(QImage(QStringLiteral(":/samples/sample1.jpg")));
    RightImage->setPicture(QImage(QStringLiteral(":/samples/sample2.jpg")));
    ImageLabel1->setText(QStringLiteral("JPG  220 x 290  17 KB"));
    ImageLabel2->setText(QStringLiteral("JPG  220 x 290  12 KB"));
    SearchPanel->raise();
}

void TMainForm::buildImagePanel(int side)
{
    const QString n = QString::number(side);
    auto* panel = new TPanel(QStringLiteral("ImagePanel") + n, CentralPanel);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(Dp(7), Dp(7), Dp(7), 0);
    column->setSpacing(0);

    auto* picture = new TPictureView(side == 1 ? QStringLiteral("LeftImage") : QStringLiteral("RightImage"), panel);
    column->addWidget(picture, 1);
    auto* hidden = makeLabel(side == 1 ? QStringLiteral("Image3") : QStringLiteral("Image4"), {}, panel);
    hidden->setFixedSize(128, 128);
    hidden->hide();

    auto* textPanel = new TPanel(QStringLiteral("ImageTextPanel") + n, panel);
    textPanel->setFixedHeight(Dp(97));
    column->addWidget(textPanel);
    auto* textColumn = new QVBoxLayout(textPanel);
    textColumn->setContentsMargins(0, Dp(4), 0, Dp(4));
    textColumn->setSpacing(Dp(2));
    auto* caption = makeLabel(QStringLiteral("ImageLabel") + n, QStringLiteral("No Image"), textPanel);
    caption->setAlignment(Qt::AlignCenter);
    textColumn->addWidget(caption);

    auto* buttonsPanel = new TPanel(QStringLiteral("ImageButtonsPanel") + n, textPanel);
    textColumn->addWidget(buttonsPanel, 0, Qt::AlignHCenter);
    auto* buttons = new QHBoxLayout(buttonsPanel);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(Dp(16));
    QToolButton* made[3] = {};
    QLabel* words[3] = {};
    const struct {
        const char* name;
        const char* label;
        const char* hint;
        const char* word;
        const char* theme;
        const char* resource;
    } kinds[3] = {
        {"MoveImageButton", "MoveImageLabel", "Move file", "move", "document-send-symbolic", ":/icons/move-file.svg"},
        {"BrowseImageButton", "BrowseImageLabel", "Browse file", "browse", "folder-open-symbolic", ":/icons/browse-file.svg"},
        {"DeleteImageButton", "DeleteImageLabel", "Delete file", "delete", "user-trash-symbolic", ":/icons/delete-file.svg"},
    };
    for (int i = 0; i < 3; ++i) {
        auto* cell = new QVBoxLayout;
        cell->setSpacing(0);
        made[i] = makePictureButton(QLatin1String(kinds[i].name) + n, QLatin1String(kinds[i].hint),
                                    Glyph(QLatin1String(kinds[i].theme), QLatin1String(kinds[i].resource)),
                                    buttonsPanel);
        auto* word = makeLabel(QLatin1String(kinds[i].label) + n, QLatin1String(kinds[i].word),
                               buttonsPanel);
        word->setFont(windowFont(15));
        QPalette grey = word->palette();
        grey.setColor(QPalette::WindowText, QColor(128, 128, 128));
        word->setPalette(grey);
        made[i]->installEventFilter(this);  // the caption lights up under the mouse
        words[i] = word;
        cell->addWidget(made[i], 0, Qt::AlignHCenter);
        cell->addWidget(word, 0, Qt::AlignHCenter);
        buttons->addLayout(cell);
    }

    if (side == 1) {
        ImagePanel1 = panel;
        LeftImage = picture;
        Image3 = hidden;
        ImageTextPanel1 = textPanel;
        ImageLabel1 = caption;
        ImageButtonsPanel1 = buttonsPanel;
        MoveImageButton1 = made[0];
        BrowseImageButton1 = made[1];
        DeleteImageButton1 = made[2];
        MoveImageLabel1 = words[0];
        BrowseImageLabel1 = words[1];
        DeleteImageLabel1 = words[2];
    } else {
        ImagePanel2 = panel;
        RightImage = picture;
        Image4 = hidden;
        ImageTextPanel2 = textPanel;
        ImageLabel2 = caption;
        ImageButtonsPanel2 = buttonsPanel;
        MoveImageButton2 = made[0];
        BrowseImageButton2 = made[1];
        DeleteImageButton2 = made[2];
        MoveImageLabel2 = words[0];
        BrowseImageLabel2 = words[1];
        DeleteImageLabel2 = words[2];
    }
}

void TMainForm::buildBottomPanel()
{
    BottomPanel = new TPanel(QStringLiteral("BottomPanel"), this, false);
    BottomPanel->setMinimumHeight(Dp(78));
    auto* column = new QVBoxLayout(BottomPanel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    SummaryPanel = new TPanel(QStringLiteral("SummaryPanel"), BottomPanel);
    SummaryPanel->setFixedHeight(Dp(52));
    column->addWidget(SummaryPanel);
    auto* strip = new QHBoxLayout(SummaryPanel);
    strip->setContentsMargins(Dp(16), 0, Dp(16), 0);
    strip->setSpacing(Dp(40));
    ScannedCountLabel = makeLabel(QStringLiteral("ScannedCountLabel"), QStringLiteral("Files scanned: 0"), SummaryPanel);
    DuplicatesFoundLabel = makeLabel(QStringLiteral("DuplicatesFoundLabel"), QStringLiteral("Duplicates found: 0"), SummaryPanel);
    DiskUsageLabel = makeLabel(QStringLiteral("DiskUsageLabel"), QStringLiteral("Disk Space Usage: 0 MB"), SummaryPanel);
    DiskUsageLabel->hide();
    for (QLabel* label : {ScannedCountLabel, DuplicatesFoundLabel, DiskUsageLabel}) {
        label->setFont(windowFont(17, true));
        strip->addWidget(label);
    }
    strip->addStretch(1);

    ListView1 = new QTableView(BottomPanel);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListModel = new TResultListModel(m_catalogue, ListView1);
    ListView1->setModel(ListModel);
    ListView1->setShowGrid(true);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setWordWrap(false);
    ListView1->verticalHeader()->hide();
    ListView1->verticalHeader()->setDefaultSectionSize(Dp(22));
    QHeaderView* header = ListView1->horizontalHeader();
    header->setHighlightSections(false);
    header->setMinimumSectionSize(Dp(50));
    header->setMaximumSectionSize(Dp(800));
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::Fixed);
    header->resizeSection(2, Dp(100));
    column->addWidget(ListView1, 1);
}

void TMainForm::buildMenu()
{
    MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    QMenu* file = MainMenu1->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("File1"));
    StartSearch1 = file->addAction(QStringLiteral("Start Search"), this, &TMainForm::StartButtonClick);
    Exit1 = file->addAction(QStringLiteral("Exit"), this, &TMainForm::Exit1Click);
    Settings1 = MainMenu1->addAction(QStringLiteral("Settings"), this, &TMainForm::Settings1Click);
    QMenu* help = MainMenu1->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("Help1"));
    Howtouse1 = help->addAction(QStringLiteral("How to use"), this, &TMainForm::Howtouse1Click);
    CheckforUpdates1 = help->addAction(QStringLiteral("Check for Updates"), this, &TMainForm::CheckforUpdates1Click);
    Visitprogramswebsite1 = help->addAction(QStringLiteral("Visit the program's website"), this,
                                            &TMainForm::Visitprogramswebsite1Click);
    About1 = help->addAction(QStringLiteral("About"), this, &TMainForm::About1Click);
    Donate1 = MainMenu1->addAction(QStringLiteral("Donate"), this, &TMainForm::Donate1Click);

    const struct {
        QAction* action;
        const char* name;
    } names[] = {{StartSearch1, "StartSearch1"}, {Exit1, "Exit1"}, {Settings1, "Settings1"},
                 {Howtouse1, "Howtouse1"}, {CheckforUpdates1, "CheckforUpdates1"},
                 {Visitprogramswebsite1, "Visitprogramswebsite1"}, {About1, "About1"},
                 {Donate1, "Donate1"}};
    for (const auto& entry : names)
        entry.action->setObjectName(QLatin1String(entry.name));

}

void TMainForm::FormResize()
{
    // The 60 is in screen pixels: the two halves stay equal around the middle strip.
    ImagePanel1->resize((CentralPanel->width() - 60) / 2, ImagePanel1->height());
}

void TMainForm::layoutCentralPanel()
{
    const int width = CentralPanel->width();
    const int height = CentralPanel->height();
    const int overlay = std::clamp(m_searchPanelHeight, 0, height);
    SearchPanel->setGeometry(0, 0, width, overlay);
    SearchPanel->setVisible(overlay > 0);
    for (QLabel* label : {FilesCountLabel, CurrentDuplicatesFoundLabel, TimeLabel})
        label->setGeometry(0, label->y(), width, label->sizeHint().height());

    const int rest = height - overlay;
    const int left = std::clamp(ImagePanel1->width(), 0, width);
    const int middle = std::min(Dp(79), width - left);
    ImagePanel1->setGeometry(0, overlay, left, rest);
    BetweenImagesPanel->setGeometry(left, overlay, middle, rest);
    ImagePanel2->setGeometry(left + middle, overlay, width - left - middle, rest);
}

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // After the window is on screen, so the update window opens over it.
    QTimer::singleShot(0, this, &TMainForm::FormShow);
}

void TMainForm::FormShow()
{
    if (!(m_autoCheckPending && m_settings.AutoCheckUpdates))
        return;
    // The update window clears the flag in every outcome; cleared here too,
    // so that the check runs at most once per run, however it ends.
    if (UpdateForm != nullptr)
        UpdateForm->exec();
    m_autoCheckPending = false;
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    // A sort or file action pauses for repaints; the tables must outlive it.
    if (m_resultsBusy) {
        m_closeAfterResultsWork = true;
        event->ignore();
        return;
    }
    bool canClose = true;
    FormCloseQuery(canClose);
    if (canClose)
        event->accept();
    else
        event->ignore();
}

void TMainForm::FormCloseQuery(bool& canClose)
{
    canClose = true;
    if (m_closeDone)
        return;
    ListModel->setItemCount(0);
    m_catalogue.SearchStopped = true;
    m_observer->requestStop(true);
    // The search reads the tables until it reaches its next stop test.
    waitForSearch();
    Timer1->stop();

    m_settings.ScanSubfolders = ScanSubfoldersCheckBox->isChecked();
    try {
        m_saveSettings(m_settings, QFile::encodeName(m_appFolder).toStdString());
    } catch (const EngineError& error) {
        // Reported, but the window still closes: a read-only program folder
        // must not keep the program open forever.
        showMessage(TMessageKind::Error, QString::fromUtf8(error.what()));
    }
    m_catalogue.Release();
    m_closeDone = true;
}

void TMainForm::Exit1Click()
{
    if (close())
        QCoreApplication::quit();
}

void TMainForm::Settings1Click()
{
    if (SettingsForm != nullptr)
        SettingsForm->exec();
}

void TMainForm::CheckforUpdates1Click()
{
    if (UpdateForm != nullptr)
        UpdateForm->exec();
}

void TMainForm::About1Click()
{
    if (AboutForm != nullptr)
        AboutForm->exec();
}

void TMainForm::Howtouse1Click()
{
    // The guide that ships with the program serves every build without a site.
    const QString guide = LocalGuidePath();
    if (!HasVendorHost() && !guide.isEmpty())
        OpenUrl(QUrl::fromLocalFile(guide));
    else if (HasVendorHost())
        OpenUrl(QUrl(HowToUseUrl()));
    else
        showMessage(TMessageKind::Error, QStringLiteral("The usage guide ferrovin-guide.html is missing."));
}

void TMainForm::Visitprogramswebsite1Click()
{
    if (HasVendorHost())
        OpenUrl(QUrl(WebsiteUrl()));
    else
        showMessage(TMessageKind::Information, QStringLiteral("This build of Ferrovin has no web site."));
}

void TMainForm::Donate1Click()
{
    if (HasVendorHost())
        OpenUrl(QUrl(DonateUrl()));
    else
        showMessage(TMessageKind::Information, QStringLiteral("This build of Ferrovin has no web site."));
}

void TMainForm::showMessage(TMessageKind kind, const QString& text)
{
    if (m_showMessage) {
        m_showMessage(kind, text);
        return;
    }
    // The texts break lines with line feed + carriage return; a Qt label would
    // draw each pair as two breaks.
    QString shown = text;
    shown.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));
    if (kind == TMessageKind::Error)
        QMessageBox::critical(this, windowTitle(), shown);
    else
        QMessageBox::information(this, windowTitle(), shown);
}

bool TMainForm::confirm(const QString& question)
{
    if (m_confirm)
        return m_confirm(question);
    QString shown = question;
    shown.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));
    return QMessageBox::question(this, windowTitle(), shown, QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes;
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Enter || event->type() == QEvent::Leave)
        highlightCaption(watched, event->type() == QEvent::Enter);
    if (watched == ListView1 && event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Held keys repeat their releases; only the real release counts.
        if (!key->isAutoRepeat())
            ListView1KeyUp(key->key());
    }
    if (watched == DirectoriesListBox && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Delete) {
            DirectoriesListBoxKeyDown(key);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event)
{
    DropMimeData(*event->mimeData());
    event->acceptProposedAction();
}

void TMainForm::StartWithArguments(const QStringList& arguments)
{
    // As if they had been dropped: files stand for their folders. Options are
    // Qt's own; "--" lets a folder whose name starts with "-" through.
    QStringList names;
    bool options = true;
    for (const QString& argument : arguments) {
        if (options && argument == QLatin1String("--")) {
            options = false;
            continue;
        }
        if (options && argument.startsWith(QLatin1Char('-')))
            continue;
        names << QFileInfo(argument).absoluteFilePath();
    }
    if (!names.isEmpty())
        DropFiles(names);
}

void TMainForm::DropMimeData(const QMimeData& data)
{
    QStringList names;
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile())
            names << url.toLocalFile();
    }
    DropFiles(names);
}

} // namespace ferrovin
