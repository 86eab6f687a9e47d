// The result list, the preview pane and the file actions, driven through the
// real window on folders made by the test.
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/catalogue/catalogue.h"
#include "engine/files/folder_listing.h"
#include "gui/folders/folder_dialog.h"
#include "gui/main_window/main_form.h"
#include "gui/main_window/widgets.h"
#include "gui/results/preview_pane.h"
#include "gui/results/result_list_model.h"
#include "support/picture_writers.h"
#include "support/temp_dir.h"

using namespace ferrovin;

namespace {

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

class ResultsTest final : public QObject {
    Q_OBJECT
private:
    struct Message {
        TMessageKind kind;
        QString text;
    };

    // Pictures a..e of different sizes in pics/, and a search that lists the
    // given pairs over them instead of matching, so each test picks its table.
    void makeWindow(const std::vector<TPicturePair>& pairs)
    {
        m_temp->makeDir("pics");
        for (int i = 0; i < 5; ++i) {
            const std::string path = pic(names_[i]);
            if (i == 3)
                test::writePng(path, test::makeGradient(30 + i, 20 + i, i));
            else
                test::writeJpeg(path, test::makeGradient(60 + 10 * i, 40 + 10 * i, i));
        }
        m_form = std::make_unique<TMainForm>(nullptr, q(m_temp->path()));
        m_form->setMessageHandler([this](TMessageKind kind, const QString& text) {
            m_messages.push_back({kind, text});
        });
        m_form->setConfirmHandler([this](const QString& text) {
            m_questions << text;
            return m_answer;
        });
        m_form->setSettingsSaver([](const Settings&, const std::string&) {});
        m_form->settings().MoveToRecycle = false;
        m_form->setSearchBody([this, pairs](Catalogue& c, const Settings&,
                                            const std::vector<std::string>&, SearchObserver&) {
            c.Reset(100);
            c.RegisterFolder(m_temp->path() + "pics/");
            for (const char* name : names_) {
                struct stat st {};
                ::stat((m_temp->path() + "pics/" + name).c_str(), &st);
                TPicInfo& pic = c.CataloguePicture();
                pic.FileName = name;
                pic.Size = st.st_size;
                pic.Time = DosDateTime(st.st_mtim);
            }
            c.TrimAfterScan();
            c.AllocatePairs(100);
            for (const TPicturePair& pair : pairs)
                c.AddPair(pair);
            c.TrimAfterMatching();
            SearchSummary summary;
            summary.PairCount = c.LastPairIndex + 1;
            summary.ClosingMessage = "Search finished.";
            return summary;
        });
        m_form->DropFiles({q(m_temp->path() + "pics")});
        m_form->resize(1000, 800);
        m_form->show();
        m_form->StartButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->searchRunning() && !m_messages.empty(), 20000);
        QTRY_VERIFY(!m_form->previewPending());
        m_messages.clear();
    }

    QString cell(int row, int column) const
    {
        return m_form->ListModel->index(row, column).data().toString();
    }
    QStringList column(int c) const
    {
        QStringList texts;
        for (int row = 0; row < m_form->ListModel->rowCount(); ++row)
            texts << cell(row, c).section('/', -1);
        return texts;
    }
    int selected() const
    {
        const auto rows = m_form->ListView1->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
    }
    void select(int row)
    {
        m_form->ListView1->selectRow(row);
        m_form->ListView1Click();
        QTRY_VERIFY(!m_form->previewPending());
    }
    std::string pic(const char* name) const { return m_temp->path() + "pics/" + name; }

    std::unique_ptr<test::TempDir> m_temp;
    std::unique_ptr<TMainForm> m_form;
    std::vector<Message> m_messages;
    QStringList m_questions;
    bool m_answer = true;
    static constexpr const char* names_[5] = {"a.jpg", "B.jpg", "c.jpeg", "d.png", "e.jpg"};

private slots:
    void init()
    {
        m_temp = std::make_unique<test::TempDir>();
        ::setenv("XDG_DATA_HOME", (m_temp->path() + "data").c_str(), 1);
        m_messages.clear();
        m_questions.clear();
        m_answer = true;
    }
    void cleanup()
    {
        m_form.reset();
        ::unsetenv("XDG_DATA_HOME");
    }

    void searchShowsRowZeroWithBothPicturesDescribedAndFramed()
    {
        makeWindow({{0, 1, 60.8}, {2, 3, 100}});
        QCOMPARE(m_form->ListModel->rowCount(), 2);
        QCOMPARE(selected(), 0);
        QCOMPARE(cell(0, 0), q(pic("a.jpg")));
        QCOMPARE(cell(0, 1), q(pic("B.jpg")));
        QCOMPARE(cell(0, 2), QStringLiteral("61"));
        QCOMPARE(m_form->PercentLabel->text(), QStringLiteral("61%"));
        QCOMPARE(m_form->ImageLabel1->text(),
                 QStringLiteral("JPG  60 x 40  ") + TMainForm::FormatByteSize(QFileInfo(q(pic("a.jpg"))).size()));
        QVERIFY(m_form->ImageLabel2->text().startsWith("JPG  70 x 50  "));
        // The frame: a 2-pixel pen centred on the edge leaves one white pixel row.
        const QImage left = m_form->LeftImage->picture();
        QCOMPARE(left.size(), QSize(60, 40));
        QCOMPARE(QColor(left.pixel(30, 0)), QColor(Qt::white));
        QVERIFY(QColor(left.pixel(30, 2)) != QColor(Qt::white));

        select(1);
        QVERIFY(m_form->ImageLabel1->text().startsWith("JPEG  80 x 60  "));
        QVERIFY(m_form->ImageLabel2->text().startsWith("PNG  33 x 23  "));
        QCOMPARE(m_form->PercentLabel->text(), QStringLiteral("100%"));
    }

    void headerClicksFollowTheSortStateAcrossSearches()
    {
        makeWindow({{1, 0, 5}, {3, 2, 90}, {0, 4, 40}});
        const auto click = [this](int c) { m_form->ListView1->horizontalHeader()->sectionClicked(c); };
        click(1);  // another column: ascending
        QCOMPARE(column(1), (QStringList{"a.jpg", "c.jpeg", "e.jpg"}));
        click(1);
        QCOMPARE(column(1), (QStringList{"e.jpg", "c.jpeg", "a.jpg"}));
        click(2);
        QCOMPARE(column(2), (QStringList{"5", "40", "90"}));
        click(0);
        QCOMPARE(column(0), (QStringList{"a.jpg", "B.jpg", "d.png"}));  // a < B: case folded
        click(2);  // the column changed in between: ascending again
        QCOMPARE(column(2), (QStringList{"5", "40", "90"}));
        QCOMPARE(selected(), 0);
        // The state survives a search: the next click on column 2 reverses it.
        m_form->StartButton->click();
        QTRY_VERIFY(!m_form->searchRunning());
        click(2);
        QCOMPARE(column(2), (QStringList{"90", "40", "5"}));
        QVERIFY(m_form->sortDescending());
    }

    void firstClickOnOriginalImageSortsDescendingAndNoPairsIgnoresClicks()
    {
        makeWindow({});
        m_form->ListView1->horizontalHeader()->sectionClicked(1);
        QCOMPARE(m_form->sortColumn(), 0);
        QVERIFY(!m_form->sortDescending());
        m_form.reset();
        makeWindow({{0, 1, 5}, {2, 3, 90}});
        m_form->ListView1->horizontalHeader()->sectionClicked(0);
        QCOMPARE(column(0), (QStringList{"c.jpeg", "a.jpg"}));
    }

    void arrowKeysShowTheNewRowOthersDoNot()
    {
        makeWindow({{0, 1, 60}, {2, 3, 80}, {4, 0, 20}});
        m_form->ListView1->setFocus();
        QTest::keyClick(m_form->ListView1, Qt::Key_Down);
        QTRY_VERIFY(!m_form->previewPending());
        QCOMPARE(m_form->PercentLabel->text(), QStringLiteral("80%"));
        QTest::keyClick(m_form->ListView1, Qt::Key_PageDown);
        QVERIFY(!m_form->previewPending());
        QCOMPARE(selected(), 2);
        QCOMPARE(m_form->PercentLabel->text(), QStringLiteral("80%"));
        QTest::keyClick(m_form->ListView1, Qt::Key_Up);
        QTRY_VERIFY(!m_form->previewPending());
        QCOMPARE(m_form->PercentLabel->text(), QStringLiteral("80%"));
        QCOMPARE(selected(), 1);
    }

    void swapExchangesThePairOrOnlyThePicturesWithoutASelection()
    {
        makeWindow({{0, 1, 60}});
        m_form->SwapImagesButton->click();
        QTRY_VERIFY(!m_form->previewPending());
        QCOMPARE(cell(0, 0), q(pic("B.jpg")));
        QVERIFY(m_form->ImageLabel1->text().startsWith("JPG  70 x 50"));
        m_form->SwapImagesButton->click();
        QTRY_VERIFY(!m_form->previewPending());
        QCOMPARE(cell(0, 0), q(pic("a.jpg")));

        m_form->ListView1->clearSelection();
        const QString label = m_form->ImageLabel1->text();
        m_form->SwapImagesButton->click();
        QCOMPARE(m_form->LeftImage->picture().size(), QSize(70, 50));
        QCOMPARE(m_form->ImageLabel1->text(), label);
        QCOMPARE(cell(0, 0), q(pic("a.jpg")));
    }

    void deleteToTrashForGoodAndOfAPictureInThreeRows()
    {
        makeWindow({{0, 1, 60}, {0, 2, 70}, {3, 4, 80}, {0, 3, 90}});
        // For good, after the question; the right-hand button acts on B.
        m_form->DeleteImageButton2->click();
        QCOMPARE(m_questions, QStringList{QStringLiteral("Do you really want to delete\n\rB.jpg")});
        QVERIFY(!exists(pic("B.jpg")));
        QVERIFY(!exists(m_temp->path() + "data/Trash/files/B.jpg"));
        QCOMPARE(m_form->ListModel->rowCount(), 3);
        QTRY_VERIFY(!m_form->previewPending());
        QCOMPARE(m_form->PercentLabel->text(), QStringLiteral("70%"));

        // "No" leaves everything.
        m_answer = false;
        m_form->DeleteImageButton1->click();
        QVERIFY(exists(pic("a.jpg")));
        QCOMPARE(m_form->ListModel->rowCount(), 3);

        // To the trash without asking: a stands in three rows, and they go.
        m_form->settings().MoveToRecycle = true;
        m_form->settings().DeleteWithoutAsking = true;
        select(2);
        m_form->DeleteImageButton1->click();
        QCOMPARE(m_questions.size(), 2);
        QVERIFY(!exists(pic("a.jpg")));
        QVERIFY(exists(m_temp->path() + "data/Trash/files/a.jpg"));
        QVERIFY(exists(m_temp->path() + "data/Trash/info/a.jpg.trashinfo"));
        QCOMPARE(m_form->ListModel->rowCount(), 1);
        QCOMPARE(selected(), 0);  // min(old row 2, new last row 0)
        QVERIFY(m_messages.empty());

        // The last pair: the list empties and the pane keeps what it showed.
        QTRY_VERIFY(!m_form->previewPending());
        const QString shown = m_form->ImageLabel1->text();
        m_form->DeleteImageButton2->click();
        QCOMPARE(m_form->ListModel->rowCount(), 0);
        QCOMPARE(m_form->ImageLabel1->text(), shown);
    }

    void moveKeepsTheNameAndNeverReplaces()
    {
        makeWindow({{0, 1, 60}, {2, 1, 70}});
        const QString target = q(m_temp->makeDir("target"));
        QStringList captions;
        m_form->AddFolderDialog->setChooser([&](const TFolderRequest&, TFolderDialog& dialog) {
            captions << dialog.Caption();
            return std::optional<QString>(target);
        });
        m_temp->writeFile("target/a.jpg", "already here");
        m_form->MoveImageButton1->click();
        QCOMPARE(captions, QStringList{"Move a.jpg to selected folder"});
        QCOMPARE(m_messages.size(), 1u);
        QCOMPARE(m_messages[0].text, QStringLiteral("Cannot move file a.jpg\n\rError code = %1").arg(EEXIST));
        QVERIFY(exists(pic("a.jpg")));
        QCOMPARE(test::readFile(m_temp->path() + "target/a.jpg"), std::string("already here"));
        QCOMPARE(m_form->ListModel->rowCount(), 2);

        m_messages.clear();
        m_form->MoveImageButton2->click();
        QCOMPARE(m_messages.size(), 1u);
        QCOMPARE(m_messages[0].kind, TMessageKind::Information);
        QCOMPARE(m_messages[0].text, QStringLiteral("B.jpg moved successfully"));
        QVERIFY(!exists(pic("B.jpg")));
        QVERIFY(exists(m_temp->path() + "target/B.jpg"));
        QCOMPARE(m_form->ListModel->rowCount(), 0);
    }

    void missingChangedAndSameFilePicturesAreRefused()
    {
        makeWindow({{0, 1, 60}, {2, 3, 70}, {4, 0, 80}});
        const struct {
            int row;
            std::function<void()> prepare;
            QString message;
        } cases[] = {
            {0, [this] { ::unlink(pic("a.jpg").c_str()); }, "Cannot find this file:\n\ra.jpg"},
            {1, [this] { m_temp->writeFile("pics/c.jpeg", "rewritten"); },
             "Cannot delete file c.jpeg\n\rThe file has changed since the search."},
            {2,
             [this] {
                 // e and a are now one file under two names.
                 ::unlink(pic("a.jpg").c_str());
                 ::link(pic("e.jpg").c_str(), pic("a.jpg").c_str());
             },
             "Cannot delete file e.jpg\n\rBoth pictures of this pair are one file on disk: it is the only copy."},
        };
        for (const auto& c : cases) {
            c.prepare();
            select(c.row);
            m_messages.clear();
            m_form->DeleteImageButton1->click();
            QCOMPARE(m_messages.size(), 1u);
            QCOMPARE(m_messages[0].text, c.message);
            QCOMPARE(m_form->ListModel->rowCount(), 3);
            QVERIFY(m_questions.isEmpty());
        }
        QVERIFY(exists(pic("e.jpg")));
    }

    void aPictureThatNoLongerDecodesStopsThePaneWhereItFailed()
    {
        makeWindow({{0, 1, 60}, {2, 3, 70}});
        m_temp->writeFile("pics/d.png", "not a picture");
        const QString rightBefore = m_form->ImageLabel2->text();
        select(1);
        QCOMPARE(m_messages.size(), 1u);
        QVERIFY(m_messages[0].text.startsWith("Cannot load picture d.png\n\r"));
        QVERIFY(m_form->ImageLabel1->text().startsWith("JPEG  80 x 60"));
        QCOMPARE(m_form->ImageLabel2->text(), rightBefore);
        QCOMPARE(m_form->PercentLabel->text(), QStringLiteral("60%"));
        // No frame on the half that loaded.
        QVERIFY(QColor(m_form->LeftImage->picture().pixel(40, 0)) != QColor(Qt::white));
    }

    void frameWidthFollowsTheFullSizePicture()
    {
        const struct {
            QSize full;
            QSize shown;
            int whiteUpTo;  // the last white column at the left edge, in shown pixels
        } cases[] = {
            {{30, 30}, {30, 30}, 0},        // min/20 = 1, raised to 2: one pixel inside
            {{100, 60}, {100, 60}, 0},      // 3
            {{200, 120}, {200, 120}, 2},    // 6
            {{4000, 3000}, {400, 300}, 6},  // 150 on the full picture, 15 here
        };
        for (const auto& c : cases) {
            QImage image(c.shown, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::black);
            DrawImageFrame(image, c.full);
            const int y = c.shown.height() / 2;
            QCOMPARE(QColor(image.pixel(c.whiteUpTo, y)), QColor(Qt::white));
            QCOMPARE(QColor(image.pixel(c.whiteUpTo + 2, y)), QColor(Qt::black));
            QCOMPARE(QColor(image.pixel(c.shown.width() - 1 - c.whiteUpTo, y)), QColor(Qt::white));
        }
    }

    void captionsLightUpUnderTheMouse()
    {
        makeWindow({});
        QEvent enter(QEvent::Enter);
        QCoreApplication::sendEvent(m_form->DeleteImageButton2, &enter);
        QCOMPARE(m_form->DeleteImageLabel2->palette().color(QPalette::WindowText), QColor(255, 255, 255));
        QCOMPARE(m_form->DeleteImageLabel1->palette().color(QPalette::WindowText), QColor(128, 128, 128));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(m_form->DeleteImageButton2, &leave);
        QCOMPARE(m_form->DeleteImageLabel2->palette().color(QPalette::WindowText), QColor(128, 128, 128));
    }
};

QTEST_MAIN(ResultsTest)
#include "results_test.moc"
