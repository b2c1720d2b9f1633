#include "app/Application.h"

#include <QFont>

#include <exception>

#include "app/ActionGuard.h"
#include "app/Pictures.h"
#include "app/Prompter.h"
#include "app/SingleInstance.h"
#include "app/ZelMainFrm.h"
#include "workflow/ZelConvert.h"

namespace kv::app {

TKestravoApplication::TKestravoApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName("kestravo");
    setWindowIcon(PictureIcon("Kestravo.png"));
    // The windows have fixed sizes: their text keeps one size whatever the desktop's font.
    QFont text = font();
    text.setPixelSize(12);
    setFont(text);
}

bool TKestravoApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportEscapedError("event", e.what());
    } catch (...) {
        ReportEscapedError("event", "unknown error");
    }
    return false;
}

bool CheckSingleInstance(TSingleInstance& instance)
{
    if (instance.Acquire()) return true;
    Prompter().Message(nullptr, QMessageBox::Warning,
                       QString("%1 is currently running!").arg(QString::fromUtf8(workflow::ApplicationTitle)));
    return false;
}

int RunKestravo(TSingleInstance& instance)
{
    if (!CheckSingleInstance(instance)) return 0;
    TZelMainForm window;
    if (!window.InitEngine()) return 1;
    window.show();
    return QApplication::exec();
}

}  // namespace kv::app
