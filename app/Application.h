#pragma once
// The application's start: one instance per user, the main window, the message loop.
#include <QApplication>

namespace kv::app {

class TSingleInstance;

// The application object. An error that escapes an event handler ends that handler
// without a message and is written to standard error.
class TKestravoApplication : public QApplication {
public:
    TKestravoApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// True when this is the only instance; otherwise tells the user that the
// application is already running and returns false (the process then ends with 0).
bool CheckSingleInstance(TSingleInstance& instance);

// Start-up once the application object exists; returns the exit status.
int RunKestravo(TSingleInstance& instance);

}  // namespace kv::app
