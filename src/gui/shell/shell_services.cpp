#include "gui/shell/shell_services.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>

#include <unistd.h>

#include "engine/files/trash.h"

namespace ferrovin {

int ShellDeleteFile(const QString& path, bool toTrash)
{
    const QByteArray name = QFile::encodeName(path);
    if (toTrash)
        return MoveToTrash(name.toStdString());
    return ::unlink(name.constData()) == 0 ? 0 : errno;
}

void ShowInFileManager(const QString& path)
{
    const QUrl file = QUrl::fromLocalFile(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusInterface manager(QStringLiteral("org.freedesktop.FileManager1"),
                               QStringLiteral("/org/freedesktop/FileManager1"),
                               QStringLiteral("org.freedesktop.FileManager1"), bus);
        manager.setTimeout(5000);
        if (manager.isValid()) {
            const QDBusMessage reply = manager.call(QStringLiteral("ShowItems"),
                                                    QStringList{file.toString()}, QString());
            if (reply.type() == QDBusMessage::ReplyMessage)
                return;
        }
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

void OpenWithDefaultProgram(const QString& path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void OpenUrl(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

} // namespace ferrovin
