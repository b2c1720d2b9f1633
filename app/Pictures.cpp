#include "app/Pictures.h"

#include "workflow/IniOptions.h"

namespace kv::app {

QString PictureFolder()
{
    return QString::fromStdString(workflow::ExeFolder()) + "KestravoRes/";
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
