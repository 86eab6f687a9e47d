#include "gui/main_window/widgets.h"

#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>

namespace ferrovin {

TPanel::TPanel(const QString& name, QWidget* parent, bool slate) : QFrame(parent)
{
    setObjectName(name);
    setFrameShape(QFrame::NoFrame);
    if (slate) {
        QPalette colours = palette();
        colours.setColor(QPalette::Window, kSlate);
        colours.setColor(QPalette::WindowText, Qt::white);
        setPalette(colours);
        setAutoFillBackground(true);
    }
}

void TCentralPanel::resizeEvent(QResizeEvent* event)
{
    TPanel::resizeEvent(event);
    emit resized();
}

TClickLabel::TClickLabel(const QString& name, const QString& text, QWidget* parent)
    : QLabel(text, parent)
{
    setObjectName(name);
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

TPictureView::TPictureView(const QString& name, QWidget* parent) : QWidget(parent)
{
    setObjectName(name);
    setCursor(Qt::PointingHandCursor);
}

void TPictureView::setPicture(const QImage& picture, QSize fullSize)
{
    m_picture = picture;
    m_fullSize = fullSize.isValid() ? fullSize : picture.size();
    m_scaled = QPixmap();
    update();
}

void TPictureView::clear()
{
    setPicture(QImage());
}

QRect TPictureView::pictureRect() const
{
    if (m_picture.isNull() || width() <= 0 || height() <= 0)
        return {};
    QSize size = m_fullSize;
    if (size.width() > width() || size.height() > height())
        size.scale(this->size(), Qt::KeepAspectRatio);
    return {QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size};
}

void TPictureView::paintEvent(QPaintEvent*)
{
    const QRect target = pictureRect();
    if (target.isEmpty())
        return;
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(target.size()) * ratio).toSize();
    if (m_scaled.size() != pixels) {
        m_scaled = QPixmap::fromImage(
            m_picture.size() == pixels
                ? m_picture
                : m_picture.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        m_scaled.setDevicePixelRatio(ratio);
    }
    QPainter painter(this);
    painter.drawPixmap(target.topLeft(), m_scaled);
}

void TPictureView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QWidget::mouseReleaseEvent(event);
}

} // namespace ferrovin
