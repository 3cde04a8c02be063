// kernel/: the kernel programs (eBPF) that count each socket's bytes, their loader and reader.
// May use libbpf and the attribution's byte counts (socket_record.h), nothing else of it.
#pragma once

#include "socket_record.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <unordered_set>
#include <vector>

namespace vexmora::meter {

// One socket as the kernel programs counted it since its creation (or since
// the programs loaded, for an older socket). A listener's counts hold the
// handshakes of the connections it accepts (SYN, SYN-ACK, the last ACK); an
// accepted socket counts from its first packet after the handshake.
struct KernelSocketCount;
using KernelSockets = std::vector<KernelSocketCount>;

struct KernelSocketCount
{
    quint64 cookie = 0; // the socket cookie, the same as socket diagnostics give
    // Which life of the cookie: a TCP socket connected again after TCP_CLOSE,
    // or one that sends a reset after it, is counted anew from zero.
    quint8 life = 0;
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
    // A socket of another network namespace (a container's): it counts only
    // what it exchanges with addresses the host routes out (setHostRoutes()).
    bool contained = false;
};

// Those of `live` (read before `existing` was listed) whose socket is gone:
// TCP and UDP sockets of the namespace not among the existing ones. Other
// protocols and other namespaces' sockets cannot be listed and are never
// taken for gone.
std::vector<quint64> vanishedEntries(const KernelSockets &live,
                                     const std::unordered_set<quint64> &existing);

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
    // Which addresses the host keeps the traffic to, for the sockets of other
    // network namespaces (containers): they count only the rest. Replaces the
    // prefixes given before (an address none covers stays); the number that
    // did not fit (the last ones), -1 with the reason when the kernel refused
    // them.
    int setHostRoutes(const std::vector<RoutePrefix> &prefixes, QString *error);
    // Appends the sockets that finished since the last call: TCP at TCP_CLOSE
    // (a socket older than the programs: when released), other protocols when
    // released. A TCP socket connected again after TCP_CLOSE finishes again
    // in another life, with the counts since its previous record; so does
    // what it sends after TCP_CLOSE, at its destruction.
    void takeFinished(std::vector<KernelSocketCount> &finished);
    // Appends every live socket's counts so far.
    bool readLive(std::vector<KernelSocketCount> &live, QString *error);
    // The cookies of the TCP sockets (time-wait and requests too) and UDP
    // sockets of the namespace that exist now.
    bool listExisting(std::unordered_set<quint64> &cookies, QString *error);
    // Finishes the live entries of TCP and UDP sockets that no longer exist
    // (their end was missed) and appends their counts as final ones; the
    // number finished, -1 with a reason when the sockets cannot be listed.
    int finishVanished(std::vector<KernelSocketCount> &finished, QString *error);

    // What the process `tgid` (as processIds() records it) executed last, kept
    // when it executed: the executable as execve() was given it (an
    // interpreter's path for a #! script), its argv and the path of its cgroup
    // v2 ("/system.slice/x.scope"; empty when not known: one deeper than a few
    // levels, or a name too long). False when nothing is known: a process
    // older than the programs, or ids of another namespace.
    bool recordedExecution(quint32 tgid, QString *executable, QStringList *argv,
                           QString *cgroup = nullptr) const;

    quint64 lostFinished() const;     // final counts the ring buffer had no room for
    quint64 uncountedPackets() const; // packets not counted: the live map was full
    bool tracksMovers() const;        // whether the send/receive tracepoints attached
    bool recordsCreators() const;     // whether sockets get their creator's process id
    // What this kernel lacks of what the programs use, each with what they do
    // without it, for the log: empty where nothing is missing.
    QStringList kernelLacks() const;
    QString processIds() const; // which process ids the programs record, for the log

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace vexmora::meter
