#pragma once
// Everything that waits for the user's answer outside the windows' own controls:
// message boxes and the file and folder choosers. One replaceable object, so that
// tests answer instead of the user and nothing ever blocks them.
#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

namespace kv::app {

class TPrompter {
public:
    virtual ~TPrompter() = default;
    // A message box captioned with the application title; returns the button pressed.
    virtual QMessageBox::StandardButton Message(QWidget* owner, QMessageBox::Icon icon, const QString& text,
                                                QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    // Existing files, several at once; empty when cancelled. `filters` are the
    // chooser's entries, the first one selected; it opens in `start` when given.
    virtual QStringList ChooseFiles(QWidget* owner, const QStringList& filters, const QString& start = QString());
    // An existing folder (new ones may be made in the chooser); empty when cancelled.
    virtual QString ChooseFolder(QWidget* owner, const QString& caption, const QString& start);
};

// The prompter in use: the real one unless a test installed its own.
TPrompter& Prompter();
// Installs `prompter` (not owned; null restores the real one).
void SetPrompter(TPrompter* prompter);

// Yes/No question with the question icon; true for Yes.
bool Ask(QWidget* owner, const QString& text);

}  // namespace kv::app
