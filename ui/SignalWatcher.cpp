#include "SignalWatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&set, sig);
    }
    return set;
}

} // namespace

void TSignalWatcher::BlockStopSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalWatcher::TSignalWatcher(QObject* parent) : QObject(parent) {
    const sigset_t set = StopSignals();
    FFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (FFd < 0) {
        return;
    }
    FNotifier = new QSocketNotifier(FFd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] {
        signalfd_siginfo info{};
        while (read(FFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            Q_EMIT StopRequested(static_cast<int>(info.ssi_signo));
        }
    });
}

TSignalWatcher::~TSignalWatcher() {
    delete FNotifier;
    if (FFd >= 0) {
        close(FFd);
    }
}
