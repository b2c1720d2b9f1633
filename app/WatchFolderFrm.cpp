#include "app/WatchFolderFrm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <string>

#include "app/Prompter.h"
#include "app/ZelMainFrm.h"
#include "workflow/IniOptions.h"

namespace kv::app {

TWatchFolderForm::TWatchFolderForm(TZelMainForm* owner) : QDialog(owner), FOwner(owner)
{
    setWindowTitle("Watch folder");
    edtFolder = new QLineEdit(this);
    edtFolder->setToolTip("The folder whose new files are converted (its sub-folders too)");
    btnChooseFolder = new QToolButton(this);
    btnChooseFolder->setText("...");
    btnChooseFolder->setToolTip("Choose the folder to watch");
    connect(btnChooseFolder, &QToolButton::clicked, this, [this] {
        const QString folder = Prompter().ChooseFolder(this, "Select the folder to watch", edtFolder->text().isEmpty() ? QDir::homePath() : edtFolder->text());
        if (!folder.isEmpty()) SetFolder(folder);
    });
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(edtFolder, 1);
    folderRow->addWidget(btnChooseFolder);

    cbbProfile = new QComboBox(this);
    for (int i = 0; i < workflow::IniOptions.FormatCount && i < static_cast<int>(workflow::IniOptions.Formats.size()); ++i)
        cbbProfile->addItem(QString::fromStdString(workflow::IniOptions.Formats[static_cast<std::size_t>(i)].Name));
    cbbProfile->setCurrentIndex(FOwner->SelectedProfile());

    chkWatching = new QCheckBox("Watch this folder", this);
    chkWatching->setToolTip("Converts into the output folder of the main window while this is on");
    connect(chkWatching, &QCheckBox::toggled, this, [this](bool on) {
        if (on != Watching() && !SetWatching(on)) {
            const QSignalBlocker block(chkWatching);
            chkWatching->setChecked(false);
        }
    });

    memLines = new QPlainTextEdit(this);
    memLines->setReadOnly(true);
    memLines->setMaximumBlockCount(500);

    auto* form = new QFormLayout;
    form->addRow("Folder:", folderRow);
    form->addRow("Profile:", cbbProfile);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(chkWatching);
    layout->addWidget(memLines, 1);
    resize(520, 320);
}

TWatchFolderForm::~TWatchFolderForm()
{
    // The watch cancels a running file and waits for it; nothing half-written stays.
    FWatch.reset();
}

void TWatchFolderForm::SetFolder(const QString& folder)
{
    edtFolder->setText(folder);
}

workflow::TWatchSettings TWatchFolderForm::Settings() const
{
    workflow::TWatchSettings s;
    s.Folder = edtFolder->text().toStdString();
    s.Output = FOwner->edtOutputFolder->text().toStdString();
    s.Profile = cbbProfile->currentIndex();
    s.Rules.KeepFolders = FOwner->chkKeepFolders->isChecked();
    s.Rules.IfExists = workflow::IfExistsOf(FOwner->cbbIfExists->currentIndex());
    s.Jobs = FOwner->spnJobs->value();
    return s;
}

bool TWatchFolderForm::SetWatching(bool on)
{
    if (!on) {
        if (FWatch) {
            // Destroying the watch cancels its running file at once.
            FWatch.reset();
            AddLine("Stopped watching.");
        }
        const QSignalBlocker block(chkWatching);
        chkWatching->setChecked(false);
        edtFolder->setEnabled(true);
        cbbProfile->setEnabled(true);
        btnChooseFolder->setEnabled(true);
        return true;
    }
    auto watch = std::make_unique<workflow::TFolderWatch>(Settings());
    watch->OnLine = [this](const std::string& line) { AddLine(QString::fromStdString(line)); };
    std::string error;
    if (!watch->Start(error)) {
        Prompter().Message(this, QMessageBox::Warning, QString::fromStdString(error));
        return false;
    }
    FWatch = std::move(watch);
    const QSignalBlocker block(chkWatching);
    chkWatching->setChecked(true);
    edtFolder->setEnabled(false);
    cbbProfile->setEnabled(false);
    btnChooseFolder->setEnabled(false);
    return true;
}

void TWatchFolderForm::AddLine(const QString& line)
{
    memLines->appendPlainText(line);
}

}  // namespace kv::app
