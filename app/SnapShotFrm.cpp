#include "app/SnapShotFrm.h"

#include <QAction>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

#include "app/ActionGuard.h"
#include "app/Pictures.h"
#include "app/Prompter.h"
#include "workflow/IniOptions.h"

namespace kv::app {

using workflow::IniOptions;

TSnapShotForm::TSnapShotForm(QWidget* parent) : QDialog(parent)
{
    setWindowTitle("Snapshot Options");
    setFixedSize(394, 189);

    lblSnapShotFolder = new QLabel("Snapshot Folder:", this);
    lblSnapShotFolder->setGeometry(16, 18, 110, 24);
    edtSnapShotFolder = new QLineEdit(this);
    edtSnapShotFolder->setGeometry(128, 18, 250, 24);
    edtSnapShotFolder->setMaxLength(255);
    QAction* choose = edtSnapShotFolder->addAction(PictureIcon("Open.png"), QLineEdit::TrailingPosition);
    choose->setToolTip("Choose the snapshot folder");
    connect(choose, &QAction::triggered, this, [this] { RunAction("Snapshot Folder", [this] { ChooseFolder(); }); });
    lblSnapShotFolder->setBuddy(edtSnapShotFolder);

    lblSnapShotFormat = new QLabel("Snapshot Format:", this);
    lblSnapShotFormat->setGeometry(16, 54, 110, 24);
    cbbSnapShotFormat = new QComboBox(this);
    cbbSnapShotFormat->setGeometry(128, 54, 250, 24);
    cbbSnapShotFormat->addItem("JPEG image (*.jpg)");
    cbbSnapShotFormat->addItem("BMP image (*.bmp)");
    lblSnapShotFormat->setBuddy(cbbSnapShotFormat);

    lblSnapShotName = new QLabel("Snapshot Name:", this);
    lblSnapShotName->setGeometry(16, 90, 110, 24);
    rbFileName = new QRadioButton("The name of the file", this);
    rbFileName->setGeometry(128, 90, 250, 22);
    rbTime = new QRadioButton("The time of the snapshot", this);
    rbTime->setGeometry(128, 114, 250, 22);
    auto* names = new QButtonGroup(this);
    names->addButton(rbFileName, 0);
    names->addButton(rbTime, 1);

    btnOK = new QPushButton("&OK", this);
    btnOK->setGeometry(206, 150, 80, 28);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    btnCancel = new QPushButton("&Cancel", this);
    btnCancel->setGeometry(298, 150, 80, 28);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    const int format = IniOptions.SnapshotFormat;
    cbbSnapShotFormat->setCurrentIndex(format >= 0 && format < cbbSnapShotFormat->count() ? format : -1);
    edtSnapShotFolder->setText(QString::fromStdString(IniOptions.SnapshotFolder));
    rbFileName->setChecked(IniOptions.SnapshotNaming == 0);
    rbTime->setChecked(IniOptions.SnapshotNaming == 1);
}

void TSnapShotForm::done(int result)
{
    if (result == QDialog::Accepted) {
        // A format box left without a choice stores JPEG, which the snapshot saves for it anyway.
        IniOptions.SnapshotFormat = std::max(0, cbbSnapShotFormat->currentIndex());
        IniOptions.SnapshotFolder = edtSnapShotFolder->text().toStdString();
        IniOptions.SnapshotNaming = rbFileName->isChecked() ? 0 : 1;
    }
    QDialog::done(result);
}

void TSnapShotForm::ChooseFolder()
{
    const QString folder = Prompter().ChooseFolder(this, "Select the Snapshot Folder", edtSnapShotFolder->text());
    if (!folder.isEmpty()) edtSnapShotFolder->setText(folder);
}

}  // namespace kv::app
