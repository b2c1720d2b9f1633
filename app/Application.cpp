#include "app/Application.h"

#include <QFileInfo>
#include <QFont>
#include <QTimer>

#include <exception>

#include "app/ActionGuard.h"
#include "app/EndSignals.h"
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
    // Matches the desktop entry: the desktop shows the entry's icon and name for the window.
    setDesktopFileName("kestravo");
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

bool CheckSingleInstance(TSingleInstance& instance, const QStringList& paths)
{
    if (instance.Acquire()) return true;
    // The running instance takes the files and comes to the front; the warning is
    // left for when it cannot be reached.
    if (instance.HandOver(paths)) return false;
    Prompter().Message(nullptr, QMessageBox::Warning,
                       QString("%1 is currently running!").arg(QString::fromUtf8(workflow::ApplicationTitle)));
    return false;
}

QStringList CommandLinePaths(const QStringList& arguments)
{
    QStringList paths;
    // Qt has taken its own options out already; the first argument is the program.
    for (const QString& argument : arguments.mid(1)) paths << QFileInfo(argument).absoluteFilePath();
    return paths;
}

std::unique_ptr<TZelMainForm> OpenMainWindow(const QStringList& paths, const TAppPlaces& places)
{
    auto window = std::make_unique<TZelMainForm>(places);
    if (!window->InitEngine()) return nullptr;
    window->show();
    window->AddPaths(paths);
    return window;
}

void ServeSecondStarts(TSingleInstance& instance, TZelMainForm* window)
{
    const bool listening = instance.Listen([window](const QStringList& handed) {
        // After the socket's handler: adding may ask the user something.
        QTimer::singleShot(0, window, [window, handed] { window->ReceiveHandedPaths(handed); });
    });
    if (!listening) ReportEscapedError("listening for second starts", instance.SocketName().toLocal8Bit().constData());
}

int RunKestravo(TSingleInstance& instance, const QStringList& paths, const TAppPlaces& places)
{
    if (!CheckSingleInstance(instance, paths)) return 0;
    const std::unique_ptr<TZelMainForm> window = OpenMainWindow(paths, places);
    if (!window) return 1;
    ServeSecondStarts(instance, window.get());
    const TEndSignals ends([w = window.get()] { w->EndApplication(); });
    return QApplication::exec();
}

}  // namespace kv::app
