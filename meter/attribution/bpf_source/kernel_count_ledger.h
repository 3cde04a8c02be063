#pragma once

#include "kernel_socket_counters.h"
#include "socket_count_source.h"

#include <QHash>
#include <QPair>
#include <vector>

namespace vexmora::meter {

// Turns the kernel programs' running counts per socket into increments and
// owners: a socket's owner is the process the programs recorded, or, for a
// socket older than the programs (no process recorded), the holder of the
// inode that a listing at the start gave for its cookie.
class KernelCountLedger
{
public:
    // cookie -> inode of the sockets that existed when the programs loaded.
    void setExisting(QHash<quint64, quint32> inodes) { existing_ = std::move(inodes); }
    // One read of the live sockets, then the final counts that came.
    void applyLive(const std::vector<KernelSocketCount> &live);
    void applyFinished(const std::vector<KernelSocketCount> &finished);
    // What was applied since the last call; sockets missing from two reads of
    // the live map without final counts are given up.
    SourceSample take();
    void ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const;

    quint64 vanishedSockets() const { return vanished_; }
    int trackedSockets() const { return tracked_.size(); }

private:
    struct Tracked
    {
        ByteCounts wire;
        SocketOwner owner;
        quint64 seenInRead = 0;
    };

    SocketOwner ownerOf(const KernelSocketCount &socket) const;
    void apply(const KernelSocketCount &socket);
    void forgetVanished();

    QHash<quint64, quint32> existing_;
    // By cookie and life: the final counts of one life may come after the
    // next life was read.
    QHash<QPair<quint64, quint8>, Tracked> tracked_;
    SourceSample pending_;
    quint64 reads_ = 0;
    quint64 vanished_ = 0;
};

} // namespace vexmora::meter
