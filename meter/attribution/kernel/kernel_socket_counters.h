#pragma once

#include "socket_record.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

namespace vexmora::meter {

// One socket as the kernel programs counted it since its creation (or since
// the programs loaded, for an older socket). A listener's counts hold the
// handshakes of the connections it accepts (SYN, SYN-ACK, the last ACK); an
// accepted socket counts from its first packet after the handshake.
struct KernelSocketCount
{
    quint64 cookie = 0; // the socket cookie, the same as socket diagnostics give
    // The process that created the socket (an accepted socket: its listener's
    // creator); with tracksMovers(), the process that last moved bytes on it.
    // Its pid as the pid namespace of the thread that called open() sees it
    // (processIds()). 0 when unknown: the socket predates the programs and
    // moved no bytes since, or that process is not in that namespace.
    quint32 tgid = 0;
    quint32 uid = 0;
    // The name of that process's thread that did it (threads may rename
    // themselves), at most 15 bytes; empty when unknown.
    QByteArray comm;
    quint8 protocol = 0; // IPPROTO_TCP, IPPROTO_UDP, ...
    // What an Ethernet link carries: the IP bytes, a link header (14 bytes) for
    // every segment and, for an offloaded packet, the IP and transport headers
    // of each further segment. A datagram that IP fragments counts as one.
    ByteCounts wire;
    ByteCounts payload; // TCP or UDP payload (the IP payload for other protocols), resent bytes too
    ByteCounts packets; // segments
    bool finished = false; // final counts: the socket is gone from the kernel's map
};

// Per-socket counters kept by kernel programs (eBPF) at the root of the cgroup
// v2 hierarchy, for the sockets of the network namespace of the thread that
// calls open(). Loopback traffic is never counted. The programs are attached
// as links owned by this object and go with it, or with the process.
class KernelSocketCounters
{
public:
    // How readLive() reads the map: Batch falls back to EntryByEntry by itself
    // on kernels without batch lookups.
    enum class LiveLookup { Batch, EntryByEntry };

    KernelSocketCounters();
    ~KernelSocketCounters();
    KernelSocketCounters(const KernelSocketCounters &) = delete;
    KernelSocketCounters &operator=(const KernelSocketCounters &) = delete;

    // Before open(): how many sockets the live map holds (default 65,536).
    // Packets of sockets beyond it are not counted (uncountedPackets()).
    void setMaxLiveSockets(quint32 sockets);
    void setLiveLookup(LiveLookup lookup);

    // Loads and attaches the programs. False with the reason when they cannot
    // load: no cgroup v2, no BTF, a missing capability (CAP_BPF, CAP_NET_ADMIN,
    // CAP_PERFMON), an older kernel.
    bool open(QString *error);
    bool isOpen() const;

    // Readable when the final counts waiting fill a quarter of their buffer
    // (for a QSocketNotifier: a burst of closing sockets is taken before the
    // next sample, a few are left to it); -1 before open().
    int finishedFd() const;
    // While the reader sleeps, the first packet counted makes finishedFd()
    // readable at once (and turns this off again).
    void setReaderAsleep(bool asleep);
    // Appends the sockets that finished since the last call: TCP at TCP_CLOSE
    // (a socket older than the programs: when released), other protocols when
    // released. A TCP socket connected again after TCP_CLOSE finishes again,
    // with the counts since its previous record.
    void takeFinished(std::vector<KernelSocketCount> &finished);
    // Appends every live socket's counts so far.
    bool readLive(std::vector<KernelSocketCount> &live, QString *error);

    quint64 lostFinished() const;     // final counts the ring buffer had no room for
    quint64 uncountedPackets() const; // packets not counted: the live map was full
    bool tracksMovers() const;        // whether the send/receive tracepoints attached
    QString processIds() const;       // which process ids the programs record, for the log

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace vexmora::meter
