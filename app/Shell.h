#pragma once
// What the application asks of the desktop around it: show a folder in the file
// manager, open a web address, power the computer off. One replaceable object:
// tests install a recorder, so that no test opens a window of another program or
// turns a machine off. Further requests of the desktop belong here too.
#include <QString>

namespace kv::app {

class TShell {
public:
    virtual ~TShell() = default;
    // Opens the folder in the desktop's file manager; false when none could be asked.
    virtual bool OpenFolder(const QString& path);
    // Opens the address in the desktop's web browser.
    virtual bool OpenUrl(const QString& url);
    // Asks the login manager to power the computer off now. Failure is not reported
    // to the user; the return value says whether the request was sent.
    virtual bool PowerOff();
};

// The shell in use: the real desktop unless a test installed its own.
TShell& Shell();
// Installs `shell` (not owned; null restores the real one).
void SetShell(TShell* shell);

}  // namespace kv::app
