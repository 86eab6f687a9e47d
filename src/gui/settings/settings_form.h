#pragma once

#include <QDialog>

namespace ferrovin {

struct Settings;

// The Settings window; it edits the main window's settings in place.
class TSettingsForm final : public QDialog {
    Q_OBJECT
public:
    explicit TSettingsForm(Settings& settings, QWidget* parent = nullptr);

private:
    Settings& m_settings;
};

} // namespace ferrovin
