#pragma once
// The snapshot options: the folder snapshots are saved in, their picture format and
// how they are named. The settings change only when the dialog closes with OK.
#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kv::app {

class TSnapShotForm : public QDialog {
public:
    explicit TSnapShotForm(QWidget* parent = nullptr);

    void done(int result) override;

    QLabel* lblSnapShotFolder;
    QLineEdit* edtSnapShotFolder;
    QLabel* lblSnapShotFormat;
    QComboBox* cbbSnapShotFormat;
    QLabel* lblSnapShotName;
    QRadioButton* rbFileName;
    QRadioButton* rbTime;
    QPushButton* btnOK;
    QPushButton* btnCancel;

private:
    void ChooseFolder();
};

}  // namespace kv::app
