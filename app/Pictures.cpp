#include "app/Pictures.h"

#include "workflow/IniOptions.h"

namespace kv::app {

namespace {

QString& FolderOverride()
{
    static QString folder;
    return folder;
}

}  // namespace

QString PictureFolder()
{
    if (!FolderOverride().isEmpty()) return FolderOverride();
    return QString::fromStdString(workflow::ExeFolder()) + "KestravoRes/";
}

void SetPictureFolder(const QString& folder)
{
    FolderOverride() = folder.isEmpty() || folder.endsWith('/') ? folder : folder + "/";
}

QPixmap LoadPicture(const QString& name)
{
    QPixmap picture;
    picture.load(PictureFolder() + name);
    return picture;
}

QIcon PictureIcon(const QString& name)
{
    const QPixmap picture = LoadPicture(name);
    return picture.isNull() ? QIcon() : QIcon(picture);
}

}  // namespace kv::app
