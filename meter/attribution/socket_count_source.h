#pragma once

#include "attribution_types.h"
#include "program_facts.h"
#include "socket_record.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <vector>

namespace vexmora::meter {

// What a source saw since its previous sample.
struct SourceSample
{
    // Owners of sockets first seen: looked up at once, while they surely run.
    std::vector<SocketOwner> newOwners;
    std::vector<SocketBytes> bytes;
    // Some owner may no longer be referenced: ownersInUse() tells which are.
    bool ownersReleased = false;
};

// One way of counting each socket's traffic: the kernel's per-socket counters
// read from its socket table, or counts kept by programs in the kernel as the
// packets pass. The caller turns owners into processes and applications; a
// source knows sockets and counts only, in the network namespace of the
// thread that opens it.
class SocketCountSource
{
public:
    virtual ~SocketCountSource() = default;

    // The name the meter reports ("bpf", "socket-table").
    virtual QString name() const = 0;
    // Counting starts here; the first sample() is the baseline. False with the
    // reason when this source cannot run on this host.
    virtual bool open(QString *error) = 0;
    // Watched with a QSocketNotifier: final counts of closed sockets wait
    // there between samples; -1 when there is nothing to watch.
    virtual int notificationFd() const = 0;
    virtual void readNotifications() = 0;
    // While on, the first traffic the source counts makes notificationFd()
    // readable at once (the meter sleeps while nothing moves); a source
    // that cannot tell does nothing.
    virtual void wakeOnTraffic(bool on) { Q_UNUSED(on); }
    // Whether wakeOnTraffic() works: a source that cannot wake the meter
    // must be sampled at the configured interval, or a connection that
    // opens and closes while it sleeps is never seen.
    virtual bool wakesOnTraffic() const { return false; }
    // The host's routes, whenever they change: where a container's traffic
    // crosses a counted interface. A source that counts no container ignores
    // them.
    virtual void setHostRoutes(const std::vector<RoutePrefix> &prefixes) { Q_UNUSED(prefixes) }
    virtual SourceSample sample() = 0;
    virtual void ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const = 0;
    // Its counts of what it lost, skipped or tracks.
    virtual void addHealth(AttributionHealth &health) const = 0;
    // What an administrator can do about lost final counts, for the warning
    // that says they were lost; empty when nothing helps.
    virtual QString finalCountsRemedy() const { return {}; }
    // What the process executed, where the source saw it execute. False when
    // the source cannot tell.
    virtual bool recordedProgram(qint64 pid, RecordedProgram *program) const
    {
        Q_UNUSED(pid)
        Q_UNUSED(program)
        return false;
    }
};

} // namespace vexmora::meter
