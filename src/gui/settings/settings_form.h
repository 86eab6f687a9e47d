#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ferrovin {

struct Settings;

// The Settings window; every showing fills it from the main window's
// settings, OK writes them back in place, Cancel and the close box leave them.
class TSettingsForm final : public QDialog {
    Q_OBJECT
public:
    explicit TSettingsForm(Settings& settings, QWidget* parent = nullptr);

    // Error boxes go here instead of on screen (tests).
    void setMessageHandler(std::function<void(const QString&)> handler) { m_showError = std::move(handler); }

    QGroupBox* GroupBox1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QCheckBox* BMPCheckBox = nullptr;
    QCheckBox* JPGCheckBox = nullptr;
    QCheckBox* GIFCheckBox = nullptr;
    QCheckBox* PNGCheckBox = nullptr;
    QCheckBox* TIFFCheckBox = nullptr;
    QCheckBox* RecycleCheckBox = nullptr;
    QCheckBox* SilentDeleteCheckBox = nullptr;
    QCheckBox* OnlyIdenticalCheckBox = nullptr;
    QCheckBox* CheckUpdatesCheckBox = nullptr;
    QCheckBox* TurnedCheckBox = nullptr;
    QLabel* MinWidthLabel = nullptr;
    QLineEdit* MinWidthEdit = nullptr;
    QLabel* MinHeightLabel = nullptr;
    QLineEdit* MinHeightEdit = nullptr;
    QPushButton* OKButton = nullptr;
    QPushButton* CancelButton = nullptr;

public slots:
    void FormShow();
    void OKButtonClick();
    void CancelButtonClick();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // False when the typed character may not reach a size box.
    static bool MinWidthEditKeyPress(const QString& key);
    void showError(const QString& text);

    Settings& m_settings;
    std::function<void(const QString&)> m_showError;
};

} // namespace ferrovin
