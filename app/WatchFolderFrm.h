#pragma once
// The "Watch folder..." dialog: a folder, a profile and an on/off switch. While it is
// on (and the main window is open), every media file that arrives in the folder is
// converted into the main window's output folder, with its folder and if-exists
// choices; the dialog shows one line per file.
#include <QDialog>

#include <memory>

#include "workflow/FolderWatch.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QToolButton;

namespace kv::app {

class TZelMainForm;

class TWatchFolderForm : public QDialog {
public:
    explicit TWatchFolderForm(TZelMainForm* owner);
    ~TWatchFolderForm() override;

    // On: starts watching the chosen folder (false after telling why it cannot).
    // Off: stops, cancelling a running file.
    bool SetWatching(bool on);
    bool Watching() const { return static_cast<bool>(FWatch); }
    void SetFolder(const QString& folder);

    QLineEdit* edtFolder;
    QToolButton* btnChooseFolder;
    QComboBox* cbbProfile;
    QCheckBox* chkWatching;
    QPlainTextEdit* memLines;

private:
    workflow::TWatchSettings Settings() const;
    void AddLine(const QString& line);

    TZelMainForm* FOwner;
    std::unique_ptr<workflow::TFolderWatch> FWatch;
};

}  // namespace kv::app
