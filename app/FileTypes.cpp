#include "app/FileTypes.h"

#include <QDir>
#include <QFileInfo>

namespace kv::app {

const char* const VideoFileTypes =
    "*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;"
    "*.IFO;*.NSV;*.MOD;*.TOD;";

namespace {

const char* const OpenFileFilter =
    "MKV Files(*.mkv;*.mka)|*.mkv;*.mka;|All Supported Video/Audio Files|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;"
    "*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.MOD;*.TOD;*.MP3;*.AAC;*.WAV;"
    "*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;*.AC3;*.DTS;|Video "
    "Files(*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;*.RMVB;*.TS;"
    "*.TP;*.IFO;*.NSV;*.MOD;*.TOD;)|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;*."
    "OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.MOD;*.TOD;|Audio "
    "Files(*.MP3;*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;*."
    "AC3;*.DTS;)|*.MP3;*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*."
    "TTA;*.AC3;*.DTS;|All Files(*.*)|*.*";

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
        if (IsVideoFileType(entry.suffix())) found << entry.absoluteFilePath();
    }
}

}  // namespace

bool IsVideoFileType(const QString& ext)
{
    if (ext.isEmpty()) return false;
    return QString::fromLatin1(VideoFileTypes).contains("*." + ext.toUpper() + ";");
}

QStringList CollectVideoFiles(const QString& folder)
{
    QStringList found;
    Collect(folder, found);
    return found;
}

QStringList OpenFileFilters()
{
    const QStringList parts = QString::fromLatin1(OpenFileFilter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
            if (pattern == "*.*") {
                patterns << "*";
                continue;
            }
            const QString lower = pattern.toLower(), upper = pattern.toUpper();
            patterns << lower;
            if (upper != lower) patterns << upper;
        }
        filters << parts[i] + " (" + patterns.join(' ') + ")";
    }
    return filters;
}

}  // namespace kv::app
