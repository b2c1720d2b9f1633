// The main window's part in a queue that survives: the list saved whenever it changes
// and restored at start (with what a killed run left cleaned up), the mirrored output
// folders and the choice for outputs whose name is taken, and the watch folder dialog.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTableWidget>
#include <QToolButton>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/ActionButtons.h"
#include "app/ActionGuard.h"
#include "app/Prompter.h"
#include "app/WatchFolderFrm.h"
#include "app/ZelMainFrm.h"
#include "workflow/FileOutcome.h"
#include "workflow/OutputPlan.h"

namespace kv::app {

using workflow::IniOptions;

void TZelMainForm::CreateQueueControls()
{
    chkKeepFolders = new QCheckBox("Keep folder structure", this);
    chkKeepFolders->setGeometry(236, 530, 150, 24);
    chkKeepFolders->setToolTip("The files of an added folder keep its sub-folders under the output folder");
    chkKeepFolders->setChecked(IniOptions.KeepFolders);
    connect(chkKeepFolders, &QCheckBox::toggled, this, [](bool on) { IniOptions.KeepFolders = on; });

    lblIfExists = new QLabel("If it exists:", this);
    lblIfExists->setGeometry(392, 530, 70, 24);
    cbbIfExists = new QComboBox(this);
    cbbIfExists->setGeometry(462, 530, 150, 24);
    for (const char* choice : workflow::IfExistsChoices) cbbIfExists->addItem(choice);
    cbbIfExists->setToolTip("What to do when an output file of the same name exists");
    cbbIfExists->setCurrentIndex(workflow::IfExistsOf(IniOptions.IfExists));
    lblIfExists->setBuddy(cbbIfExists);
    connect(cbbIfExists, &QComboBox::currentIndexChanged, this, [](int index) { IniOptions.IfExists = index; });

    actWatchFolder = new QAction("Watch folder...", this);
    actWatchFolder->setIconText("Watch folder...");
    actWatchFolder->setToolTip("Convert every file that arrives in a folder");
    connect(actWatchFolder, &QAction::triggered, this, [this] { RunAction("Watch folder...", [this] { WatchFolder(); }); });
    addAction(actWatchFolder);
    btnWatchFolder = ActionButton(actWatchFolder, "", QRect(325, 68, 95, 40), 16, this);
    pm1->addSeparator();
    pm1->addAction(actWatchFolder);
    // After the edit dialog has stored the trim and aspect (connected after its handler).
    connect(actEdit, &QAction::triggered, this, [this] { SaveList(); });
}

void TZelMainForm::RestoreList()
{
    if (FPlaces.SettingsFile.empty()) return;
    SavedList = std::make_unique<workflow::TSavedList>(std::filesystem::path(FPlaces.SettingsFile).parent_path().string());
    Converter->Journal = SavedList->Journal;
    SavedList->Restore(Converter->Files);
    for (const std::string& failure : SavedList->Recovered.Failures) ReportEscapedError("cleaning up", failure.c_str());
    for (int i = 0; i < Converter->Files.Count(); ++i) AppendRow(i);
    if (lvFileList->rowCount() > 0) lvFileList->selectRow(0);
    ShowOutcomes();
}

void TZelMainForm::SaveList()
{
    if (SavedList && !SavedList->Save(Converter->Files))
        ReportEscapedError("saving the file list", SavedList->LastError.c_str());
}

void TZelMainForm::ApplyOutputRules()
{
    Converter->Rules.KeepFolders = chkKeepFolders->isChecked();
    Converter->Rules.IfExists = workflow::IfExistsOf(cbbIfExists->currentIndex());
}

void TZelMainForm::WatchFolder()
{
    if (!WatchFolderForm) WatchFolderForm = new TWatchFolderForm(this);
    WatchFolderForm->show();
    WatchFolderForm->raise();
    WatchFolderForm->activateWindow();
}

}  // namespace kv::app
