#pragma once

#include <QString>

class QUrl;

namespace ferrovin {

// Deletes one file, to the trash when `toTrash`, else for good. 0 means the
// file has left its folder; anything else is the errno and the file stayed.
int ShellDeleteFile(const QString& path, bool toTrash);

// Shows the file selected in the desktop's file manager; when no file manager
// answers on the session bus, opens its folder instead. Never reports failure.
void ShowInFileManager(const QString& path);

// Opens a picture with the desktop's default program for it.
void OpenWithDefaultProgram(const QString& path);

// Opens a web page or a mailto: address in the user's browser or mail program.
void OpenUrl(const QUrl& url);

} // namespace ferrovin
