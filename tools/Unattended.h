#pragma once
// Stand-ins for the user and the desktop in the programs that drive the windows
// unattended (the screenshots, the UI-stall benchmark): every question is answered
// yes, every message is printed and taken as read, nothing is opened, powered off
// or notified.
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

#include "app/Prompter.h"
#include "app/Shell.h"
#include "app/ZelMainFrm.h"

namespace kv::tools {

class TUnattendedPrompter : public app::TPrompter {
public:
    QMessageBox::StandardButton Message(QWidget*, QMessageBox::Icon, const QString& text,
                                        QMessageBox::StandardButtons buttons) override
    {
        std::printf("message: %s\n", qPrintable(text));
        return buttons & QMessageBox::Yes ? QMessageBox::Yes : QMessageBox::Ok;
    }
    QStringList ChooseFiles(QWidget*, const QStringList&, const QString&) override { return {}; }
    QString ChooseFolder(QWidget*, const QString&, const QString&) override { return {}; }
};

class TUnattendedShell : public app::TShell {
public:
    bool OpenFolder(const QString&) override { return true; }
    bool OpenUrl(const QString&) override { return true; }
    bool PowerOff() override { return false; }
    bool Notify(const QString&, const QString&) override { return false; }
};

// Both, installed for the life of the object.
class TUnattended {
public:
    TUnattended()
    {
        app::SetPrompter(&FPrompter);
        app::SetShell(&FShell);
    }
    ~TUnattended()
    {
        app::SetPrompter(nullptr);
        app::SetShell(nullptr);
    }
    TUnattended(const TUnattended&) = delete;
    TUnattended& operator=(const TUnattended&) = delete;

private:
    TUnattendedPrompter FPrompter;
    TUnattendedShell FShell;
};

// The places of a main window driven unattended: its settings file a copy of
// `catalogue` (which stays as it is) and its default output folder, both in `work`.
inline app::TAppPlaces ScratchPlaces(const QTemporaryDir& work, const QString& catalogue)
{
    app::TAppPlaces places;
    places.SettingsFile = (work.path() + "/kestravo.ini").toStdString();
    places.DefaultOutputFolder = (work.path() + "/out").toStdString();
    QFile::copy(catalogue, QString::fromStdString(places.SettingsFile));
    return places;
}

}  // namespace kv::tools
