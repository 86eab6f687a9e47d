#pragma once

#include <QIcon>

namespace ferrovin {

// A button glyph for the dark panels: the desktop theme's symbolic icon drawn
// white, or the program's own drawing when the theme lacks it.
QIcon Glyph(const QString& themeName, const QString& fallbackResource);

} // namespace ferrovin
