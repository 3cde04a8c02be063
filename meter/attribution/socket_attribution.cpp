#include "socket_attribution.h"

#include "attribution_core.h"
#include "diag_channel.h"

namespace vexmora::meter {

namespace {

constexpr int kDefaultDestroyBufferBytes = 4 * 1024 * 1024;

} // namespace

struct SocketAttribution::Parts
{
    explicit Parts(const AttributionSources &sources) : core(sources) {}

    DiagChannel channel;
    AttributionCore core;
    int destroyBufferBytes = kDefaultDestroyBufferBytes;
};

SocketAttribution::SocketAttribution(AttributionSources sources)
    : d(std::make_unique<Parts>(sources))
{}

SocketAttribution::~SocketAttribution() = default;

void SocketAttribution::setDestroyBufferBytes(int bytes)
{
    d->destroyBufferBytes = bytes;
}

bool SocketAttribution::open(QString *error)
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
    d->core.start(baseline);
    return true;
}

int SocketAttribution::destroyNotificationFd() const
{
    return d->channel.destroyFd();
}

void SocketAttribution::readDestroyNotifications()
{
    DiagBatch destroyed;
    const quint64 overruns = d->channel.readDestroyed(destroyed);
    d->core.applyDestroyed(destroyed, overruns);
}

std::vector<ProcessTraffic> SocketAttribution::sample()
{
    readDestroyNotifications();
    DiagBatch dump;
    QString error;
    if (d->channel.dumpTcp(dump, &error))
        d->core.applyDump(dump);
    else
        d->core.noteDumpFailure(error);
    // Sockets that closed during the dump: their destroy messages settle them.
    readDestroyNotifications();
    return d->core.collect();
}

quint64 SocketAttribution::lostNotifications() const
{
    return d->core.overruns();
}

AttributionHealth SocketAttribution::health() const
{
    return d->core.health();
}

} // namespace vexmora::meter
