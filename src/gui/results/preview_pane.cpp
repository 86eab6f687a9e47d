// The preview pane: both pictures of the selected pair side by side, their
// descriptions and frames, opening a picture, swapping the two.
#include "gui/results/preview_pane.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QScreen>
#include <QTableView>

#include <algorithm>
#include <cmath>

#include "gui/main_window/main_form.h"
#include "gui/main_window/widgets.h"
#include "gui/results/preview_loader.h"
#include "gui/results/result_list_model.h"
#include "gui/shell/shell_services.h"

namespace ferrovin {

QString PictureDescription(const QString& fileName, QSize size, std::int64_t fileSize)
{
    const int dot = int(fileName.lastIndexOf(QLatin1Char('.')));
    const QString type = dot < 0 ? QString() : fileName.mid(dot + 1).toUpper();
    return type + QStringLiteral("  ") + QString::number(size.width()) + QStringLiteral(" x ")
        + QString::number(size.height()) + QStringLiteral("  ") + TMainForm::FormatByteSize(fileSize);
}

QString PercentText(double similarity)
{
    return QLocale().toString(qlonglong(std::llround(similarity))) + QLatin1Char('%');
}

void DrawImageFrame(QImage& image, QSize fullSize)
{
    if (image.isNull() || !fullSize.isValid())
        return;
    const int w = fullSize.width();
    const int h = fullSize.height();
    int pen = std::min(w, h) / 20;
    if (pen <= 2)
        pen = 2;
    QPainter painter(&image);
    painter.scale(double(image.width()) / w, double(image.height()) / h);
    painter.setPen(QPen(Qt::white, pen, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    const QPoint corners[] = {{0, 0}, {w, 0}, {w, h}, {0, h}, {0, 0}};
    painter.drawPolyline(corners, 5);
}

QString TMainForm::pictureName(std::int32_t picIndex) const
{
    return QFile::decodeName(
        QByteArray::fromStdString(m_catalogue.PicList[std::size_t(picIndex)].FileName));
}

QString TMainForm::picturePath(std::int32_t picIndex) const
{
    return QFile::decodeName(QByteArray::fromStdString(m_catalogue.FullPath(picIndex)));
}

bool TMainForm::previewPending() const
{
    return m_preview->pending();
}

void TMainForm::ListView1Click()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const TPicturePair& pair = m_catalogue.PicturePairs[std::size_t(row)];
    const std::int32_t pictures[2] = {pair.PicIndex1, pair.PicIndex2};
    for (int side = 0; side < 2; ++side) {
        m_previewTexts.name[side] = pictureName(pictures[side]);
        m_previewTexts.size[side] = m_catalogue.PicList[std::size_t(pictures[side])].Size;
    }
    m_previewTexts.similarity = pair.Similarity;

    // Decoded no larger than the screen: the views never show more than that.
    QSize bound(1920, 1200);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        bound = bound.expandedTo(screen->size() * screen->devicePixelRatio());
    m_preview->request(picturePath(pictures[0]), picturePath(pictures[1]), bound);
}

void TMainForm::showPreview(const TDecodedPicture& left, const TDecodedPicture& right)
{
    // What loaded before a failing picture stays shown, the rest keeps its
    // old content, and no frame is drawn: the pane stops where the load did.
    const auto failed = [this](const TDecodedPicture& picture, int side) {
        if (picture.error.isEmpty())
            return false;
        showMessage(TMessageKind::Error, QStringLiteral("Cannot load picture ")
                                             + m_previewTexts.name[side] + QStringLiteral("\n\r")
                                             + picture.error);
        emit previewShown();
        return true;
    };
    if (failed(left, 0))
        return;
    LeftImage->setPicture(left.image, left.fullSize);
    ImageLabel1->setText(PictureDescription(m_previewTexts.name[0], left.fullSize, m_previewTexts.size[0]));
    if (failed(right, 1))
        return;
    RightImage->setPicture(right.image, right.fullSize);
    ImageLabel2->setText(PictureDescription(m_previewTexts.name[1], right.fullSize, m_previewTexts.size[1]));
    PercentLabel->setText(PercentText(m_previewTexts.similarity));
    for (TPictureView* view : {LeftImage, RightImage}) {
        QImage framed = view->picture();
        DrawImageFrame(framed, view->fullSize());
        view->setPicture(framed, view->fullSize());
    }
    emit previewShown();
}

void TMainForm::openPicture(int side)
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const TPicturePair& pair = m_catalogue.PicturePairs[std::size_t(row)];
    const QString path = picturePath(side == 1 ? pair.PicIndex1 : pair.PicIndex2);
    if (QFileInfo::exists(path))
        OpenWithDefaultProgram(path);
}

void TMainForm::LeftImageClick()
{
    openPicture(1);
}

void TMainForm::RightImageClick()
{
    openPicture(2);
}

void TMainForm::SwapImagesButtonClick()
{
    if (m_resultsBusy)
        return;
    const int row = selectedRow();
    if (row < 0) {
        // Only the shown pictures trade places; their descriptions stay.
        const QImage left = LeftImage->picture();
        const QSize leftSize = LeftImage->fullSize();
        LeftImage->setPicture(RightImage->picture(), RightImage->fullSize());
        RightImage->setPicture(left, leftSize);
        return;
    }
    m_catalogue.SwapPair(row);
    ListModel->refreshRows(row, row);
    ListView1Click();
}

} // namespace ferrovin
