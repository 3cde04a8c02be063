#include "bpf_source.h"

#include "kernel_count_ledger.h"
#include "kernel_socket_counters.h"

#include <QDebug>

namespace vexmora::meter {

struct BpfSource::Parts
{
    std::unique_ptr<KernelSocketCounters> counters;
    ExistingSockets listExisting;
    KernelCountLedger ledger;
    std::vector<KernelSocketCount> finished;
    std::vector<KernelSocketCount> live;
    AttributionHealth health;
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
    qInfo().noquote() << "The kernel programs record" << d->counters->processIds();
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
    d->ledger.applyFinished(d->finished);
    d->finished.clear();
    return d->ledger.take();
}

void BpfSource::ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const
{
    d->ledger.ownersInUse(inodes, pids);
}

void BpfSource::addHealth(AttributionHealth &health) const
{
    health.lostFinalCounts += d->counters->lostFinished();
    health.uncountedPackets += d->counters->uncountedPackets();
    health.vanishedSockets += d->ledger.vanishedSockets();
    health.failedReads += d->health.failedReads;
    if (!d->health.lastReadError.isEmpty())
        health.lastReadError = d->health.lastReadError;
    health.trackedSockets += d->ledger.trackedSockets();
}

} // namespace vexmora::meter
