// The move, browse and delete buttons under each picture of the preview.
#include "gui/main_window/main_form.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPalette>
#include <QTableView>
#include <QToolButton>

#include <algorithm>

#include "engine/files/file_system.h"
#include "engine/results/file_actions.h"
#include "gui/folders/folder_dialog.h"
#include "gui/results/result_list_model.h"
#include "gui/shell/shell_services.h"

namespace ferrovin {

namespace {

const QString kBreak = QStringLiteral("\n\r");

QString errorCodeText(const QString& verb, const QString& name, int error)
{
    return QStringLiteral("Cannot ") + verb + QStringLiteral(" file ") + name + kBreak
        + QStringLiteral("Error code = ") + QString::number(error);
}

// Repaints go on, input waits: nothing can start another action meanwhile.
void pause(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents,
                                        int(milliseconds - clock.elapsed()));
    }
}

} // namespace

bool TMainForm::reportRefusal(const TActionResult& result, const QString& name, const QString& verb)
{
    switch (result.outcome) {
    case TActionOutcome::Done:
        return false;
    case TActionOutcome::Missing:
        showMessage(TMessageKind::Error, QStringLiteral("Cannot find this file:") + kBreak + name);
        break;
    case TActionOutcome::Changed:
        showMessage(TMessageKind::Error, QStringLiteral("Cannot ") + verb + QStringLiteral(" file ")
                                             + name + kBreak
                                             + QStringLiteral("The file has changed since the search."));
        break;
    case TActionOutcome::SameFile:
        showMessage(TMessageKind::Error,
                    QStringLiteral("Cannot ") + verb + QStringLiteral(" file ") + name + kBreak
                        + QStringLiteral("Both pictures of this pair are one file on disk: it is the only copy."));
        break;
    case TActionOutcome::Failed:
        showMessage(TMessageKind::Error, errorCodeText(verb, name, result.error));
        break;
    }
    return true;
}

void TMainForm::finishFileAction(int row)
{
    ListModel->setItemCount(m_catalogue.PairCapacity);
    if (m_catalogue.PairCapacity > 0)
        ListView1->selectRow(std::min(row, m_catalogue.LastPairIndex));
    LeaveSearchMode();
    endResultsWork();
    ListView1Click();
}

bool TMainForm::startFileAction(int side, const QString& verb, int& row, QString& name)
{
    row = selectedRow();
    if (m_resultsBusy || row < 0)
        return false;
    name = pictureName(ActedPicture(m_catalogue, row, side));
    if (reportRefusal(CheckPictureAction(*m_fileSystem, m_catalogue, row, side), name, verb))
        return false;
    beginResultsWork();
    return true;
}

void TMainForm::deletePicture(int side)
{
    int row = 0;
    QString name;
    if (!startFileAction(side, QStringLiteral("delete"), row, name))
        return;
    pause(200);
    if (!m_settings.DeleteWithoutAsking
        && !confirm(QStringLiteral("Do you really want to delete") + kBreak + name)) {
        endResultsWork();
        return;
    }
    // Checked again: the question may have stood open for a long time.
    const TActionResult result = DeletePicture(*m_fileSystem, m_catalogue, row, side,
                                               m_settings.MoveToRecycle);
    reportRefusal(result, name, QStringLiteral("delete"));
    finishFileAction(row);
}

void TMainForm::movePicture(int side)
{
    int row = 0;
    QString name;
    if (!startFileAction(side, QStringLiteral("move"), row, name))
        return;
    AddFolderDialog->SetCaption(QStringLiteral("Move ") + name + QStringLiteral(" to selected folder"));
    if (!AddFolderDialog->Execute()) {
        endResultsWork();
        return;
    }
    const TActionResult result = MovePicture(*m_fileSystem, m_catalogue, row, side,
                                             QFile::encodeName(AddFolderDialog->Directory()).toStdString());
    if (result.outcome == TActionOutcome::Done)
        showMessage(TMessageKind::Information, name + QStringLiteral(" moved successfully"));
    else
        reportRefusal(result, name, QStringLiteral("move"));
    finishFileAction(row);
}

void TMainForm::browsePicture(int side)
{
    const int row = selectedRow();
    if (row < 0)
        return;
    // Started even for a file that is gone: the file manager shows its folder.
    const QString path = picturePath(ActedPicture(m_catalogue, row, side));
    if (m_browse)
        m_browse(path);
    else
        ShowInFileManager(path);
}

void TMainForm::DeleteImageButton1Click()
{
    deletePicture(1);
}

void TMainForm::DeleteImageButton2Click()
{
    deletePicture(2);
}

void TMainForm::MoveImageButton1Click()
{
    movePicture(1);
}

void TMainForm::MoveImageButton2Click()
{
    movePicture(2);
}

void TMainForm::BrowseImageButton1Click()
{
    browsePicture(1);
}

void TMainForm::BrowseImageButton2Click()
{
    browsePicture(2);
}

void TMainForm::highlightCaption(QObject* button, bool under)
{
    const std::pair<QToolButton*, QLabel*> captions[] = {
        {MoveImageButton1, MoveImageLabel1}, {BrowseImageButton1, BrowseImageLabel1},
        {DeleteImageButton1, DeleteImageLabel1}, {MoveImageButton2, MoveImageLabel2},
        {BrowseImageButton2, BrowseImageLabel2}, {DeleteImageButton2, DeleteImageLabel2}};
    for (const auto& [candidate, label] : captions) {
        if (candidate != button || label == nullptr)
            continue;
        QPalette colours = label->palette();
        colours.setColor(QPalette::WindowText, under ? QColor(255, 255, 255) : QColor(128, 128, 128));
        label->setPalette(colours);
    }
}

} // namespace ferrovin
