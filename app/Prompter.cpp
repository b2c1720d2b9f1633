#include "app/Prompter.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QSpacerItem>

#include "workflow/ZelConvert.h"

namespace kv::app {

namespace {

constexpr int MinimumMessageWidth = 360;

TPrompter RealPrompter;
TPrompter* Current = &RealPrompter;

}  // namespace

QMessageBox::StandardButton TPrompter::Message(QWidget* owner, QMessageBox::Icon icon, const QString& text,
                                               QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, QString::fromUtf8(workflow::ApplicationTitle), text, buttons, owner);
    // Wide enough that the window manager shows the whole title over a short text.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(MinimumMessageWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(),
                      0, 1, grid->columnCount());
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QStringList TPrompter::ChooseFiles(QWidget* owner, const QStringList& filters, const QString& start)
{
    QFileDialog dialog(owner);
    if (!start.isEmpty()) dialog.setDirectory(start);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(filters);
    if (!filters.isEmpty()) dialog.selectNameFilter(filters.front());
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

QString TPrompter::ChooseFolder(QWidget* owner, const QString& caption, const QString& start)
{
    return QFileDialog::getExistingDirectory(owner, caption, start, QFileDialog::ShowDirsOnly);
}

TPrompter& Prompter()
{
    return *Current;
}

void SetPrompter(TPrompter* prompter)
{
    Current = prompter ? prompter : &RealPrompter;
}

bool Ask(QWidget* owner, const QString& text)
{
    return Prompter().Message(owner, QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

}  // namespace kv::app
