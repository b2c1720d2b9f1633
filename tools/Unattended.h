#pragma once
// Stand-ins for the user and the desktop in the programs that drive the windows
// unattended (the screenshots, the UI-stall benchmark): every question is answered
// yes, every message is printed and taken as read, nothing is opened or powered off.
#include <cstdio>

#include "app/Prompter.h"
#include "app/Shell.h"

namespace kv::tools {

class TUnattendedPrompter : public app::TPrompter {
public:
    QMessageBox::StandardButton Message(QWidget*, QMessageBox::Icon, const QString& text,
                                        QMessageBox::StandardButtons buttons) override
    {
        std::printf("message: %s\n", qPrintable(text));
        return buttons & QMessageBox::Yes ? QMessageBox::Yes : QMessageBox::Ok;
    }
    QStringList ChooseFiles(QWidget*, const QStringList&) override { return {}; }
    QString ChooseFolder(QWidget*, const QString&, const QString&) override { return {}; }
};

class TUnattendedShell : public app::TShell {
public:
    bool OpenFolder(const QString&) override { return true; }
    bool OpenUrl(const QString&) override { return true; }
    bool PowerOff() override { return false; }
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

}  // namespace kv::tools
