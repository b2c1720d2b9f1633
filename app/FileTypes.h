#pragma once
// Which files the main window treats as video, which it collects from a folder,
// and the entries of its open-file chooser.
#include <QString>
#include <QStringList>

namespace kv::app {

extern const char* const VideoFileTypes;

// True when "*.<ext>;" is one of the entries of VideoFileTypes (any case). `ext` is
// without its dot; an empty one is no video type.
bool IsVideoFileType(const QString& ext);

// The video files of a folder tree, depth first, each folder's entries by name;
// hidden folders and links to folders are not entered.
QStringList CollectVideoFiles(const QString& folder);

// The open-file chooser's entries ("description (patterns)"), the first one selected
// when it opens. Every pattern is given in both cases: names on Linux are case-sensitive.
QStringList OpenFileFilters();

}  // namespace kv::app
