#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class QWidget;

namespace ferrovin {

// Options of the folder picker, in the order their request flags are joined.
enum TOptions : int {
    fdoBrowseForComputer,
    fdoBrowseForPrinter,
    fdoDontgoBelowDomain,
    fdoReturnFSAncestors,
    fdoReturnOnlyFSDirs,
    fdoStatusText,
    fdoNewDialogStyle,
    fdoNoNewFolderButton,
    fdoEditBox,
};

// A set of TOptions: bit n stands for the option with value n.
using TFolderOptions = std::uint32_t;

constexpr TFolderOptions FolderOption(TOptions option)
{
    return TFolderOptions(1) << option;
}

enum TDialogPosition { fdpDefault, fdpScreenCenter, fdpXY };

// What one run of the picker asks of the dialog that shows it.
struct TFolderRequest {
    QWidget* owner = nullptr;
    QString title;      // instruction text above the folder tree
    QString caption;    // title bar text; empty keeps the dialog's own
    QString directory;  // the folder to open on; always an existing folder
    std::uint32_t flags = 0;
};

// The folder picker shared by Add Folder and the move-file action. Callers set
// Caption, call Execute and read Directory, which persists between uses.
class TFolderDialog final : public QObject {
    Q_OBJECT
public:
    // Shows the dialog for one request; the chosen folder, or nothing when the
    // user cancelled. Replaceable so tests need no modal dialog.
    using Chooser = std::function<std::optional<QString>(const TFolderRequest&, TFolderDialog&)>;

    explicit TFolderDialog(QWidget* owner);

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& caption) { FCaption = caption; }
    QString Title() const { return FTitle; }
    void SetTitle(const QString& title) { FTitle = title; }
    QString Directory() const { return FDirectory; }
    void SetDirectory(const QString& directory) { FDirectory = directory; }
    int ImageIndex() const { return FImageIndex; }
    TFolderOptions Options() const { return FOptions; }
    void SetOptions(TFolderOptions options) { FOptions = options; }
    TDialogPosition DialogPosition() const { return FDialogPosition; }
    void SetDialogPosition(TDialogPosition position) { FDialogPosition = position; }
    int DialogX() const { return FDialogX; }
    void SetDialogX(int x) { FDialogX = x; }
    int DialogY() const { return FDialogY; }
    void SetDialogY(int y) { FDialogY = y; }
    QString Version() const;
    void SetVersion(const QString&) {}

    // The request flags: the shell flag values of the chosen options, joined.
    std::uint32_t Flags() const;

    // Where the dialog goes: 20 pixels in from the owner's top-left corner, the
    // middle of the desktop, or (DialogX, DialogY) raised to 0 when negative.
    QPoint Placement(const QRect& ownerFrame, const QSize& desktop, const QSize& dialog) const;

    // True when a folder was chosen; Directory then holds it.
    bool Execute();

    void setChooser(Chooser chooser) { m_chooser = std::move(chooser); }

private:
    static std::optional<QString> showDialog(const TFolderRequest& request, TFolderDialog& self);

    QString FTitle;
    QString FDirectory;
    TFolderOptions FOptions = FolderOption(fdoNewDialogStyle);
    int FImageIndex = 0;
    int FDialogX = 0;
    int FDialogY = 0;
    TDialogPosition FDialogPosition = fdpDefault;
    QString FCaption;
    QWidget* FParent = nullptr;
    Chooser m_chooser;
};

} // namespace ferrovin
