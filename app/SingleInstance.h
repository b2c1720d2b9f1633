#pragma once
// One running application per user: a lock file in the user's runtime folder. The
// lock names its owner's process, so the lock of a crashed instance is taken over.
#include <QLockFile>
#include <QString>

namespace kv::app {

class TSingleInstance {
public:
    explicit TSingleInstance(const QString& lockFile = DefaultLockFile());
    // True when no other running instance holds the lock; this one then holds it
    // until it is destroyed.
    bool Acquire();
    // "ZelKestravo.lock" in the user's runtime folder (the temporary folder when there is none).
    static QString DefaultLockFile();

private:
    QLockFile FLock;
};

}  // namespace kv::app
