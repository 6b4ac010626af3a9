#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QByteArray RestoreRequest = "restore\n";
const QByteArray RestoreAnswer = "restored\n";

} // namespace

TSingleInstance::TSingleInstance(QObject* parent) : QObject(parent) {}

TSingleInstance::~TSingleInstance() {
    if (FServer != nullptr) {
        FServer->close(); // removes the socket file
    }
    if (FLockFd >= 0) {
        close(FLockFd);
    }
}

QString TSingleInstance::Folder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QString("/tmp") : runtime;
}

bool TSingleInstance::Acquire() {
    const QByteArray lockPath = QString(Folder() + "/" + Name + ".lock").toLocal8Bit();
    FLockFd = open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (FLockFd >= 0 && flock(FLockFd, LOCK_EX | LOCK_NB) != 0) {
        close(FLockFd);
        FLockFd = -1;
        AskRunningInstance();
        return false;
    }
    // Without a lock file (a folder we cannot write) the socket alone decides.
    if (FLockFd < 0 && AskRunningInstance()) {
        return false;
    }
    Serve();
    return true;
}

bool TSingleInstance::AskRunningInstance() {
    // The running instance may still be starting: give it a few seconds to listen.
    const QDeadlineTimer deadline(5000);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(SocketPath());
        if (socket.waitForConnected(500)) {
            break;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(100);
    }
    socket.write(RestoreRequest);
    socket.waitForBytesWritten(1000);
    // Waits until the restore has been handled, as a sent window message would.
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1000)))) {
        answer += socket.readAll();
    }
    socket.disconnectFromServer();
    return true;
}

void TSingleInstance::Serve() {
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(SocketPath()); // left behind by a crashed instance
    FServer->listen(SocketPath());
    connect(FServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = FServer->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (!client->canReadLine()) {
                    return;
                }
                if (client->readLine() == RestoreRequest) {
                    Q_EMIT RestoreRequested();
                    client->write(RestoreAnswer);
                    client->flush();
                }
                client->disconnectFromServer();
            });
        }
    });
}
