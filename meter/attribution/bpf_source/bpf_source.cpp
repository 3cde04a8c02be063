#include "bpf_source.h"

#include "kernel_count_ledger.h"
#include "kernel_socket_counters.h"

#include <QDebug>
#include <QElapsedTimer>

namespace vexmora::meter {

namespace {

// How often the live entries are checked against the sockets that exist.
constexpr qint64 kSweepIntervalMs = 60'000;

} // namespace

struct BpfSource::Parts
{
    std::unique_ptr<KernelSocketCounters> counters;
    ExistingSockets listExisting;
    KernelCountLedger ledger;
    std::vector<KernelSocketCount> finished;
    std::vector<KernelSocketCount> live;
    quint64 staleEntries = 0;
    QElapsedTimer sinceSweep;
};

BpfSource::BpfSource(ExistingSockets existing)
    : BpfSource(std::make_unique<KernelSocketCounters>(), std::move(existing))
{}

BpfSource::BpfSource(std::unique_ptr<KernelSocketCounters> counters, ExistingSockets existing)
    : d(std::make_unique<Parts>())
{
    d->counters = std::move(counters);
    d->listExisting = std::move(existing);
}

BpfSource::~BpfSource() = default;

QString BpfSource::name() const
{
    return QStringLiteral("bpf");
}

bool BpfSource::open(QString *error)
{
    if (!d->counters->open(error))
        return false;
    QHash<quint64, quint32> existing;
    QString reason;
    if (!d->listExisting(existing, &reason))
        qWarning().noquote() << "The sockets older than the kernel programs are unattributed:"
                             << reason;
    d->ledger.setExisting(std::move(existing));
    d->sinceSweep.start();
    qInfo().noquote() << "The kernel programs record" << d->counters->processIds();
    for (const QString &lack : d->counters->kernelLacks())
        qInfo().noquote() << lack;
    return true;
}

int BpfSource::notificationFd() const
{
    return d->counters->finishedFd();
}

void BpfSource::readNotifications()
{
    d->counters->takeFinished(d->finished);
}

void BpfSource::wakeOnTraffic(bool on)
{
    d->counters->setReaderAsleep(on);
}

void BpfSource::setHostRoutes(const std::vector<RoutePrefix> &prefixes)
{
    QString error;
    const int left = d->counters->setHostRoutes(prefixes, &error);
    if (left < 0)
        qWarning().noquote() << "The containers' traffic to the host may be counted:" << error;
    else if (left > 0)
        qWarning("The containers' traffic to %d of the host's route prefixes may be counted: the "
                 "kernel programs hold no more of them.",
                 left);
}

bool BpfSource::readLive(QString *error)
{
    d->live.clear();
    if (!d->counters->readLive(d->live, error))
        return false;
    d->ledger.applyLive(d->live);
    return true;
}

SourceSample BpfSource::takeSample()
{
    sweepIfDue();
    d->ledger.applyFinished(d->finished);
    d->finished.clear();
    return d->ledger.take();
}

// Finishes the entries of sockets that ended unnoticed, once a minute: they
// would hold their place in the kernel's map for ever.
void BpfSource::sweepIfDue()
{
    if (!d->sinceSweep.isValid() || !d->sinceSweep.hasExpired(kSweepIntervalMs))
        return;
    d->sinceSweep.start();
    QString error;
    const int stale = d->counters->finishVanished(d->finished, &error);
    if (stale > 0)
        d->staleEntries += quint64(stale);
    if (stale < 0)
        noteFailedRead(error);
}

void BpfSource::ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const
{
    d->ledger.ownersInUse(inodes, pids);
}

bool BpfSource::recordedProgram(qint64 pid, RecordedProgram *program) const
{
    return pid > 0 && pid <= 0xffffffff &&
           d->counters->recordedExecution(quint32(pid), &program->executable, &program->argv,
                                          &program->cgroup);
}

void BpfSource::addOwnHealth(AttributionHealth &health) const
{
    health.lostFinalCounts += d->counters->lostFinished();
    health.uncountedPackets += d->counters->uncountedPackets();
    health.vanishedSockets += d->ledger.vanishedSockets();
    health.staleEntries += d->staleEntries;
    health.trackedSockets += d->ledger.trackedSockets();
}

} // namespace vexmora::meter
