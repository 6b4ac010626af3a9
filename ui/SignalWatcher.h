#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the user-interface
// thread, through a signalfd. BlockStopSignals must run before any thread is
// started, so that every thread inherits the mask and no thread is
// interrupted by these signals.
class TSignalWatcher : public QObject {
    Q_OBJECT
public:
    static void BlockStopSignals();

    explicit TSignalWatcher(QObject* parent = nullptr);
    ~TSignalWatcher() override;

    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

Q_SIGNALS:
    void StopRequested(int signal);

private:
    int FFd = -1; // the signalfd, owned
    QSocketNotifier* FNotifier = nullptr;
};
