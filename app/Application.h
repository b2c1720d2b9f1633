#pragma once
// The application's start: one instance per user, the main window, the message loop.
#include <QApplication>
#include <QStringList>

#include <memory>

#include "app/ZelMainFrm.h"

namespace kv::app {

class TSingleInstance;

// The application object. An error that escapes an event handler ends that handler
// without a message and is written to standard error.
class TKestravoApplication : public QApplication {
public:
    TKestravoApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// True when this is the only instance; otherwise hands `paths` to the running one
// (which comes to the front) or, when it cannot be reached, tells the user that the
// application is already running, and returns false (the process then ends with 0).
bool CheckSingleInstance(TSingleInstance& instance, const QStringList& paths = QStringList());

// The running instance takes the files of second starts into `window`.
void ServeSecondStarts(TSingleInstance& instance, TZelMainForm* window);

// The files and folders named on the command line ("Open with" of a file manager),
// with their full paths.
QStringList CommandLinePaths(const QStringList& arguments);

// The main window, shown, with `paths` added as a drop adds them; null when the media
// libraries cannot be loaded (the user was told).
std::unique_ptr<TZelMainForm> OpenMainWindow(const QStringList& paths, const TAppPlaces& places = TAppPlaces());

// Start-up once the application object exists: a second instance hands its files to
// the first and ends. The first serves later starts and ends on SIGTERM, SIGHUP and
// SIGINT as on closing its window. Returns the exit status.
int RunKestravo(TSingleInstance& instance, const QStringList& paths, const TAppPlaces& places = TAppPlaces());

}  // namespace kv::app
