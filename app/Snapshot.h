#pragma once
// Saving the previewed picture as a file in the snapshot folder: the file's name
// after the source or after the time taken, JPEG or a 24-bit bitmap.
#include <QDateTime>
#include <QString>

#include "media/Bitmap.h"

namespace kv::app {

// ".bmp" for format 1, ".jpg" for any other.
QString SnapshotExtension(int format);

// The path of the next snapshot in `folder`. Naming 1: the local time `taken`
// ("yyyyMMdd hhmmsszzz"); any other: `caption` without its extension, with "_1",
// "_2", ... added while a file of that name exists.
QString SnapshotPath(const QString& folder, const QString& caption, int naming, int format, const QDateTime& taken);

// Writes `bitmap` to `path`: a bitmap file for format 1, otherwise JPEG at the
// image writer's default quality. False when nothing could be written.
bool SaveSnapshot(const media::TBitmap& bitmap, const QString& path, int format);

}  // namespace kv::app
