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

void TPictureView::setPicture(const QPixmap& picture)
{
    m_picture = picture;
    update();
}

void TPictureView::clear()
{
    m_picture = QPixmap();
    update();
}

void TPictureView::paintEvent(QPaintEvent*)
{
    if (m_picture.isNull() || width() <= 0 || height() <= 0)
        return;
    QSize size = m_picture.deviceIndependentSize().toSize();
    if (size.width() > width() || size.height() > height())
        size.scale(this->size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(target, m_picture);
}

void TPictureView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QWidget::mouseReleaseEvent(event);
}

} // namespace ferrovin
