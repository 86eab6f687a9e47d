#include "gui/settings/settings_form.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <optional>

#include "engine/settings/settings.h"
#include "gui/main_window/widgets.h"

namespace ferrovin {

namespace {

QCheckBox* checkBox(QWidget* parent, const char* name, const char* caption, int top)
{
    auto* box = new QCheckBox(QLatin1String(caption), parent);
    box->setObjectName(QLatin1String(name));
    box->move(Dp(16), Dp(top));
    box->adjustSize();
    return box;
}

QGroupBox* groupBox(QWidget* parent, const char* name, const char* caption, QRect designed)
{
    auto* group = new QGroupBox(QLatin1String(caption), parent);
    group->setObjectName(QLatin1String(name));
    group->setGeometry(Dp(designed.x()), Dp(designed.y()), Dp(designed.width()), Dp(designed.height()));
    return group;
}

} // namespace

TSettingsForm::TSettingsForm(Settings& settings, QWidget* parent)
    : QDialog(parent), m_settings(settings)
{
    setObjectName(QStringLiteral("SettingsForm"));
    setWindowTitle(QStringLiteral("Settings"));
    // The turned-and-mirrored option adds one row to the search options; the
    // groups below it move down by that row, everything else stays.
    constexpr int kExtraRow = 34;
    setFixedSize(Dp(548), Dp(425 + kExtraRow));
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(Dp(14));
    setFont(font);

    GroupBox1 = groupBox(this, "GroupBox1", "File Types to Scan", {10, 10, 190, 258 + kExtraRow});
    BMPCheckBox = checkBox(GroupBox1, "BMPCheckBox", " BMP", 36);
    JPGCheckBox = checkBox(GroupBox1, "JPGCheckBox", " JPG", 78);
    GIFCheckBox = checkBox(GroupBox1, "GIFCheckBox", " GIF", 120);
    PNGCheckBox = checkBox(GroupBox1, "PNGCheckBox", " PNG", 162);
    TIFFCheckBox = checkBox(GroupBox1, "TIFFCheckBox", " TIFF", 204);

    GroupBox2 = groupBox(this, "GroupBox2", "Delete Options", {210, 10, 328, 106});
    RecycleCheckBox = checkBox(GroupBox2, "RecycleCheckBox", " Move Files to Recycle Bin", 34);
    SilentDeleteCheckBox = checkBox(GroupBox2, "SilentDeleteCheckBox", " Delete Files without Confirmation", 68);

    GroupBox3 = groupBox(this, "GroupBox3", "Search Options", {210, 118, 328, 150 + kExtraRow});
    OnlyIdenticalCheckBox = checkBox(GroupBox3, "OnlyIdenticalCheckBox", " Search Only 100% Identical Pictures", 32);
    const auto sizeRow = [this](const char* labelName, const char* caption, const char* editName,
                                int top, QLabel*& label, QLineEdit*& edit) {
        label = new QLabel(QLatin1String(caption), GroupBox3);
        label->setObjectName(QLatin1String(labelName));
        label->move(Dp(16), Dp(top + 4));
        label->adjustSize();
        edit = new QLineEdit(QStringLiteral("100"), GroupBox3);
        edit->setObjectName(QLatin1String(editName));
        edit->setGeometry(Dp(184), Dp(top), Dp(65), Dp(26));
        edit->installEventFilter(this);
        auto* unit = new QLabel(QStringLiteral("pixels"), GroupBox3);
        unit->move(Dp(257), Dp(top + 4));
        unit->adjustSize();
    };
    sizeRow("MinWidthLabel", "Minimum Picture Width", "MinWidthEdit", 70, MinWidthLabel, MinWidthEdit);
    sizeRow("MinHeightLabel", "Minimum Picture Height", "MinHeightEdit", 108, MinHeightLabel, MinHeightEdit);
    TurnedCheckBox = checkBox(GroupBox3, "TurnedCheckBox", " Also Match Turned and Mirrored Pictures", 146);

    GroupBox4 = groupBox(this, "GroupBox4", "Application", {10, 278 + kExtraRow, 527, 74});
    CheckUpdatesCheckBox = checkBox(GroupBox4, "CheckUpdatesCheckBox", " Automatically Check for Updates", 34);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(Dp(121), Dp(366 + kExtraRow), Dp(148), Dp(43));
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setGeometry(Dp(279), Dp(366 + kExtraRow), Dp(148), Dp(43));
    for (QPushButton* button : {OKButton, CancelButton}) {
        button->setAutoDefault(false);  // Enter presses neither
        button->setDefault(false);
    }
    connect(OKButton, &QPushButton::clicked, this, &TSettingsForm::OKButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &TSettingsForm::CancelButtonClick);

    // File types, the two buttons, then the other groups in reading order.
    QWidget* order[] = {BMPCheckBox, JPGCheckBox, GIFCheckBox, PNGCheckBox, TIFFCheckBox,
                        OKButton, CancelButton, RecycleCheckBox, SilentDeleteCheckBox,
                        OnlyIdenticalCheckBox, MinWidthEdit, MinHeightEdit, TurnedCheckBox,
                        CheckUpdatesCheckBox};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void TSettingsForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TSettingsForm::FormShow()
{
    GroupBox1->setTitle(QStringLiteral("Scan the following types"));
    JPGCheckBox->setChecked(m_settings.SearchJPG);
    BMPCheckBox->setChecked(m_settings.SearchBMP);
    GIFCheckBox->setChecked(m_settings.SearchGIF);
    PNGCheckBox->setChecked(m_settings.SearchPNG);
    TIFFCheckBox->setChecked(m_settings.SearchTIFF);
    RecycleCheckBox->setChecked(m_settings.MoveToRecycle);
    SilentDeleteCheckBox->setChecked(m_settings.DeleteWithoutAsking);
    OnlyIdenticalCheckBox->setChecked(m_settings.SearchOnlyIdentical);
    CheckUpdatesCheckBox->setChecked(m_settings.AutoCheckUpdates);
    TurnedCheckBox->setChecked(m_settings.MatchTurnedAndMirrored);
    MinWidthEdit->setText(QString::number(m_settings.MinPicWidth));
    MinHeightEdit->setText(QString::number(m_settings.MinPicHeight));
}

void TSettingsForm::OKButtonClick()
{
    m_settings.SearchJPG = JPGCheckBox->isChecked();
    m_settings.SearchBMP = BMPCheckBox->isChecked();
    m_settings.SearchGIF = GIFCheckBox->isChecked();
    m_settings.SearchPNG = PNGCheckBox->isChecked();
    m_settings.SearchTIFF = TIFFCheckBox->isChecked();
    m_settings.MoveToRecycle = RecycleCheckBox->isChecked();
    m_settings.DeleteWithoutAsking = SilentDeleteCheckBox->isChecked();
    m_settings.SearchOnlyIdentical = OnlyIdenticalCheckBox->isChecked();
    m_settings.AutoCheckUpdates = CheckUpdatesCheckBox->isChecked();
    m_settings.MatchTurnedAndMirrored = TurnedCheckBox->isChecked();
    // What is assigned before a bad size box stays assigned; the dialog stays open.
    for (QLineEdit* edit : {MinWidthEdit, MinHeightEdit}) {
        const std::optional<std::int32_t> value = ParseSettingsInteger(edit->text().toStdString());
        if (!value) {
            showError(QStringLiteral("''%1'' is not a valid integer value").arg(edit->text()));
            return;
        }
        (edit == MinWidthEdit ? m_settings.MinPicWidth : m_settings.MinPicHeight) = *value;
    }
    m_settings.MinPicWidth = std::max(m_settings.MinPicWidth, 0);
    m_settings.MinPicHeight = std::max(m_settings.MinPicHeight, 0);
    accept();
}

void TSettingsForm::CancelButtonClick()
{
    reject();
}

void TSettingsForm::keyPressEvent(QKeyEvent* event)
{
    // Neither button is the default or the cancel button.
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

bool TSettingsForm::MinWidthEditKeyPress(const QString& key)
{
    if (key.size() != 1)
        return true;  // no character: arrows, Delete, Home ...
    const QChar c = key.front();
    return c == QChar(8) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

bool TSettingsForm::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == MinWidthEdit || watched == MinHeightEdit) && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Shortcuts (paste, select all) are not typed characters.
        if (!(key->modifiers() & Qt::ControlModifier) && !MinWidthEditKeyPress(key->text()))
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TSettingsForm::showError(const QString& text)
{
    if (m_showError)
        m_showError(text);
    else
        QMessageBox::critical(this, windowTitle(), text);
}

} // namespace ferrovin
