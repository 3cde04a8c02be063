#include "socket_table_source.h"

#include "diag_channel.h"
#include "socket_ledger.h"

namespace vexmora::meter {

namespace {

constexpr int kDefaultDestroyBufferBytes = 4 * 1024 * 1024;

} // namespace

struct SocketTableSource::Parts
{
    Parts() : ledger(local) {}

    void count(const DiagBatch &batch)
    {
        health.malformedMessages += batch.malformed;
        for (const DiagSocket &socket : batch.sockets)
            health.socketsWithoutCounters += socket.hasCounters ? 0 : 1;
    }
    void applyDump(const DiagBatch &dump)
    {
        count(dump);
        local.expire();
        ledger.applyDump(dump.sockets);
    }

    DiagChannel channel;
    LocalAddresses local;
    SocketLedger ledger;
    AttributionHealth health;
    int destroyBufferBytes = kDefaultDestroyBufferBytes;
};

SocketTableSource::SocketTableSource() : d(std::make_unique<Parts>()) {}

SocketTableSource::~SocketTableSource() = default;

void SocketTableSource::setDestroyBufferBytes(int bytes)
{
    d->destroyBufferBytes = bytes;
}

QString SocketTableSource::name() const
{
    return QStringLiteral("socket-table");
}

bool SocketTableSource::open(QString *error)
{
    DiagBatch baseline;
    QString reason;
    if (!d->channel.open(d->destroyBufferBytes, &reason) ||
        !d->channel.dumpTcp(baseline, &reason)) {
        d->channel.close();
        if (error)
            *error = reason;
        return false;
    }
    d->applyDump(baseline);
    return true;
}

int SocketTableSource::notificationFd() const
{
    return d->channel.destroyFd();
}

void SocketTableSource::readNotifications()
{
    DiagBatch destroyed;
    d->health.lostFinalCounts += d->channel.readDestroyed(destroyed);
    d->count(destroyed);
    for (const DiagSocket &socket : destroyed.sockets)
        d->ledger.applyDestroy(socket);
}

bool SocketTableSource::readLive(QString *error)
{
    DiagBatch dump;
    if (!d->channel.dumpTcp(dump, error))
        return false;
    d->applyDump(dump);
    return true;
}

SourceSample SocketTableSource::takeSample()
{
    SourceSample sample;
    for (quint32 inode : d->ledger.takeNewInodes())
        sample.newOwners.push_back(SocketOwner{0, inode, {}});
    sample.bytes = d->ledger.takeBytes();
    sample.ownersReleased = d->ledger.takeOwnersReleased();
    return sample;
}

void SocketTableSource::ownersInUse(QSet<quint32> &inodes, QSet<qint64> &) const
{
    inodes += d->ledger.ownerInodes();
}

QString SocketTableSource::finalCountsRemedy() const
{
    return QStringLiteral("A larger net.core.rmem_max makes room.");
}

void SocketTableSource::addOwnHealth(AttributionHealth &health) const
{
    health.lostFinalCounts += d->health.lostFinalCounts;
    health.malformedMessages += d->health.malformedMessages;
    health.socketsWithoutCounters += d->health.socketsWithoutCounters;
    health.vanishedSockets += d->ledger.vanishedSockets();
    health.trackedSockets += d->ledger.trackedSockets();
}

} // namespace vexmora::meter
