// kestravo: the desktop application.
#include "app/Application.h"
#include "app/SingleInstance.h"
#include "app/host/PlayerHostWidget.h"

int main(int argc, char** argv)
{
    kv::app::PreferX11Platform();
    kv::app::TKestravoApplication app(argc, argv);
    kv::app::TSingleInstance instance;
    return kv::app::RunKestravo(instance, kv::app::CommandLinePaths(QApplication::arguments()));
}
