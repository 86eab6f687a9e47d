#include "gui/settings/settings_form.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

#include "engine/settings/settings.h"

namespace ferrovin {

TSettingsForm::TSettingsForm(Settings& settings, QWidget* parent)
    : QDialog(parent), m_settings(settings)
{
    setObjectName(QStringLiteral("SettingsForm"));
    setWindowTitle(QStringLiteral("Settings"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(buttons);
}

} // namespace ferrovin
