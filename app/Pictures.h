#pragma once
// The application's pictures, made at build time into KestravoRes beside the
// executable. A missing picture gives an empty one: it never stops the application.
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace kv::app {

// The folder of the pictures, with a trailing "/".
QString PictureFolder();
// Takes the pictures from `folder` instead (tests); an empty text restores the default.
void SetPictureFolder(const QString& folder);
// The picture of that name ("Convert.png"); null when its file is missing or unreadable.
QPixmap LoadPicture(const QString& name);
// The same as an icon; empty when missing.
QIcon PictureIcon(const QString& name);

}  // namespace kv::app
