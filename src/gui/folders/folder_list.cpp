// The folder list of the main window: its placeholder, the tool-bar buttons,
// the Delete key and dropped files and folders.
#include "gui/main_window/main_form.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QListWidget>

#include "gui/folders/folder_dialog.h"

namespace ferrovin {

namespace {

// Seven blanks in front, as the list box shows it.
const QString kPlaceholderText = QStringLiteral("       You can drag directories from the file manager");

} // namespace

QStringList TMainForm::folders() const
{
    QStringList entries;
    if (!m_folderListIsPlaceholder) {
        for (int i = 0; i < DirectoriesListBox->count(); ++i)
            entries << DirectoriesListBox->item(i)->text();
    }
    return entries;
}

void TMainForm::showPlaceholder()
{
    DirectoriesListBox->clear();
    QPalette colours = DirectoriesListBox->palette();
    const QColor grey = QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        colours.setColor(group, QPalette::Text, grey);
    DirectoriesListBox->setPalette(colours);
    DirectoriesListBox->addItems({QString(), QString(), kPlaceholderText});
    DirectoriesListBox->setEnabled(false);
    m_folderListIsPlaceholder = true;
}

void TMainForm::leavePlaceholder()
{
    DirectoriesListBox->clear();
    DirectoriesListBox->setPalette(QPalette());
    DirectoriesListBox->setEnabled(true);
    m_folderListIsPlaceholder = false;
}

void TMainForm::appendFolder(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    DirectoriesListBox->addItem(folder);
}

int TMainForm::selectedFolderIndex() const
{
    const QList<QListWidgetItem*> selected = DirectoriesListBox->selectedItems();
    return selected.isEmpty() ? -1 : DirectoriesListBox->row(selected.first());
}

void TMainForm::AddFolderButtonClick()
{
    AddFolderDialog->SetCaption(QStringLiteral("Add folder to search"));
    if (!AddFolderDialog->Execute())
        return;
    if (m_folderListIsPlaceholder)
        leavePlaceholder();
    appendFolder(AddFolderDialog->Directory());
}

void TMainForm::DropFiles(const QStringList& names)
{
    if (m_folderListIsPlaceholder)
        leavePlaceholder();
    for (const QString& name : names) {
        if (QFileInfo(name).isDir()) {
            appendFolder(name);
            continue;
        }
        // A file stands for the folder that holds it.
        const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            continue;
        const QString folder = slash == 0 ? QStringLiteral("/") : name.left(slash);
        if (QFileInfo(folder).isDir())
            appendFolder(folder);
    }
}

void TMainForm::RemoveFolderButtonClick()
{
    if (m_folderListIsPlaceholder)
        return;
    const int index = selectedFolderIndex();
    if (index >= 0)
        delete DirectoriesListBox->takeItem(index);
    if (DirectoriesListBox->count() == 0)
        showPlaceholder();
}

void TMainForm::ClearDirectoriesButtonClick()
{
    if (!m_folderListIsPlaceholder)
        showPlaceholder();
}

void TMainForm::MoveFolderUpButtonClick()
{
    if (m_folderListIsPlaceholder)
        return;
    const int index = selectedFolderIndex();
    if (index <= 0)
        return;
    DirectoriesListBox->insertItem(index - 1, DirectoriesListBox->takeItem(index));
    DirectoriesListBox->setCurrentRow(index - 1);
}

void TMainForm::MoveFolderDownButtonClick()
{
    if (m_folderListIsPlaceholder)
        return;
    const int index = selectedFolderIndex();
    if (index < 0 || index >= DirectoriesListBox->count() - 1)
        return;
    DirectoriesListBox->insertItem(index + 1, DirectoriesListBox->takeItem(index));
    DirectoriesListBox->setCurrentRow(index + 1);
}

void TMainForm::DirectoriesListBoxKeyDown(int key)
{
    // Unlike Remove, the key leaves an emptied list empty and enabled.
    if (key != Qt::Key_Delete)
        return;
    const int index = selectedFolderIndex();
    if (index >= 0)
        delete DirectoriesListBox->takeItem(index);
}

void TMainForm::Label1Click()
{
    ScanSubfoldersCheckBox->toggle();
}

} // namespace ferrovin
