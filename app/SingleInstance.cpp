#include "app/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

namespace kv::app {

TSingleInstance::TSingleInstance(const QString& lockFile) : FLock(lockFile)
{
    // A lock is stale only when its process is gone, never by its age: the first
    // instance may run for days.
    FLock.setStaleLockTime(0);
}

bool TSingleInstance::Acquire()
{
    return FLock.isLocked() || FLock.tryLock(0);
}

QString TSingleInstance::DefaultLockFile()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    return folder + "/ZelKestravo.lock";
}

}  // namespace kv::app
