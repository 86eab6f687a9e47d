#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "engine/settings/settings.h"
#include "gui/settings/settings_form.h"

using namespace ferrovin;

class SettingsFormTest final : public QObject {
    Q_OBJECT
private:
    Settings m_settings;
    QStringList m_errors;

    std::unique_ptr<TSettingsForm> open()
    {
        auto form = std::make_unique<TSettingsForm>(m_settings);
        form->setMessageHandler([this](const QString& text) { m_errors << text; });
        form->show();
        return form;
    }

private slots:
    void init()
    {
        m_settings = Settings{};
        m_errors.clear();
    }

    void showingFillsTheControlsAndRenamesTheTypeGroup()
    {
        m_settings.SearchTIFF = true;
        m_settings.MoveToRecycle = false;
        m_settings.MinPicHeight = 0;
        m_settings.MatchTurnedAndMirrored = true;
        auto form = open();
        QVERIFY(form->TurnedCheckBox->isChecked());
        QCOMPARE(form->GroupBox1->title(), QStringLiteral("Scan the following types"));
        QVERIFY(form->TIFFCheckBox->isChecked() && form->JPGCheckBox->isChecked());
        QVERIFY(!form->RecycleCheckBox->isChecked());
        QCOMPARE(form->MinWidthEdit->text(), QStringLiteral("100"));
        QCOMPARE(form->MinHeightEdit->text(), QStringLiteral("0"));
    }

    void sizeBoxesTakeOnlyDigitsAndBackspace()
    {
        auto form = open();
        QLineEdit* edit = form->MinWidthEdit;
        edit->setFocus();
        edit->end(false);
        for (const char* typed : {"a", "-", " ", "x1", "2"}) {
            QTest::keyClicks(edit, QString::fromLatin1(typed));
        }
        QCOMPARE(edit->text(), QStringLiteral("10012"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(edit->text(), QStringLiteral("1001"));
    }

    void okStoresSizesLeadingZerosAndNegativesAsZero()
    {
        const struct {
            const char* width;
            const char* height;
            int storedWidth;
            int storedHeight;
        } cases[] = {{"00120", "0", 120, 0}, {"-5", "$10", 0, 16}, {"2147483647", "7", 2147483647, 7}};
        for (const auto& c : cases) {
            auto form = open();
            form->MinWidthEdit->setText(QString::fromLatin1(c.width));  // pasted: not filtered
            form->MinHeightEdit->setText(QString::fromLatin1(c.height));
            form->TurnedCheckBox->setChecked(c.storedWidth == 0);
            form->OKButton->click();
            QVERIFY(!form->isVisible());
            QCOMPARE(m_settings.MatchTurnedAndMirrored, c.storedWidth == 0);
            QCOMPARE(m_settings.MinPicWidth, c.storedWidth);
            QCOMPARE(m_settings.MinPicHeight, c.storedHeight);
            QVERIFY(m_errors.isEmpty());
        }
        auto again = open();
        QCOMPARE(again->MinWidthEdit->text(), QStringLiteral("2147483647"));
    }

    void aBadSizeKeepsTheDialogOpenWithWhatCameBeforeAssigned()
    {
        const struct {
            const char* width;
            const char* height;
            const char* message;
            int storedWidth;
        } cases[] = {{"", "100", "'''' is not a valid integer value", 100},
                     {"300", "2147483648", "''2147483648'' is not a valid integer value", 300},
                     {"1 2", "100", "''1 2'' is not a valid integer value", 100}};
        for (const auto& c : cases) {
            init();
            auto form = open();
            form->TIFFCheckBox->setChecked(true);
            form->MinWidthEdit->setText(QString::fromLatin1(c.width));
            form->MinHeightEdit->setText(QString::fromLatin1(c.height));
            form->OKButton->click();
            QCOMPARE(m_errors, QStringList{QString::fromLatin1(c.message)});
            QVERIFY(form->isVisible());
            QVERIFY(m_settings.SearchTIFF);
            QCOMPARE(m_settings.MinPicWidth, c.storedWidth);
            QCOMPARE(m_settings.MinPicHeight, 100);
        }
    }

    void cancelCloseEnterAndEscapeAssignNothing()
    {
        const Settings before = m_settings;
        for (int way = 0; way < 4; ++way) {
            auto form = open();
            form->TIFFCheckBox->setChecked(true);
            form->MinWidthEdit->setText(QStringLiteral("5"));
            if (way == 0)
                form->CancelButton->click();
            else if (way == 1)
                form->close();
            else
                QTest::keyClick(form->MinWidthEdit, way == 2 ? Qt::Key_Return : Qt::Key_Escape);
            QCOMPARE(form->isVisible(), way >= 2);  // Enter and Escape press nothing
            QCOMPARE(m_settings, before);
        }
    }
};

QTEST_MAIN(SettingsFormTest)
#include "settings_form_test.moc"
