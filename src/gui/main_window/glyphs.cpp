#include "gui/main_window/glyphs.h"

#include <QPainter>
#include <QPixmap>

namespace ferrovin {

namespace {

// Symbolic theme icons are dark grey, made for light surfaces; the panels are slate.
QPixmap whitened(QPixmap pixmap)
{
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), Qt::white);
    return pixmap;
}

// A white glyph greyed by the style stays nearly white; fade it instead.
QPixmap faded(const QPixmap& pixmap)
{
    QPixmap result(pixmap.size());
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setOpacity(0.35);
    painter.drawPixmap(0, 0, pixmap);
    return result;
}

} // namespace

QIcon Glyph(const QString& themeName, const QString& fallbackResource)
{
    // Outside a desktop session Qt knows no theme; Adwaita ships with the system.
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    const QIcon themed = themeName.isEmpty() ? QIcon() : QIcon::fromTheme(themeName);
    const QIcon source = themed.isNull() ? QIcon(fallbackResource) : themed;

    QIcon glyph;
    for (const int side : {24, 32, 48}) {
        QPixmap pixmap = source.pixmap(side, side);
        if (pixmap.isNull())
            continue;
        if (!themed.isNull())
            pixmap = whitened(pixmap);
        glyph.addPixmap(pixmap, QIcon::Normal);
        glyph.addPixmap(faded(pixmap), QIcon::Disabled);
    }
    return glyph.isNull() ? QIcon(fallbackResource) : glyph;
}

} // namespace ferrovin
