#pragma once

#include "socket_counts.h"

#include <QString>
#include <QStringList>

struct socket_counters;

namespace vexmora::meter {

// How the programs record processes (enum vx_pid_view) for the pid namespace
// of the process that loads them.
struct PidView
{
    quint8 creators = VX_PIDS_GLOBAL; // where sockets are created
    quint8 movers = VX_PIDS_GLOBAL;   // where bytes are sent and received
    quint64 device = 0; // the namespace's nsfs file, the device as the kernel numbers it
    quint64 inode = 0;
};

// The kernel programs of socket_counters.bpf.c, loaded for one network
// namespace; attached as links that the skeleton owns.
struct LoadedPrograms
{
    socket_counters *skeleton = nullptr;
    bool movers = false; // the send/receive tracepoints are loaded (and, once attached, attached)
    bool tcpDestroy = false; // TCP sockets finish at tcp_destroy_sock, after their last packet
    bool timeWait = false;   // the packets of time-wait sockets are counted (at kfree_skb)
    bool timeWaitSegments = false; // the same, where tcp_timewait_state_process takes them
    bool executions = false;       // what each process executes is kept
    bool strays = false;  // a reset connection's late arrivals, and the host's resets, are counted
    bool synacks = false; // IPv6 SYN-ACKs are counted as they are made (at tcp_make_synack)
    PidView pids;
};

// The cookie of the calling thread's network namespace.
bool currentNetnsCookie(quint64 *cookie, QString *error);

// Loads the programs for the sockets of network namespace `netns`, the
// tracepoint programs only where the kernel has those tracepoints. They record
// processes as the calling process's pid namespace sees them.
bool loadPrograms(quint64 netns, quint32 maxLiveSockets, LoadedPrograms &loaded, QString *error);

// Which process ids the loaded programs record, in words for the log.
QString describePids(const LoadedPrograms &loaded);

// What the kernel lacks of what the programs use, with what they do instead.
QStringList describeLacks(const LoadedPrograms &loaded);

// Attaches them at the cgroup `cgroupFd`: ownership and lifetime first, then
// the sockets of the calling thread's namespace that exist already are
// marked, then counting starts.
bool attachPrograms(LoadedPrograms &loaded, int cgroupFd, QString *error);

void destroyPrograms(LoadedPrograms &loaded);

} // namespace vexmora::meter
