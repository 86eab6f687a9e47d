#pragma once

#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>

class QMouseEvent;
class QPaintEvent;
class QResizeEvent;

namespace ferrovin {

// Window sizes are designed at 120 dpi; Qt lays out in 96-dpi units and scales
// those to the screen itself.
constexpr int Dp(int designPixels)
{
    return (designPixels * 4 + 2) / 5;
}

// The dark colour of the window's panels, with white text on it.
inline const QColor kSlate(96, 106, 133);

// A plain panel; `slate` paints the dark panel colour with white text.
class TPanel : public QFrame {
    Q_OBJECT
public:
    explicit TPanel(const QString& name, QWidget* parent, bool slate = true);
};

// The central area reports its resizes so the window can lay out the preview
// halves and the progress overlay by hand, as one unit.
class TCentralPanel final : public TPanel {
    Q_OBJECT
public:
    using TPanel::TPanel;

signals:
    void resized();

protected:
    void resizeEvent(QResizeEvent* event) override;
};

// A label that acts when clicked (the caption of the subfolder check box).
class TClickLabel final : public QLabel {
    Q_OBJECT
public:
    TClickLabel(const QString& name, const QString& text, QWidget* parent);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// A picture drawn centred and shrunk to fit with its proportions kept, never
// enlarged; it reports clicks while enabled. The picture may be a reduced
// decode of a larger file: `fullSize` is the size it stands for.
class TPictureView final : public QWidget {
    Q_OBJECT
public:
    TPictureView(const QString& name, QWidget* parent);

    void setPicture(const QImage& picture, QSize fullSize = {});
    void clear();
    const QImage& picture() const { return m_picture; }
    QSize fullSize() const { return m_fullSize; }
    // Where the picture is drawn, in the view's coordinates.
    QRect pictureRect() const;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage m_picture;
    QSize m_fullSize;
    QPixmap m_scaled;  // the picture at the size last drawn, so repaints do not rescale
};

} // namespace ferrovin
