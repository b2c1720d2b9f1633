#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <memory>

namespace kv::app {

namespace {

// One path a line, the message ending with an empty line; the running instance
// answers "ok" once it has them all.
const QByteArray EndOfPaths = "\n\n";
const QByteArray Received = "ok\n";
// A message larger than this is no list of files somebody chose.
constexpr qint64 MaxMessage = 16 * 1024 * 1024;

QByteArray Message(const QStringList& paths)
{
    QByteArray message;
    for (const QString& path : paths)
        // A name with a line break in it would split into two: it cannot be handed over.
        if (!path.contains('\n')) message += path.toUtf8() + '\n';
    if (message.isEmpty()) message = "\n";
    return message + '\n';
}

QStringList Paths(const QByteArray& message)
{
    QStringList paths;
    for (const QByteArray& line : message.split('\n'))
        if (!line.isEmpty()) paths << QString::fromUtf8(line);
    return paths;
}

}  // namespace

TSingleInstance::TSingleInstance(const QString& lockFile) : FLock(lockFile), FSocketName(lockFile + ".socket")
{
    // A lock is stale only when its process is gone, never by its age: the first
    // instance may run for days.
    FLock.setStaleLockTime(0);
}

TSingleInstance::~TSingleInstance()
{
    delete FServer;
}

bool TSingleInstance::Acquire()
{
    return FLock.isLocked() || FLock.tryLock(0);
}

bool TSingleInstance::Listen(std::function<void(const QStringList&)> onPaths)
{
    if (!Acquire()) return false;
    delete FServer;
    FServer = new QLocalServer;
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock, any socket left there is a crashed instance's.
    QLocalServer::removeServer(FSocketName);
    if (!FServer->listen(FSocketName)) return false;
    QObject::connect(FServer, &QLocalServer::newConnection, FServer, [server = FServer, onPaths] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            auto message = std::make_shared<QByteArray>();
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, message, onPaths] {
                *message += socket->readAll();
                if (message->size() > MaxMessage) {
                    socket->abort();
                    return;
                }
                if (!message->endsWith(EndOfPaths)) return;
                const QStringList paths = Paths(*message);
                message->clear();
                socket->write(Received);
                socket->flush();
                if (onPaths) onPaths(paths);
            });
        }
    });
    return true;
}

bool TSingleInstance::HandOver(const QStringList& paths, int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(FSocketName);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(Message(paths));
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    QByteArray answer;
    while (!answer.contains('\n')) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
        answer += socket.readAll();
    }
    return answer == Received;
}

QString TSingleInstance::DefaultLockFile()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    return folder + "/ZelKestravo.lock";
}

}  // namespace kv::app
