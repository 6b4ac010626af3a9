#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// Makes sure that one instance of the program runs per user session. The first
// start holds a lock file and serves a local socket; a later start finds the
// lock taken, asks the running instance through the socket to restore its
// window and ends. The kernel drops the lock of a crashed instance, and its
// stale socket is replaced, so neither blocks a new start.
//
// Both live in $XDG_RUNTIME_DIR (else /tmp), named com.pelorand.rudazodudad.
class TSingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr const char* Name = "com.pelorand.rudazodudad";

    explicit TSingleInstance(QObject* parent = nullptr);
    ~TSingleInstance() override;

    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // True when this process is now the running instance. False when another
    // one runs: it has then been asked to restore itself (and has answered, or
    // a few seconds have passed).
    bool Acquire();

    static QString Folder();
    static QString SocketPath() { return Folder() + "/" + Name; }

Q_SIGNALS:
    // Another start asked for the window; answered once the handlers have run.
    void RestoreRequested();

private:
    static bool AskRunningInstance();
    void Serve();

    int FLockFd = -1; // flock()ed for the life of this object
    QLocalServer* FServer = nullptr;
};
