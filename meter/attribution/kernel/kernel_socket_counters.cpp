#include "kernel_socket_counters.h"

#include "cgroup_mount.h"
#include "live_map.h"
#include "program_loader.h"
#include "socket_counters.skel.h"
#include "socket_counts.h"

#include <QFile>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <type_traits>
#include <unistd.h>
#include <unordered_set>

namespace vexmora::meter {

namespace {

constexpr quint32 kDefaultMaxLiveSockets = 65536;

// The programs' global counters, as the skeleton lays them out.
using ProgramGlobals = std::remove_pointer_t<decltype(socket_counters::bss)>;

QString mapError(int error)
{
    return QStringLiteral("cannot read the kernel's socket counters: ") + qt_error_string(error);
}

} // namespace

std::vector<quint64> vanishedEntries(const KernelSockets &live,
                                     const std::unordered_set<quint64> &existing)
{
    std::vector<quint64> vanished;
    for (const KernelSocketCount &socket : live) {
        const bool listable =
            !socket.contained && (socket.protocol == IPPROTO_TCP || socket.protocol == IPPROTO_UDP);
        if (listable && existing.count(socket.cookie) == 0)
            vanished.push_back(socket.cookie);
    }
    return vanished;
}

struct KernelSocketCounters::Private
{
    quint32 maxLiveSockets = kDefaultMaxLiveSockets;
    LiveLookup lookup = LiveLookup::Batch;
    LoadedPrograms programs;
    ring_buffer *finished = nullptr;
    std::vector<KernelSocketCount> *finishedSink = nullptr;
    LiveMapReader reader;
    std::size_t lastLive = 0;

    int liveFd() const { return bpf_map__fd(programs.skeleton->maps.live); }
    ProgramGlobals globals() const;

    static int takeRecord(void *context, void *data, size_t size)
    {
        auto *self = static_cast<Private *>(context);
        if (size < sizeof(vx_finished_socket) || !self->finishedSink)
            return 0;
        vx_finished_socket record;
        std::memcpy(&record, data, sizeof record);
        self->finishedSink->push_back(self->reader.toCount(record.cookie, record.counts, true));
        return 0;
    }
};

ProgramGlobals KernelSocketCounters::Private::globals() const
{
    ProgramGlobals values{};
    const int key = 0;
    if (programs.skeleton)
        bpf_map_lookup_elem(bpf_map__fd(programs.skeleton->maps.bss), &key, &values);
    return values;
}

KernelSocketCounters::KernelSocketCounters() : d(std::make_unique<Private>()) {}

KernelSocketCounters::~KernelSocketCounters()
{
    ring_buffer__free(d->finished);
    destroyPrograms(d->programs);
}

void KernelSocketCounters::setMaxLiveSockets(quint32 sockets)
{
    d->maxLiveSockets = qMax<quint32>(1, sockets);
}

void KernelSocketCounters::setLiveLookup(LiveLookup lookup)
{
    d->lookup = lookup;
}

bool KernelSocketCounters::open(QString *error)
{
    if (isOpen()) {
        *error = QStringLiteral("the kernel programs are loaded already");
        return false;
    }
    QFile mountinfo(QStringLiteral("/proc/self/mountinfo"));
    const QString root =
        mountinfo.open(QIODevice::ReadOnly) ? cgroupV2MountPoint(mountinfo.readAll()) : QString();
    if (root.isEmpty()) {
        *error = QStringLiteral("no cgroup v2 hierarchy is mounted");
        return false;
    }
    if (!QFile::exists(QStringLiteral("/sys/kernel/btf/vmlinux"))) {
        *error = QStringLiteral("the kernel has no BTF (/sys/kernel/btf/vmlinux)");
        return false;
    }
    quint64 netns = 0;
    if (!currentNetnsCookie(&netns, error) ||
        !loadPrograms(netns, d->maxLiveSockets, d->programs, error))
        return false;
    const int cgroup =
        ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = cgroup >= 0;
    if (!ok)
        *error = QStringLiteral("cannot open the cgroup %1: %2").arg(root, qt_error_string(errno));
    ok = ok && attachPrograms(d->programs, cgroup, error);
    if (cgroup >= 0)
        ::close(cgroup);
    if (ok) {
        d->finished = ring_buffer__new(bpf_map__fd(d->programs.skeleton->maps.finished),
                                       &Private::takeRecord, d.get(), nullptr);
        ok = d->finished != nullptr;
        if (!ok)
            *error = QStringLiteral("cannot map the ring buffer: ") + qt_error_string(errno);
    }
    if (!ok) {
        destroyPrograms(d->programs);
        return false;
    }
    return true;
}

bool KernelSocketCounters::isOpen() const
{
    return d->programs.skeleton != nullptr;
}

int KernelSocketCounters::finishedFd() const
{
    return d->finished ? ring_buffer__epoll_fd(d->finished) : -1;
}

void KernelSocketCounters::setReaderAsleep(bool asleep)
{
    if (isOpen())
        __atomic_store_n(&d->programs.skeleton->bss->reader_asleep, asleep ? 1 : 0,
                         __ATOMIC_RELEASE);
}

int KernelSocketCounters::setHostRoutes(const std::vector<RoutePrefix> &prefixes, QString *error)
{
    if (!isOpen())
        return 0;
    return replaceRoutePrefixes(bpf_map__fd(d->programs.skeleton->maps.host_routes), prefixes,
                                error);
}

void KernelSocketCounters::takeFinished(std::vector<KernelSocketCount> &finished)
{
    if (!d->finished)
        return;
    d->finishedSink = &finished;
    ring_buffer__consume(d->finished);
    d->finishedSink = nullptr;
}

bool KernelSocketCounters::readLive(std::vector<KernelSocketCount> &live, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("the kernel programs are not loaded");
        return false;
    }
    int cause = 0;
    const std::size_t before = live.size();
    live.reserve(before + d->lastLive + d->lastLive / 8);
    if (d->lookup == LiveLookup::Batch) {
        if (d->reader.readBatches(d->liveFd(), live, &cause)) {
            d->lastLive = live.size() - before;
            return true;
        }
        if (!batchUnsupported(cause) || live.size() != before) {
            *error = mapError(cause);
            return false;
        }
        d->lookup = LiveLookup::EntryByEntry; // an older kernel: from now on
    }
    if (d->reader.readEntries(d->liveFd(), live, &cause)) {
        d->lastLive = live.size() - before;
        return true;
    }
    *error = mapError(cause);
    return false;
}

bool KernelSocketCounters::listExisting(std::unordered_set<quint64> &cookies, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("the kernel programs are not loaded");
        return false;
    }
    return readCookies(d->programs.skeleton->progs.list_tcp, cookies, error) &&
           readCookies(d->programs.skeleton->progs.list_udp, cookies, error);
}

int KernelSocketCounters::finishVanished(std::vector<KernelSocketCount> &finished, QString *error)
{
    std::vector<KernelSocketCount> live;
    std::unordered_set<quint64> existing;
    if (!readLive(live, error) || !listExisting(existing, error))
        return -1;
    int count = 0;
    vx_socket_counts counts;
    for (quint64 cookie : vanishedEntries(live, existing)) {
        // Taken by whoever deletes it: the programs may finish it meanwhile.
        if (bpf_map_lookup_elem(d->liveFd(), &cookie, &counts) == 0 &&
            bpf_map_delete_elem(d->liveFd(), &cookie) == 0) {
            finished.push_back(d->reader.toCount(cookie, counts, true));
            ++count;
        }
    }
    return count;
}

namespace {

// "/a/b/c" from the names the nearest first; empty when unknown.
QString cgroupPath(const vx_execution &execution)
{
    if (!execution.cgroup_known)
        return {};
    QString path;
    for (const auto &name : execution.cgroup) {
        const int length = int(strnlen(name, VX_CGROUP_NAME_BYTES));
        if (length > 0)
            path.prepend(QLatin1Char('/') + QFile::decodeName(QByteArray(name, length)));
    }
    return path.isEmpty() ? QStringLiteral("/") : path;
}

} // namespace

bool KernelSocketCounters::recordedExecution(quint32 tgid, QString *executable, QStringList *argv,
                                             QString *cgroup) const
{
    if (!isOpen() || !d->programs.executions)
        return false;
    vx_execution execution;
    if (bpf_map_lookup_elem(bpf_map__fd(d->programs.skeleton->maps.executions), &tgid,
                            &execution) != 0)
        return false;
    *executable = QFile::decodeName(
        QByteArray(execution.executable, int(strnlen(execution.executable, VX_PATH_BYTES))));
    const QByteArray arguments(execution.arguments,
                               int(qMin<quint32>(execution.argument_bytes, VX_ARGUMENT_BYTES)));
    argv->clear();
    for (const QByteArray &argument : arguments.split('\0'))
        argv->append(QFile::decodeName(argument));
    if (!argv->isEmpty() && argv->constLast().isEmpty())
        argv->removeLast();
    if (cgroup)
        *cgroup = cgroupPath(execution);
    return !executable->isEmpty();
}

quint64 KernelSocketCounters::lostFinished() const
{
    return d->globals().lost_finished;
}

quint64 KernelSocketCounters::uncountedPackets() const
{
    return d->globals().uncounted_packets;
}

bool KernelSocketCounters::tracksMovers() const
{
    return isOpen() && d->programs.movers;
}

bool KernelSocketCounters::recordsCreators() const
{
    return isOpen() && d->programs.pids.creators != VX_PIDS_NONE;
}

QStringList KernelSocketCounters::kernelLacks() const
{
    return isOpen() ? describeLacks(d->programs) : QStringList();
}

QString KernelSocketCounters::processIds() const
{
    return describePids(d->programs);
}

} // namespace vexmora::meter
