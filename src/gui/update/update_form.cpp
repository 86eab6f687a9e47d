#include "gui/update/update_form.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

namespace ferrovin {

TUpdateForm::TUpdateForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("UpdateForm"));
    setWindowTitle(QStringLiteral("Check for Updates"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(buttons);
}

} // namespace ferrovin
