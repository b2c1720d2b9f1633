#include "app/FileTypes.h"

#include <QDir>
#include <QFileInfo>

namespace kv::app {

const QStringList& VideoExtensions()
{
    static const QStringList list = {
        "avi", "mp4", "m4v", "mkv", "webm", "mov", "qt",  "wmv", "asf", "flv", "f4v", "3gp", "3g2",
        "mpg", "mpeg", "m2v", "vob", "ts", "m2ts", "mts", "tp", "trp", "ogv", "ogm", "dv", "mxf", "divx",
        "rm",  "rmvb", "dat", "avs", "avm", "nsv", "mod", "tod", "ifo", "mjpeg", "h264", "264", "hevc", "y4m"};
    return list;
}

const QStringList& AudioExtensions()
{
    static const QStringList list = {
        "mp3", "m4a", "m4b", "aac", "wav", "flac", "ogg", "oga", "opus", "wma", "aiff", "aif", "aifc", "mka",
        "ac3", "eac3", "dts", "mp2", "mpa", "mpc", "ape", "wv", "tta", "ofr", "amr", "au", "caf", "ra", "mid", "spx"};
    return list;
}

bool IsSupportedExtension(const QString& ext)
{
    const QString lower = ext.toLower();
    return !lower.isEmpty() && (VideoExtensions().contains(lower) || AudioExtensions().contains(lower));
}

namespace {

void Collect(const QString& folder, QStringList& found)
{
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                   QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& entry : entries) {
        if (entry.isDir()) {
            // A link back up the tree would never end the search.
            if (!entry.isSymLink() && !entry.isHidden()) Collect(entry.filePath(), found);
            continue;
        }
        if (IsSupportedExtension(entry.suffix())) found << entry.absoluteFilePath();
    }
}

QString Patterns(const QStringList& extensions)
{
    QStringList patterns;
    for (const QString& ext : extensions) patterns << "*." + ext << "*." + ext.toUpper();
    return patterns.join(' ');
}

}  // namespace

QStringList CollectMediaFiles(const QString& folder)
{
    QStringList found;
    Collect(folder, found);
    return found;
}

QStringList OpenFileFilters()
{
    return {"All Supported Files (" + Patterns(VideoExtensions() + AudioExtensions()) + ")",
            "Video Files (" + Patterns(VideoExtensions()) + ")", "Audio Files (" + Patterns(AudioExtensions()) + ")",
            "All Files (*)"};
}

}  // namespace kv::app
