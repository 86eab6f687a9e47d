#include "gui/main_window/glyphs.h"

#include <QPainter>
#include <QPixmap>

namespace ferrovin {

QIcon Glyph(const QString& themeName, const QString& fallbackResource)
{
    // Outside a desktop session Qt knows no theme; Adwaita ships with the system.
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    const QIcon themed = QIcon::fromTheme(themeName);
    if (themed.isNull())
        return QIcon(fallbackResource);
    // Symbolic icons are dark grey, made for light surfaces; the panels are slate.
    QIcon white;
    for (const int side : {24, 48}) {
        QPixmap pixmap = themed.pixmap(side, side);
        if (pixmap.isNull())
            continue;
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), Qt::white);
        painter.end();
        white.addPixmap(pixmap);
    }
    return white.isNull() ? QIcon(fallbackResource) : white;
}

} // namespace ferrovin
