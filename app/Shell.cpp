#include "app/Shell.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include "workflow/ZelConvert.h"

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

bool TShell::Notify(const QString& summary, const QString& body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    // Application name, no notice to replace, icon, summary, body, no actions, no
    // hints, the server's own display time.
    call << QString::fromUtf8(workflow::ApplicationTitle) << 0u << QString("kestravo") << summary << body
         << QStringList() << QVariantMap() << -1;
    // Not waited for: a desktop without the service simply answers with an error nobody reads.
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
