// kestravo: the desktop application.
#include <QByteArray>

#include "app/Application.h"
#include "app/SingleInstance.h"

int main(int argc, char** argv)
{
    // The players draw into X windows: an X display, also under a Wayland desktop.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
    kv::app::TKestravoApplication app(argc, argv);
    kv::app::TSingleInstance instance;
    return kv::app::RunKestravo(instance);
}
