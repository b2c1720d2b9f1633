#pragma once
// The file types the main window offers in its open-file chooser and collects from
// a folder: one list of extensions for both. Whether a listed file is video or
// sound is the probe's answer, never its extension's.
#include <QString>
#include <QStringList>

namespace kv::app {

// Lower-case extensions without their dot, in the order the chooser shows them.
const QStringList& VideoExtensions();
const QStringList& AudioExtensions();

// True when `ext` (without its dot, any case) is one of the two lists.
bool IsSupportedExtension(const QString& ext);

// The video and audio files of a folder tree, depth first, each folder's entries by
// name; hidden folders and links to folders are not entered.
QStringList CollectMediaFiles(const QString& folder);

// The open-file chooser's entries ("description (patterns)"); the first, "All
// Supported Files", is the one selected when it opens. Every pattern is given in
// both cases: names on Linux are case-sensitive.
QStringList OpenFileFilters();

}  // namespace kv::app
