#include "app/Shell.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QUrl>

namespace kv::app {

namespace {

TShell RealShell;
TShell* Current = &RealShell;

}  // namespace

bool TShell::OpenFolder(const QString& path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

bool TShell::OpenUrl(const QString& url)
{
    return QDesktopServices::openUrl(QUrl(url));
}

bool TShell::PowerOff()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                       "org.freedesktop.login1.Manager", "PowerOff");
    // Not interactive: no password prompt of the login manager's own.
    call << false;
    // Sent without waiting: the computer is going down, nobody waits for the answer.
    return bus.send(call);
}

TShell& Shell()
{
    return *Current;
}

void SetShell(TShell* shell)
{
    Current = shell ? shell : &RealShell;
}

}  // namespace kv::app
