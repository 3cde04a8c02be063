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
    AttributionHealth health;
    QElapsedTimer sinceSweep;

    // Finishes the entries of sockets that ended unnoticed, once a minute:
    // they would hold their place in the kernel's map for ever.
    void sweepIfDue()
    {
        if (!sinceSweep.isValid() || !sinceSweep.hasExpired(kSweepIntervalMs))
            return;
        sinceSweep.start();
        QString error;
        const int stale = counters->finishVanished(finished, &error);
        if (stale > 0)
            health.staleEntries += quint64(stale);
        if (stale < 0) {
            ++health.failedReads;
            health.lastReadError = error;
        }
    }
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

SourceSample BpfSource::sample()
{
    readNotifications();
    d->live.clear();
    QString error;
    if (d->counters->readLive(d->live, &error)) {
        d->ledger.applyLive(d->live);
    } else {
        ++d->health.failedReads;
        d->health.lastReadError = error;
    }
    // Final counts of sockets that finished during the read come after it.
    readNotifications();
    d->sweepIfDue();
    d->ledger.applyFinished(d->finished);
    d->finished.clear();
    return d->ledger.take();
}

void BpfSource::ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const
{
    d->ledger.ownersInUse(inodes, pids);
}

bool BpfSource::recordedProgram(qint64 pid, QString *executable, QStringList *argv) const
{
    return pid > 0 && pid <= 0xffffffff &&
           d->counters->recordedExecution(quint32(pid), executable, argv);
}

void BpfSource::addHealth(AttributionHealth &health) const
{
    health.lostFinalCounts += d->counters->lostFinished();
    health.uncountedPackets += d->counters->uncountedPackets();
    health.vanishedSockets += d->ledger.vanishedSockets();
    health.staleEntries += d->health.staleEntries;
    health.failedReads += d->health.failedReads;
    if (!d->health.lastReadError.isEmpty())
        health.lastReadError = d->health.lastReadError;
    health.trackedSockets += d->ledger.trackedSockets();
}

} // namespace vexmora::meter
