#include "gui/folders/folder_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <exception>

namespace ferrovin {

namespace {

// The shell flag values, indexed by TOptions.
constexpr std::uint32_t kOptionFlags[] = {
    0x1000, 0x2000, 0x0002, 0x0008, 0x0001, 0x0004, 0x0040, 0x0200, 0x0010,
};

// Four bytes, most significant first: 1.1.0.2.
constexpr std::uint32_t kComponentVersion = 0x01010002;

} // namespace

TFolderDialog::TFolderDialog(QWidget* owner)
    : QObject(owner), FDirectory(QDir::currentPath()), m_chooser(&TFolderDialog::showDialog)
{
}

QString TFolderDialog::Version() const
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(kComponentVersion >> 24)
        .arg(kComponentVersion >> 16 & 0xFF)
        .arg(kComponentVersion >> 8 & 0xFF)
        .arg(kComponentVersion & 0xFF);
}

std::uint32_t TFolderDialog::Flags() const
{
    std::uint32_t flags = 0;
    for (int option = fdoBrowseForComputer; option <= fdoEditBox; ++option) {
        if (FOptions & FolderOption(TOptions(option)))
            flags |= kOptionFlags[option];
    }
    return flags;
}

QPoint TFolderDialog::Placement(const QRect& ownerFrame, const QSize& desktop,
                                const QSize& dialog) const
{
    switch (FDialogPosition) {
    case fdpScreenCenter:
        return {desktop.width() / 2 - dialog.width() / 2, desktop.height() / 2 - dialog.height() / 2};
    case fdpXY:
        return {std::max(FDialogX, 0), std::max(FDialogY, 0)};
    case fdpDefault:
        break;
    }
    return ownerFrame.topLeft() + QPoint(20, 20);
}

bool TFolderDialog::Execute()
{
    QWidget* owner = qobject_cast<QWidget*>(parent());
    FParent = owner != nullptr ? owner->window() : nullptr;

    // A folder that vanished since the last use gives way to the current one.
    if (!QFileInfo(FDirectory).isDir())
        FDirectory = QDir::currentPath();

    const TFolderRequest request{FParent, FTitle, FCaption, FDirectory, Flags()};
    std::optional<QString> chosen;
    try {
        chosen = m_chooser(request, *this);
    } catch (const std::exception&) {
        chosen.reset();  // a failing dialog counts as a cancel
    }
    if (!chosen || chosen->isEmpty())
        return false;
    FDirectory = *chosen;
    FImageIndex = 0;  // no system image list here; kept for callers that read it
    return true;
}

std::optional<QString> TFolderDialog::showDialog(const TFolderRequest& request, TFolderDialog& self)
{
    QFileDialog dialog(request.owner);
    // Qt's own dialog, so that it can be placed and carry the instruction text.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, (request.flags & 0x0001) != 0);
    dialog.setDirectory(request.directory);
    if (!request.title.isEmpty())
        dialog.setLabelText(QFileDialog::LookIn, request.title);
    if (!request.caption.isEmpty())
        dialog.setWindowTitle(request.caption);

    dialog.adjustSize();
    const QRect ownerFrame = request.owner != nullptr ? request.owner->frameGeometry() : QRect();
    QScreen* screen = request.owner != nullptr ? request.owner->screen() : dialog.screen();
    const QSize desktop = screen != nullptr ? screen->size() : QSize();
    dialog.move(self.Placement(ownerFrame, desktop, dialog.frameGeometry().size()));

    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return std::nullopt;
    return QDir::cleanPath(files.first());
}

} // namespace ferrovin
