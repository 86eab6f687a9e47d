#include <QDir>
#include <QTest>
#include <QWidget>

#include <stdexcept>

#include "gui/folders/folder_dialog.h"
#include "support/temp_dir.h"

using namespace ferrovin;

class FolderDialogTest final : public QObject {
    Q_OBJECT
private slots:
    void requestFlagsJoinTheChosenOptions_data()
    {
        QTest::addColumn<uint>("options");
        QTest::addColumn<uint>("flags");
        QTest::newRow("default") << uint(FolderOption(fdoNewDialogStyle)) << 0x40u;
        QTest::newRow("main window's picker")
            << uint(FolderOption(fdoReturnOnlyFSDirs) | FolderOption(fdoNewDialogStyle)) << 0x41u;
        QTest::newRow("none") << 0u << 0u;
        QTest::newRow("all") << 0x1FFu << 0x325Fu;
    }
    void requestFlagsJoinTheChosenOptions()
    {
        QFETCH(uint, options);
        QFETCH(uint, flags);
        TFolderDialog dialog(nullptr);
        dialog.SetOptions(options);
        QCOMPARE(dialog.Flags(), flags);
    }

    void placesTheDialogByItsPositionRule_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QPoint>("xy");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("owner corner") << int(fdpDefault) << QPoint(5, 5) << QPoint(120, 70);
        QTest::newRow("screen centre") << int(fdpScreenCenter) << QPoint() << QPoint(710, 340);
        QTest::newRow("xy") << int(fdpXY) << QPoint(300, 200) << QPoint(300, 200);
        QTest::newRow("xy raised to 0") << int(fdpXY) << QPoint(-50, 30) << QPoint(0, 30);
    }
    void placesTheDialogByItsPositionRule()
    {
        QFETCH(int, position);
        QFETCH(QPoint, xy);
        QFETCH(QPoint, expected);
        TFolderDialog dialog(nullptr);
        dialog.SetDialogPosition(TDialogPosition(position));
        dialog.SetDialogX(xy.x());
        dialog.SetDialogY(xy.y());
        // Odd dialog sizes: the halves are truncated separately.
        QCOMPARE(dialog.Placement(QRect(100, 50, 800, 600), QSize(1920, 1080), QSize(501, 401)),
                 expected);
    }

    void versionIsFixedWhateverIsAssigned()
    {
        TFolderDialog dialog(nullptr);
        QCOMPARE(dialog.Version(), QStringLiteral("1.1.0.2"));
        dialog.SetVersion(QStringLiteral("9.9"));
        QCOMPARE(dialog.Version(), QStringLiteral("1.1.0.2"));
    }

    void newPickerOpensOnTheCurrentFolderWithDefaults()
    {
        TFolderDialog dialog(nullptr);
        QCOMPARE(dialog.Directory(), QDir::currentPath());
        QCOMPARE(dialog.DialogPosition(), fdpDefault);
        QCOMPARE(dialog.Options(), FolderOption(fdoNewDialogStyle));
        QVERIFY(dialog.Caption().isEmpty());
    }

    void executeKeepsTheChoiceAndIgnoresCancelAndFailures()
    {
        test::TempDir temp;
        const QString first = QString::fromStdString(temp.makeDir("first"));
        const QString second = QString::fromStdString(temp.makeDir("second"));
        QWidget owner;
        TFolderDialog dialog(&owner);
        dialog.SetOptions(FolderOption(fdoReturnOnlyFSDirs) | FolderOption(fdoNewDialogStyle));
        dialog.SetDirectory(first);
        dialog.SetCaption(QStringLiteral("Add folder to search"));
        dialog.SetTitle(QStringLiteral("Pick one"));

        TFolderRequest seen;
        std::optional<QString> answer = second;
        dialog.setChooser([&](const TFolderRequest& request, TFolderDialog&) {
            seen = request;
            return answer;
        });
        QVERIFY(dialog.Execute());
        QCOMPARE(dialog.Directory(), second);
        QCOMPARE(seen.directory, first);
        QCOMPARE(seen.caption, QStringLiteral("Add folder to search"));
        QCOMPARE(seen.title, QStringLiteral("Pick one"));
        QCOMPARE(seen.flags, 0x41u);
        QCOMPARE(seen.owner, &owner);

        // The next run opens on the last choice; a cancel keeps it.
        answer.reset();
        QVERIFY(!dialog.Execute());
        QCOMPARE(seen.directory, second);
        QCOMPARE(dialog.Directory(), second);

        dialog.setChooser([](const TFolderRequest&, TFolderDialog&) -> std::optional<QString> {
            throw std::runtime_error("dialog failed");
        });
        QVERIFY(!dialog.Execute());
        QCOMPARE(dialog.Directory(), second);
    }

    void vanishedFolderGivesWayToTheCurrentFolder()
    {
        TFolderDialog dialog(nullptr);
        dialog.SetDirectory(QStringLiteral("/no/such/folder/anywhere"));
        QString opened;
        dialog.setChooser([&](const TFolderRequest& request, TFolderDialog&) {
            opened = request.directory;
            return std::optional<QString>();
        });
        QVERIFY(!dialog.Execute());
        QCOMPARE(opened, QDir::currentPath());
        QCOMPARE(dialog.Directory(), QDir::currentPath());
    }
};

QTEST_MAIN(FolderDialogTest)
#include "folder_dialog_test.moc"
