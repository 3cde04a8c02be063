#include "program_loader.h"

#include "kernel_facts.h"
#include "socket_counters.skel.h"

#include <QByteArray>
#include <QStringList>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace vexmora::meter {

namespace {

// libbpf's last warning, kept as the detail of an error while its printer is ours.
QByteArray &libbpfMessage()
{
    thread_local QByteArray message;
    return message;
}

int keepLibbpfWarning(libbpf_print_level level, const char *format, va_list arguments)
{
    if (level != LIBBPF_WARN)
        return 0;
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    // The first program that failed says why; later lines only that it did.
    const QByteArray text = QByteArray(line).trimmed();
    if (!text.isEmpty() && !libbpfMessage().contains("prog '"))
        libbpfMessage() = text;
    return 0;
}

// Replaces libbpf's printer (stderr) while it lives.
class LibbpfMessages
{
public:
    LibbpfMessages() : previous_(libbpf_set_print(keepLibbpfWarning)) { libbpfMessage().clear(); }
    ~LibbpfMessages() { libbpf_set_print(previous_); }
    LibbpfMessages(const LibbpfMessages &) = delete;
    LibbpfMessages &operator=(const LibbpfMessages &) = delete;

private:
    libbpf_print_fn_t previous_;
};

QString failure(const QString &what, int error)
{
    QString reason = what + QStringLiteral(": ") + qt_error_string(error);
    if (!libbpfMessage().isEmpty())
        reason += QStringLiteral(" (") + QString::fromLocal8Bit(libbpfMessage()) + QLatin1Char(')');
    if (error == EPERM || error == EACCES)
        reason += QStringLiteral("; the programs need CAP_BPF, CAP_NET_ADMIN and CAP_PERFMON");
    return reason;
}

// Drops the first optional part still wanted; false when none was left. The
// tracing of a kernel function goes first: kernels refuse it most often.
bool dropOptionalPart(LoadedPrograms &loaded)
{
    for (bool *part : {&loaded.synacks, &loaded.timeWaitSegments, &loaded.executions,
                       &loaded.strays, &loaded.timeWait, &loaded.movers, &loaded.tcpDestroy}) {
        if (*part) {
            *part = false;
            return true;
        }
    }
    return false;
}

socket_counters *openSkeleton(quint64 netns, const PidView &pids, quint32 maxLiveSockets,
                              const LoadedPrograms &parts)
{
    socket_counters *skeleton = socket_counters__open();
    if (!skeleton)
        return nullptr;
    skeleton->rodata->counted_netns = netns;
    skeleton->rodata->creator_pids = pids.creators;
    skeleton->rodata->mover_pids = pids.movers;
    skeleton->rodata->pid_namespace_dev = pids.device;
    skeleton->rodata->pid_namespace_ino = pids.inode;
    bpf_map__set_max_entries(skeleton->maps.live, maxLiveSockets);
    bpf_program__set_autoload(skeleton->progs.note_sender, parts.movers);
    bpf_program__set_autoload(skeleton->progs.note_receiver, parts.movers);
    skeleton->rodata->follows_tcp_destroy = parts.tcpDestroy;
    bpf_program__set_autoload(skeleton->progs.note_tcp_destroy, parts.tcpDestroy);
    bpf_program__set_autoload(skeleton->progs.note_time_wait_arrival, parts.timeWait);
    bpf_program__set_autoload(skeleton->progs.note_time_wait_segment, parts.timeWaitSegments);
    bpf_program__set_autoload(skeleton->progs.note_exec, parts.executions);
    bpf_program__set_autoload(skeleton->progs.note_fork, parts.executions);
    bpf_program__set_autoload(skeleton->progs.note_stray_arrival, parts.strays);
    bpf_program__set_autoload(skeleton->progs.note_synack, parts.synacks);
    return skeleton;
}

bool attachToCgroup(bpf_program *program, bpf_link **link, int cgroupFd, QString *error)
{
    *link = bpf_program__attach_cgroup(program, cgroupFd);
    if (*link)
        return true;
    *error = failure(QStringLiteral("cannot attach %1 to the cgroup")
                         .arg(QString::fromLatin1(bpf_program__name(program))),
                     errno);
    return false;
}

// Runs an iterator to its end: it marks what it walks.
bool runIterator(bpf_program *program, QString *error)
{
    bpf_link *link = bpf_program__attach_iter(program, nullptr);
    const int fd = link ? bpf_iter_create(bpf_link__fd(link)) : -1;
    char buffer[64];
    ssize_t read = -1;
    while (fd >= 0 && (read = ::read(fd, buffer, sizeof buffer)) > 0) {
    }
    const int readError = errno;
    if (fd >= 0)
        ::close(fd);
    bpf_link__destroy(link);
    if (read == 0)
        return true;
    *error = failure(QStringLiteral("cannot walk the existing sockets with %1")
                         .arg(QString::fromLatin1(bpf_program__name(program))),
                     readError);
    return false;
}

} // namespace

bool currentNetnsCookie(quint64 *cookie, QString *error)
{
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socklen_t length = sizeof *cookie;
    const bool ok =
        probe >= 0 && ::getsockopt(probe, SOL_SOCKET, SO_NETNS_COOKIE, cookie, &length) == 0;
    const int cause = errno;
    if (probe >= 0)
        ::close(probe);
    if (!ok)
        *error =
            QStringLiteral("cannot tell the network namespace (SO_NETNS_COOKIE, Linux 5.14): ") +
            qt_error_string(cause);
    return ok;
}

bool loadPrograms(quint64 netns, quint32 maxLiveSockets, LoadedPrograms &loaded, QString *error)
{
    const QStringList missing = missingCapabilities();
    if (!missing.isEmpty()) {
        *error = QStringLiteral("missing %1: the kernel programs need CAP_BPF, CAP_NET_ADMIN and "
                                "CAP_PERFMON")
                     .arg(missing.join(QStringLiteral(", ")));
        return false;
    }
    const LibbpfMessages messages;
    if (!callerPidView(&loaded.pids, error))
        return false;
    {
        const KernelTypes kernel;
        loaded.movers =
            kernel.hasTracepoint("sock_send_length") && kernel.hasTracepoint("sock_recv_length");
        loaded.tcpDestroy = kernel.hasTracepoint("tcp_destroy_sock");
        // kfree_skb names the receiving socket from Linux 6.12 (its fourth
        // argument after the context); before, the time-wait socket's
        // segments are traced where it takes them.
        loaded.timeWait = kernel.tracepointArguments("kfree_skb") >= 5;
        loaded.timeWaitSegments =
            !loaded.timeWait && kernel.hasFunction("tcp_timewait_state_process");
        // kfree_skb gives the reason a packet was dropped from Linux 5.17.
        loaded.strays = kernel.tracepointArguments("kfree_skb") >= 4;
        loaded.synacks = kernel.hasFunction("tcp_make_synack");
        loaded.executions = loaded.pids.creators == VX_PIDS_GLOBAL &&
                            kernel.hasTracepoint("sched_process_exec") &&
                            kernel.hasTracepoint("sched_process_fork");
    }
    for (;;) {
        loaded.skeleton = openSkeleton(netns, loaded.pids, maxLiveSockets, loaded);
        if (!loaded.skeleton) {
            *error = failure(QStringLiteral("cannot open the kernel programs"), errno);
            return false;
        }
        const int rc = socket_counters__load(loaded.skeleton);
        if (rc == 0)
            return true;
        socket_counters__destroy(loaded.skeleton);
        loaded.skeleton = nullptr;
        if (!dropOptionalPart(loaded)) { // optional: try again without them, one by one
            *error = failure(QStringLiteral("the kernel refused the programs"), -rc);
            return false;
        }
    }
}

bool attachPrograms(LoadedPrograms &loaded, int cgroupFd, QString *error)
{
    const LibbpfMessages messages;
    socket_counters *s = loaded.skeleton;
    if (!attachToCgroup(s->progs.note_creator, &s->links.note_creator, cgroupFd, error) ||
        !attachToCgroup(s->progs.follow_tcp_state, &s->links.follow_tcp_state, cgroupFd, error) ||
        !attachToCgroup(s->progs.note_release, &s->links.note_release, cgroupFd, error))
        return false;
    if (loaded.tcpDestroy) {
        // The programs finish TCP sockets there once loaded for it: required.
        s->links.note_tcp_destroy = bpf_program__attach(s->progs.note_tcp_destroy);
        if (!s->links.note_tcp_destroy) {
            *error = failure(QStringLiteral("cannot attach to tcp_destroy_sock"), errno);
            return false;
        }
    }
    if (loaded.timeWait) {
        s->links.note_time_wait_arrival = bpf_program__attach(s->progs.note_time_wait_arrival);
        loaded.timeWait = s->links.note_time_wait_arrival != nullptr;
    }
    if (loaded.timeWaitSegments) {
        s->links.note_time_wait_segment = bpf_program__attach(s->progs.note_time_wait_segment);
        loaded.timeWaitSegments = s->links.note_time_wait_segment != nullptr;
    }
    if (loaded.strays) {
        s->links.note_stray_arrival = bpf_program__attach(s->progs.note_stray_arrival);
        loaded.strays = s->links.note_stray_arrival != nullptr;
    }
    if (loaded.synacks) { // before the egress program: it leaves them to this one from now
        s->links.note_synack = bpf_program__attach(s->progs.note_synack);
        loaded.synacks = s->links.note_synack != nullptr;
        s->bss->synacks_at_creation = loaded.synacks;
    }
    if (loaded.executions) { // both or neither
        s->links.note_exec = bpf_program__attach(s->progs.note_exec);
        s->links.note_fork = bpf_program__attach(s->progs.note_fork);
        loaded.executions = s->links.note_exec && s->links.note_fork;
        if (!loaded.executions) {
            bpf_link__destroy(s->links.note_exec);
            bpf_link__destroy(s->links.note_fork);
            s->links.note_exec = s->links.note_fork = nullptr;
        }
    }
    if (loaded.movers) {
        s->links.note_sender = bpf_program__attach(s->progs.note_sender);
        s->links.note_receiver = bpf_program__attach(s->progs.note_receiver);
        loaded.movers = s->links.note_sender && s->links.note_receiver;
        if (!loaded.movers) { // both or neither
            bpf_link__destroy(s->links.note_sender);
            bpf_link__destroy(s->links.note_receiver);
            s->links.note_sender = s->links.note_receiver = nullptr;
        }
    }
    // After sock_create is attached every new socket gets its owner, so the
    // walk that follows misses none.
    return runIterator(s->progs.mark_tcp, error) && runIterator(s->progs.mark_udp, error) &&
           attachToCgroup(s->progs.count_ingress, &s->links.count_ingress, cgroupFd, error) &&
           attachToCgroup(s->progs.count_egress, &s->links.count_egress, cgroupFd, error);
}

QString describePids(const LoadedPrograms &loaded)
{
    const PidView &pids = loaded.pids;
    if (pids.creators == VX_PIDS_GLOBAL)
        return QStringLiteral("the kernel's own process ids (the first pid namespace)");
    const QString seen = QStringLiteral("process ids as this pid namespace sees them");
    if (pids.creators == VX_PIDS_NAMESPACE)
        return seen + (loaded.movers ? QStringLiteral(", of the creators and the movers of sockets")
                                     : QStringLiteral(", of the creators of sockets"));
    const QString none = QStringLiteral(
        "no creator's process id: this kernel does not give them for a pid namespace other than "
        "the first (Linux 6.10 does)");
    return loaded.movers ? seen + QStringLiteral(", of the movers of sockets only; ") + none : none;
}

QStringList describeLacks(const LoadedPrograms &loaded)
{
    QStringList lacks;
    if (!loaded.movers)
        lacks << QStringLiteral(
            "This kernel has no tracepoints sock_send_length and sock_recv_length that the "
            "programs can use: a socket's bytes go to the process that created it (an accepted "
            "connection's to its listener's), also when another process sends or receives them");
    if (!loaded.timeWait && !loaded.timeWaitSegments)
        lacks << QStringLiteral(
            "This kernel names no socket in the tracepoint kfree_skb (Linux 6.12 does) and does "
            "not let the programs trace tcp_timewait_state_process: the last packets of a TCP "
            "connection whose program closed it first (in time-wait: the peer's FIN and the last "
            "ACK) are unattributed");
    if (!loaded.strays)
        lacks << QStringLiteral(
            "This kernel gives no reason in the tracepoint kfree_skb (Linux 5.17 does): the "
            "packets a peer had in flight when a connection was reset (closed with data "
            "unread, or with SO_LINGER {1, 0}), and the host's resets answering them, are "
            "unattributed");
    // The egress programs see every IPv6 SYN-ACK from Linux 6.12, which is
    // also where kfree_skb starts to name the receiving socket.
    if (!loaded.synacks && !loaded.timeWait)
        lacks << QStringLiteral(
            "This kernel does not let the programs trace tcp_make_synack: a listener's IPv6 "
            "SYN-ACKs, which it sends past the cgroup programs, are unattributed");
    if (loaded.pids.creators == VX_PIDS_NONE)
        lacks << QStringLiteral(
            "This kernel does not give the socket programs process ids of this pid namespace "
            "(bpf_get_ns_current_pid_tgid, Linux 6.10): the sockets' creators are unknown, "
            "their bytes unattributed unless a process of this namespace moves them");
    return lacks;
}

void destroyPrograms(LoadedPrograms &loaded)
{
    socket_counters__destroy(loaded.skeleton); // detaches the links, closes every descriptor
    loaded = {};
}

} // namespace vexmora::meter
