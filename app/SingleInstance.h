#pragma once
// One running application per user: a lock file in the user's runtime folder. The
// lock names its owner's process, so the lock of a crashed instance is taken over.
// Beside the lock the running instance listens on a local socket: a second start
// hands it the files it was given ("Open with" in a file manager) and ends.
#include <QLockFile>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;

namespace kv::app {

class TSingleInstance {
public:
    explicit TSingleInstance(const QString& lockFile = DefaultLockFile());
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // True when no other running instance holds the lock; this one then holds it
    // until it is destroyed.
    bool Acquire();
    // The instance that holds the lock: listens for second starts; `onPaths` runs on
    // this thread with the full paths each one handed over (empty: just come to the
    // front). False when the socket cannot be made.
    bool Listen(std::function<void(const QStringList&)> onPaths);
    // A second start: hands `paths` to the running instance; true once it has them.
    bool HandOver(const QStringList& paths, int timeoutMs = 5000) const;

    // "ZelKestravo.lock" in the user's runtime folder (the temporary folder when there is none).
    static QString DefaultLockFile();
    QString SocketName() const { return FSocketName; }

private:
    QLockFile FLock;
    QString FSocketName;
    QLocalServer* FServer = nullptr;
};

}  // namespace kv::app
