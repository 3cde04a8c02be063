#include "stop_signals.h"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace vexmora::meter {
namespace {

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void blockStopSignals()
{
    const sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    const sigset_t set = stopSignalSet();
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, &StopSignals::readSignal);
    }
}

StopSignals::~StopSignals()
{
    notifier_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void StopSignals::readSignal()
{
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == ssize_t(sizeof info)) {
        Q_EMIT received(int(info.ssi_signo));
    }
}

} // namespace vexmora::meter
