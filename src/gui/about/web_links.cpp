#include "gui/about/web_links.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace ferrovin {

QString LocalGuidePath()
{
    const QString name = QStringLiteral("ferrovin-guide.html");
    const QDir bin(QCoreApplication::applicationDirPath());
    for (const QString& candidate : {bin.filePath(QStringLiteral("../share/ferrovin/") + name),
                                     bin.filePath(name)}) {
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).canonicalFilePath();
    }
    return {};
}

} // namespace ferrovin
