#include "app/Snapshot.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>

#include "media/BitmapFile.h"

namespace kv::app {

QString SnapshotExtension(int format)
{
    return format == 1 ? ".bmp" : ".jpg";
}

QString SnapshotPath(const QString& folder, const QString& caption, int naming, int format, const QDateTime& taken)
{
    const QString dir = folder.endsWith('/') ? folder : folder + '/';
    const QString ext = SnapshotExtension(format);
    if (naming == 1) return dir + taken.toString("yyyyMMdd hhmmsszzz") + ext;
    const QString base = QFileInfo(caption).completeBaseName();
    QString name = base + ext;
    for (int n = 1; QFileInfo::exists(dir + name); ++n) name = QString("%1_%2%3").arg(base).arg(n).arg(ext);
    return dir + name;
}

bool SaveSnapshot(const media::TBitmap& bitmap, const QString& path, int format)
{
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) return false;
    if (format == 1) return media::SaveBitmapFile(bitmap, path.toStdString());
    const QImage image(bitmap.Bits(), bitmap.Width(), bitmap.Height(), bitmap.Stride(), QImage::Format_BGR888);
    return image.save(path, "JPG");
}

}  // namespace kv::app
